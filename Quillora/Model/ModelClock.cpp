#include "Quillora/Model/ModelClock.h"

#include <QCoreApplication>
#include <QTimer>

namespace {

class QtModelTimer final : public ModelTimer {
public:
    QtModelTimer(std::chrono::milliseconds interval, std::function<void()> body) {
        timer_.setInterval(interval);
        QObject::connect(&timer_, &QTimer::timeout, std::move(body));
        timer_.start();
    }

private:
    QTimer timer_;
};

class SystemModelClock final : public ModelClock {
public:
    TimePoint now() const override { return std::chrono::steady_clock::now(); }

    std::unique_ptr<ModelTimer> repeat(std::chrono::milliseconds interval,
                                       std::function<void()> body) override {
        return std::make_unique<QtModelTimer>(interval, std::move(body));
    }

    void once(std::chrono::milliseconds delay, std::function<void()> body) override {
        // The application object as context keeps the check on the main thread.
        QTimer::singleShot(delay, QCoreApplication::instance(), std::move(body));
    }
};

} // namespace

std::unique_ptr<ModelClock> ModelClock::system() {
    return std::make_unique<SystemModelClock>();
}
