#pragma once

#include <QCoreApplication>
#include <chrono>
#include <thread>

// Runs the main thread's event loop until `done` holds (true) or the timeout passes (what `done` says then).
template <typename Predicate>
bool waitUntil(Predicate done, std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return done();
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Runs the event loop for `time`, so that whatever is due meanwhile (timers, queued events) happens.
inline void runEventsFor(std::chrono::milliseconds time) {
    waitUntil([] { return false; }, time);
}
