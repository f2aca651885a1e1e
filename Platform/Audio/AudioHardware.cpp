#include "Platform/Audio/AudioHardware.h"

#include "Platform/Audio/PipeWire/PipeWireAudioHardware.h"
#include "Platform/Audio/Simulated/SimulatedAudioHardware.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

std::mutex sharedMutex;
std::unique_ptr<AudioHardware> sharedInstance;

std::unique_ptr<AudioHardware> makeDefaultBackend() {
    const char* choice = std::getenv("QUILLORA_AUDIO_BACKEND");
    if (choice != nullptr && std::strcmp(choice, "simulated") == 0) {
        return SimulatedAudioHardware::makeDemo();
    }
    return std::make_unique<PipeWireAudioHardware>();
}

} // namespace

AudioHardware& AudioHardware::shared() {
    std::lock_guard lock(sharedMutex);
    if (!sharedInstance) {
        sharedInstance = makeDefaultBackend();
    }
    return *sharedInstance;
}

void AudioHardware::setShared(std::unique_ptr<AudioHardware> hardware) {
    std::unique_ptr<AudioHardware> previous;
    {
        std::lock_guard lock(sharedMutex);
        previous = std::exchange(sharedInstance, std::move(hardware));
    }
    // `previous` is destroyed here, outside the lock: a backend's teardown may join its own threads.
}

void postToMainThread(std::function<void()> task) {
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr) {
        return; // no event loop: nothing can receive it
    }
    QMetaObject::invokeMethod(app, std::move(task), Qt::QueuedConnection);
}
