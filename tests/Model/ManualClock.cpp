#include "ManualClock.h"

#include <algorithm>

namespace {

class ManualTimer final : public ModelTimer {
public:
    explicit ManualTimer(std::weak_ptr<bool> cancelled) : cancelled_(std::move(cancelled)) {}
    ~ManualTimer() override {
        if (auto flag = cancelled_.lock()) {
            *flag = true;
        }
    }

private:
    std::weak_ptr<bool> cancelled_;
};

} // namespace

std::shared_ptr<ManualClock::Entry> ManualClock::add(std::chrono::milliseconds delay,
                                                     std::chrono::milliseconds interval,
                                                     std::function<void()> body) {
    auto entry = std::make_shared<Entry>();
    entry->due = now_ + delay;
    entry->interval = interval;
    entry->body = std::move(body);
    entry->order = nextOrder_++;
    entries_.push_back(entry);
    return entry;
}

std::unique_ptr<ModelTimer> ManualClock::repeat(std::chrono::milliseconds interval,
                                                std::function<void()> body) {
    const auto entry = add(interval, interval, std::move(body));
    // The handle flips the entry's flag through an aliasing pointer that shares the entry's lifetime.
    return std::make_unique<ManualTimer>(std::shared_ptr<bool>(entry, &entry->cancelled));
}

void ManualClock::once(std::chrono::milliseconds delay, std::function<void()> body) {
    add(delay, std::chrono::milliseconds(0), std::move(body));
}

void ManualClock::advance(std::chrono::milliseconds duration) {
    const TimePoint target = now_ + duration;
    for (;;) {
        std::erase_if(entries_, [](const auto& entry) { return entry->cancelled; });
        const auto next =
            std::min_element(entries_.begin(), entries_.end(), [](const auto& a, const auto& b) {
                return a->due != b->due ? a->due < b->due : a->order < b->order;
            });
        if (next == entries_.end() || (*next)->due > target) {
            break;
        }
        const std::shared_ptr<Entry> entry = *next;
        now_ = entry->due;
        if (entry->interval.count() > 0) {
            entry->due += entry->interval;
            entry->order = nextOrder_++;
        } else {
            entry->cancelled = true;
        }
        entry->body(); // may add or cancel entries
    }
    now_ = target;
}
