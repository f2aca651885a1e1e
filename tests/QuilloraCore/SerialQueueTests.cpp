#include "QuilloraCore/SerialQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <vector>

using namespace std::chrono_literals;

TEST(SerialQueue, runsTasksOneAtATimeInSubmissionOrder) {
    SerialQueue queue("com.tandrevel.quillora.test");
    EXPECT_EQ(queue.label(), "com.tandrevel.quillora.test");
    std::vector<int> order; // touched only by the worker until sync returns
    std::atomic<int> running{0};
    std::atomic<bool> overlapped{false};
    for (int i = 0; i < 200; ++i) {
        queue.async([&, i] {
            if (running.fetch_add(1) != 0) {
                overlapped = true;
            }
            order.push_back(i);
            running.fetch_sub(1);
        });
    }
    bool onWorker = false;
    queue.sync([&] { onWorker = queue.isCurrent(); });
    EXPECT_TRUE(onWorker);
    EXPECT_FALSE(queue.isCurrent());
    EXPECT_FALSE(overlapped);
    ASSERT_EQ(order.size(), 200u);
    for (int i = 0; i < 200; ++i) {
        EXPECT_EQ(order[i], i);
    }
}

TEST(SerialQueue, syncWaitsForTheTaskAndEverythingBeforeIt) {
    SerialQueue queue("sync");
    std::atomic<bool> slowDone{false};
    queue.async([&] {
        std::this_thread::sleep_for(50ms);
        slowDone = true;
    });
    bool ran = false;
    queue.sync([&] { ran = true; });
    EXPECT_TRUE(ran);
    EXPECT_TRUE(slowDone);
}

TEST(SerialQueue, destructorRunsEveryQueuedTask) {
    std::atomic<int> count{0};
    {
        SerialQueue queue("drain");
        queue.async([] { std::this_thread::sleep_for(30ms); });
        for (int i = 0; i < 1000; ++i) {
            queue.async([&] { count.fetch_add(1); });
        }
    }
    EXPECT_EQ(count.load(), 1000);
}
