// The writer queue: tasks one at a time in order, and the doorbell the capture callback rings after
// queuing a block, which the worker must serve however the rings interleave with ordinary tasks.
#include "QuilloraCore/SerialQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <numeric>
#include <semaphore>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

// Spins until `done` holds; false after `timeout`, which only a lost wake-up can reach.
template <class Predicate>
bool spinUntil(Predicate done, std::chrono::milliseconds timeout = 5000ms) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::yield();
    }
    return true;
}

// (That tasks and rings never overlap is the mixed test's.)
TEST(SerialQueue, tasksRunInOrderAndSyncWaitsForThem) {
    SerialQueue queue("com.tandrevel.quillora.test");
    std::vector<int> order; // touched only by the worker until sync returns
    queue.async([] { std::this_thread::sleep_for(20ms); });
    for (int i = 0; i < 200; ++i) {
        queue.async([&, i] { order.push_back(i); });
    }
    bool onWorker = false;
    queue.sync([&] { onWorker = queue.isCurrent(); });
    EXPECT_TRUE(onWorker);
    EXPECT_FALSE(queue.isCurrent());
    std::vector<int> expected(200);
    std::iota(expected.begin(), expected.end(), 0);
    EXPECT_EQ(order, expected);
}

TEST(SerialQueue, destructionRunsEveryQueuedTaskAndServesALastRing) {
    std::atomic<int> count{0};
    {
        SerialQueue queue("drain");
        queue.async([] { std::this_thread::sleep_for(30ms); });
        for (int i = 0; i < 1000; ++i) {
            queue.async([&] { count.fetch_add(1); });
        }
    }
    EXPECT_EQ(count.load(), 1000);
    for (int attempt = 0; attempt < 200; ++attempt) {
        std::atomic<int> runs{0};
        {
            SerialQueue queue("com.tandrevel.quillora.test");
            queue.setDoorbellHandler([&] { runs.fetch_add(1); });
            queue.ringDoorbell();
        }
        ASSERT_EQ(runs.load(), 1) << "attempt " << attempt;
    }
}

TEST(Doorbell, everyRingIsFollowedByARunOfTheHandler) {
    SerialQueue queue("com.tandrevel.quillora.test");
    std::atomic<uint64_t> produced{0};
    std::atomic<uint64_t> seen{0};
    queue.setDoorbellHandler([&] { seen.store(produced.load()); });
    // Ring, then wait for the handler to have seen that ring: a lost wake-up stalls one of the rounds.
    for (uint64_t round = 1; round <= 20000; ++round) {
        produced.store(round);
        queue.ringDoorbell();
        ASSERT_TRUE(spinUntil([&] { return seen.load() >= round; }))
            << "ring " << round << " was never served";
    }
}

TEST(Doorbell, ringsMixedWithTasksAreAllServedAndNothingOverlaps) {
    SerialQueue queue("com.tandrevel.quillora.test");
    std::atomic<uint64_t> produced{0};
    std::atomic<uint64_t> seen{0};
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    const auto exclusively = [&](auto work) {
        overlapped = overlapped || inside.fetch_add(1) != 0;
        work();
        inside.fetch_sub(1);
    };
    queue.setDoorbellHandler([&] { exclusively([&] { seen.store(produced.load()); }); });

    constexpr uint64_t rings = 200000;
    constexpr int tasks = 20000;
    std::atomic<int> tasksRun{0};
    std::thread ringer([&] {
        for (uint64_t i = 1; i <= rings; ++i) {
            produced.store(i);
            queue.ringDoorbell();
        }
    });
    std::thread submitter([&] {
        for (int i = 0; i < tasks; ++i) {
            queue.async([&] { exclusively([&] { tasksRun.fetch_add(1); }); });
            if (i % 1000 == 0) {
                queue.sync([] {});
            }
        }
    });
    ringer.join();
    submitter.join();
    // The last ring came after every earlier one: once the handler has seen it, nothing is pending.
    EXPECT_TRUE(spinUntil([&] { return seen.load() == rings; })) << seen.load() << " of " << rings;
    queue.sync([] {});
    EXPECT_EQ(tasksRun.load(), tasks);
    EXPECT_FALSE(overlapped.load());
}

TEST(Doorbell, ringsWhileTheWorkerIsBusyCoalesceIntoOneRun) {
    SerialQueue queue("com.tandrevel.quillora.test");
    std::atomic<int> runs{0};
    queue.setDoorbellHandler([&] { runs.fetch_add(1); });
    // The rings start once the worker is inside the task: before that it may still serve one of them.
    std::binary_semaphore started(0);
    std::binary_semaphore release(0);
    queue.async([&] {
        started.release();
        release.acquire();
    });
    started.acquire();
    for (int i = 0; i < 1000; ++i) {
        queue.ringDoorbell();
    }
    release.release();
    queue.sync([] {});
    EXPECT_EQ(runs.load(), 1);
    // The coalesced rings left no stale wake-ups that would break ordinary tasks.
    std::vector<int> order;
    queue.async([&] { order.push_back(1); });
    queue.sync([&] { order.push_back(2); });
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
}

} // namespace
