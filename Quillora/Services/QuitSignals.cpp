#include "Quillora/Services/QuitSignals.h"

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

volatile std::sig_atomic_t writeEnd = -1;

} // namespace

QuitSignals::QuitSignals(std::function<void()> onSignal) : onSignal_(std::move(onSignal)) {
    if (pipe2(fds_, O_CLOEXEC | O_NONBLOCK) != 0) {
        fds_[0] = fds_[1] = -1;
        return;
    }
    writeEnd = fds_[1];
    notifier_ = std::make_unique<QSocketNotifier>(fds_[0], QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] {
        char byte = 0;
        while (read(fds_[0], &byte, 1) > 0) {
        }
        onSignal_();
    });
    struct sigaction action {};
    action.sa_handler = &QuitSignals::handle;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

QuitSignals::~QuitSignals() {
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    writeEnd = -1;
    notifier_.reset();
    for (int fd : fds_) {
        if (fd >= 0) {
            close(fd);
        }
    }
}

void QuitSignals::handle(int) {
    if (writeEnd >= 0) {
        const char byte = 1;
        [[maybe_unused]] const auto written = write(writeEnd, &byte, 1);
    }
}
