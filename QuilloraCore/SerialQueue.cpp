#include "QuilloraCore/SerialQueue.h"

#include <cassert>
#include <pthread.h>

SerialQueue::SerialQueue(std::string label) : label_(std::move(label)) {
    worker_ = std::thread([this] { run(); });
}

SerialQueue::~SerialQueue() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.release();
    worker_.join();
}

void SerialQueue::async(std::function<void()> task) {
    {
        std::lock_guard lock(mutex_);
        tasks_.push_back(std::move(task));
    }
    wake_.release();
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
    // Only the ring that raises the flag wakes the worker, so the semaphore never counts more than one
    // pending doorbell however often the audio thread rings.
    if (!doorbellRung_.exchange(true, std::memory_order_acq_rel)) {
        wake_.release();
    }
}

void SerialQueue::run() {
    // Thread names are limited to 15 characters; keep the end of the label, which is the distinctive part.
    const std::string name = label_.size() > 15 ? label_.substr(label_.size() - 15) : label_;
    pthread_setname_np(pthread_self(), name.c_str());

    // Every async() and every raised doorbell released the semaphore once, and the destructor once more,
    // so each wake has at most one task to run; a wake that finds nothing is a doorbell already served.
    for (;;) {
        wake_.acquire();
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
                if (stopping_) {
                    return;
                }
                continue;
            }
            task = std::move(tasks_.front());
            tasks_.pop_front();
        }
        task();
    }
}
