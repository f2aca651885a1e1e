#include "QuilloraCore/AggregateDevice.h"

#include "QuilloraCore/CoreAudioHelpers.h"
#include "QuilloraCore/SystemAudioTap.h"

#include <QUuid>
#include <algorithm>
#include <chrono>
#include <thread>

namespace {

// The tap's streams can show up a little after the device itself.
constexpr int streamWaitAttempts = 20;
constexpr std::chrono::milliseconds streamWaitInterval(50);

std::vector<int> streamsOrNone(AudioObjectID device) {
    try {
        return CoreAudio::inputStreamChannels(device);
    } catch (const CoreAudioError&) {
        return {};
    }
}

} // namespace

AggregateDevice::AggregateDevice(const SystemAudioTap& tap, std::optional<AudioObjectID> microphone) {
    AggregateDeviceDescription description;
    description.name = "Quillora";
    description.uid = "com.tandrevel.quillora.aggregate." +
                      QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper().toStdString();
    description.isPrivate = true;
    description.stacked = false;
    description.tapAutoStart = false;
    description.taps.push_back({tap.uid(), true});

    // The leading sub-device: the microphone, else whatever plays the call (its clock drives the aggregate).
    AudioObjectID leading = kAudioObjectUnknown;
    if (microphone) {
        leading = *microphone;
    } else {
        try {
            leading = CoreAudio::value<AudioObjectID>(kAudioObjectSystemObject,
                                                      kAudioHardwarePropertyDefaultOutputDevice,
                                                      kAudioObjectPropertyScopeGlobal, kAudioObjectUnknown);
        } catch (const CoreAudioError&) {
            leading = kAudioObjectUnknown;
        }
    }

    std::size_t leadingCount = 0;
    if (leading != kAudioObjectUnknown) {
        try {
            const std::string uid = CoreAudio::string(leading, kAudioDevicePropertyDeviceUID);
            description.master = uid;
            description.subdevices.push_back({uid});
            leadingCount = streamsOrNone(leading).size();
        } catch (const CoreAudioError&) {
            // Without its UID it cannot be added: the aggregate holds only the tap.
        }
    }

    leadingStreamsAreMicrophone_ = microphone.has_value();
    if (microphone) {
        try {
            micName_ = CoreAudio::string(*microphone, kAudioObjectPropertyName);
        } catch (const CoreAudioError&) {
            micName_ = "dispositivo sconosciuto";
        }
    }

    AudioObjectID device = kAudioObjectUnknown;
    const OSStatus status = AudioHardware::shared().createAggregateDevice(description, &device);
    if (status != kAudioHardwareNoError) {
        throw CoreAudioError("Creazione del dispositivo aggregato", status);
    }
    deviceID_ = device;

    std::vector<int> streams;
    for (int attempt = 0; attempt < streamWaitAttempts; ++attempt) {
        streams = streamsOrNone(deviceID_);
        if (streams.size() > leadingCount) {
            break; // the tap's streams are there
        }
        std::this_thread::sleep_for(streamWaitInterval);
    }
    streamChannels_ = std::move(streams);
    leadingStreamCount_ = streamChannels_.size() >= 2
                              ? static_cast<int>(std::min(leadingCount, streamChannels_.size() - 1))
                              : 0;
}
