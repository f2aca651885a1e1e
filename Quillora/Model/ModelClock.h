#pragma once

#include <chrono>
#include <functional>
#include <memory>

// A repeating timer; it stops when the handle is destroyed.
class ModelTimer {
public:
    virtual ~ModelTimer() = default;
};

// The application model's sense of time: the current instant, repeating timers and delayed checks, all on
// the main thread. The program uses the steady clock and Qt timers; tests drive a manual clock so that the
// long waits (30 s, 6 s) take no real time.
class ModelClock {
public:
    using TimePoint = std::chrono::steady_clock::time_point;

    virtual ~ModelClock() = default;

    virtual TimePoint now() const = 0;
    // Runs `body` every `interval` until the handle is destroyed.
    virtual std::unique_ptr<ModelTimer> repeat(std::chrono::milliseconds interval,
                                               std::function<void()> body) = 0;
    // Runs `body` once, `delay` from now. Bodies hold what they touch weakly: nothing cancels them.
    virtual void once(std::chrono::milliseconds delay, std::function<void()> body) = 0;

    // The steady clock and QTimer on the main thread's event loop.
    static std::unique_ptr<ModelClock> system();
};
