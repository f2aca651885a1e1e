#pragma once

#include <QSocketNotifier>
#include <functional>
#include <memory>

// Turns SIGINT and SIGTERM into a call on the main loop: the handler only writes one byte to a pipe.
// After the first signal the default action is back, so a second Ctrl+C ends the process at once (a
// recording's file stays playable even then). One instance at a time.
class QuitSignals {
public:
    explicit QuitSignals(std::function<void()> onSignal);
    ~QuitSignals();

    QuitSignals(const QuitSignals&) = delete;
    QuitSignals& operator=(const QuitSignals&) = delete;

private:
    static void handle(int);

    std::function<void()> onSignal_;
    int fds_[2] = {-1, -1};
    std::unique_ptr<QSocketNotifier> notifier_;
};
