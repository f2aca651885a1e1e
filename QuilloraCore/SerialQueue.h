#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

// One worker thread running tasks one at a time, in the order they were submitted.
// Destroying the queue runs every task already submitted, then joins the worker.
//
// Besides ordinary tasks the queue has a doorbell: a handler set once, run on the worker whenever
// ringDoorbell() was called since it last ran. Ringing takes no lock and allocates nothing, so the
// real-time audio thread can use it to say "new blocks are waiting".
class SerialQueue {
    // Wakes the one worker. Posting is one atomic exchange and, only when the worker is asleep, one
    // futex wake: no lock, no allocation. Waiting sleeps in the kernel at once, without spinning or
    // yielding first, so a worker woken dozens of times a second costs no more than its work.
    class WakeSignal {
    public:
        void post() noexcept;
        // Returns once a post() happened since the previous return.
        void wait() noexcept;

    private:
        std::atomic<uint32_t> posted_{0};
        std::atomic<bool> sleeping_{false};
    };

public:
    explicit SerialQueue(std::string label);
    ~SerialQueue();

    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    const std::string& label() const { return label_; }

    // Queues the task and returns at once.
    void async(std::function<void()> task);

    // Queues the task and waits until it has run. Must not be called from the queue's own worker.
    void sync(const std::function<void()>& task);

    // Set before the first ringDoorbell(); runs on the worker.
    void setDoorbellHandler(std::function<void()> handler);
    // Real-time safe: one atomic exchange and, at most, one futex wake.
    void ringDoorbell() noexcept;

    // True on the queue's worker thread.
    bool isCurrent() const { return std::this_thread::get_id() == worker_.get_id(); }

private:
    void run();

    std::string label_;
    std::mutex mutex_;
    std::deque<std::function<void()>> tasks_;
    bool stopping_ = false;
    WakeSignal wake_;
    std::atomic<bool> doorbellRung_{false};
    std::function<void()> doorbellHandler_;
    std::thread worker_;
};
