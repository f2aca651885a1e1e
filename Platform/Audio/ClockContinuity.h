#pragma once

// Follows a capture clock from one cycle to the next and tells how many frames went by that no callback
// saw: a cycle whose position lies further on than the previous cycle's position plus its duration. The
// backend uses it on the graph's clock (so that a cycle it never got shows as a jump of the sample time
// it hands on) and the engine on those sample times (to count what was lost). Plain values, no
// allocation, no lock: safe on the real-time thread.

#include <cstdint>

class ClockContinuity {
public:
    // Frames skipped between the previous cycle and this one. 0 for the first cycle, for a continuous
    // one, and when the timeline starts over: another clock (a new driver), a position that went back,
    // or a jump too long to be cycles lost on the way (more than `kMaxGapCycles` cycles of the previous
    // duration: a clock that was reset or a node that was stopped, not a hole in the audio).
    uint64_t advance(uint32_t clockId, uint64_t position, uint64_t duration) noexcept {
        uint64_t skipped = 0;
        if (known_ && clockId == clockId_ && position >= expected_) {
            const uint64_t gap = position - expected_;
            if (gap <= previousDuration_ * kMaxGapCycles) {
                skipped = gap;
            }
        }
        known_ = true;
        clockId_ = clockId;
        expected_ = position + duration;
        previousDuration_ = duration;
        return skipped;
    }

    // The next cycle is a first one.
    void reset() noexcept { known_ = false; }

    static constexpr uint64_t kMaxGapCycles = 1000;

private:
    bool known_ = false;
    uint32_t clockId_ = 0;
    uint64_t expected_ = 0;
    uint64_t previousDuration_ = 0;
};
