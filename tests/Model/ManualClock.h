#pragma once

#include "Quillora/Model/ModelClock.h"

#include <memory>
#include <vector>

// A clock that moves only when the test says so. Timers fire inside advance(), in order of their due
// instants (then of their creation), each with now() set to its due instant.
class ManualClock final : public ModelClock {
public:
    TimePoint now() const override { return now_; }
    std::unique_ptr<ModelTimer> repeat(std::chrono::milliseconds interval,
                                       std::function<void()> body) override;
    void once(std::chrono::milliseconds delay, std::function<void()> body) override;

    void advance(std::chrono::milliseconds duration);

private:
    struct Entry {
        TimePoint due;
        std::chrono::milliseconds interval{0}; // 0: once
        std::function<void()> body;
        uint64_t order = 0;
        bool cancelled = false;
    };

    std::shared_ptr<Entry> add(std::chrono::milliseconds delay, std::chrono::milliseconds interval,
                               std::function<void()> body);

    TimePoint now_{};
    uint64_t nextOrder_ = 0;
    std::vector<std::shared_ptr<Entry>> entries_;
};
