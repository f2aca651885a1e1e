#include "QuilloraCore/SerialQueue.h"

#include <cassert>
#include <linux/futex.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

uint32_t* futexWord(std::atomic<uint32_t>& word) {
    static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t));
    return reinterpret_cast<uint32_t*>(&word);
}

} // namespace

void SerialQueue::WakeSignal::post() noexcept {
    // Sequentially consistent on both sides: either this sees the worker asleep and wakes it, or the
    // worker sees the post before it goes to sleep.
    if (posted_.exchange(1) == 0 && sleeping_.load()) {
        syscall(SYS_futex, futexWord(posted_), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
    }
}

void SerialQueue::WakeSignal::wait() noexcept {
    while (posted_.exchange(0) == 0) {
        sleeping_.store(true);
        if (posted_.load() == 0) {
            // Returns at once if a post() came in between; a spurious return just loops.
            syscall(SYS_futex, futexWord(posted_), FUTEX_WAIT_PRIVATE, 0, nullptr, nullptr, 0);
        }
        sleeping_.store(false, std::memory_order_relaxed);
    }
}

SerialQueue::SerialQueue(std::string label) : label_(std::move(label)) {
    worker_ = std::thread([this] { run(); });
}

SerialQueue::~SerialQueue() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.post();
    worker_.join();
}

void SerialQueue::async(std::function<void()> task) {
    {
        std::lock_guard lock(mutex_);
        tasks_.push_back(std::move(task));
    }
    wake_.post();
}

void SerialQueue::sync(const std::function<void()>& task) {
    assert(!isCurrent() && "sync on the queue's own worker would wait for itself");
    std::binary_semaphore done(0);
    async([&] {
        task();
        done.release();
    });
    done.acquire();
}

void SerialQueue::setDoorbellHandler(std::function<void()> handler) {
    std::lock_guard lock(mutex_);
    doorbellHandler_ = std::move(handler);
}

void SerialQueue::ringDoorbell() noexcept {
    // Only the ring that raises the flag wakes the worker; later rings before it runs add nothing.
    if (!doorbellRung_.exchange(true, std::memory_order_acq_rel)) {
        wake_.post();
    }
}

void SerialQueue::run() {
    // Thread names are limited to 15 characters; keep the end of the label, which is the distinctive part.
    const std::string name = label_.size() > 15 ? label_.substr(label_.size() - 15) : label_;
    pthread_setname_np(pthread_self(), name.c_str());

    // Posts do not add up: one wake may stand for several tasks and a doorbell, so the worker runs
    // everything waiting before it sleeps again.
    for (;;) {
        wake_.wait();
        for (;;) {
            if (doorbellRung_.exchange(false, std::memory_order_acq_rel)) {
                std::function<void()> handler;
                {
                    std::lock_guard lock(mutex_);
                    handler = doorbellHandler_;
                }
                if (handler) {
                    handler();
                }
            }
            std::function<void()> task;
            {
                std::lock_guard lock(mutex_);
                if (tasks_.empty()) {
                    // A ring that came before the destructor is still served.
                    if (stopping_ && !doorbellRung_.load(std::memory_order_acquire)) {
                        return;
                    }
                    if (!doorbellRung_.load(std::memory_order_acquire)) {
                        break;
                    }
                    continue;
                }
                task = std::move(tasks_.front());
                tasks_.pop_front();
            }
            task();
        }
    }
}
