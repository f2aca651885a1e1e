#include "Platform/Audio/ClockContinuity.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct Tick {
    uint32_t clock;
    uint64_t position, duration;
    uint64_t skipped;   // what advance() must answer
    bool reset = false; // reset() before it
};

constexpr uint64_t P = 5'000'000'000ULL; // a position far from zero, as a driver that has run for a while
constexpr uint64_t G = 1024 * ClockContinuity::kMaxGapCycles; // the longest gap that is lost cycles

TEST(ClockContinuityTest, TellsTheFramesNoCycleSaw) {
    const std::vector<std::pair<const char*, std::vector<Tick>>> cases = {
        {"continuous cycles", {{1, P, 1024, 0}, {1, P + 1024, 1024, 0}, {1, P + 2048, 1024, 0}}},
        {"one cycle skipped", {{1, P, 1024, 0}, {1, P + 2048, 1024, 1024}, {1, P + 3072, 1024, 0}}},
        {"three cycles skipped", {{1, P, 1024, 0}, {1, P + 4096, 1024, 3072}}},
        {"a part of a cycle (another quantum)", {{1, P, 1024, 0}, {1, P + 1024 + 256, 256, 256}}},
        {"the quantum grows, nothing lost",
         {{1, P, 1024, 0}, {1, P + 1024, 2048, 0}, {1, P + 3072, 2048, 0}, {1, P + 7168, 2048, 2048}}},
        {"quantum shrinks, nothing lost", {{1, P, 2048, 0}, {1, P + 2048, 512, 0}, {1, P + 2560, 512, 0}}},
        {"another driver starts over, even further on",
         {{1, P, 1024, 0}, {7, P + 50'000, 1024, 0}, {7, P + 51'024, 1024, 0}, {7, P + 53'072, 1024, 1024}}},
        {"a position that goes back starts over",
         {{1, P, 1024, 0}, {1, 0, 1024, 0}, {1, 1024, 1024, 0}, {1, 3072, 1024, 1024}}},
        {"the same cycle twice is not a hole", {{1, P, 1024, 0}, {1, P, 1024, 0}, {1, P + 1024, 1024, 0}}},
        {"a jump of minutes is a restarted clock, not lost cycles",
         {{1, P, 1024, 0}, {1, P + 1024 + G, 1024, G}, {1, P + 10'000'000, 1024, 0}}},
        {"a sample time from zero, as the capture hands it on",
         {{0, 0, 1024, 0}, {0, 1024, 1024, 0}, {0, 3072, 1024, 1024}, {0, 4096, 1024, 0}}},
        {"a reset makes the next cycle a first one",
         {{1, P, 1024, 0}, {1, P + 8192, 1024, 0, true}, {1, P + 10240, 1024, 1024}}},
    };
    for (const auto& [name, ticks] : cases) {
        ClockContinuity continuity;
        for (std::size_t i = 0; i < ticks.size(); ++i) {
            if (ticks[i].reset) {
                continuity.reset();
            }
            EXPECT_EQ(continuity.advance(ticks[i].clock, ticks[i].position, ticks[i].duration),
                      ticks[i].skipped)
                << name << ", cycle " << i;
        }
    }
}

} // namespace
