#include "QuilloraCore/Probe.h"

#include "Platform/Audio/AudioHardware.h"
#include "QuilloraCore/CoreAudioHelpers.h"

#include <QUuid>
#include <atomic>
#include <chrono>
#include <optional>
#include <thread>
#include <unistd.h>

namespace {

struct TapConfiguration {
    const char* label;
    bool excludeSelf;
    bool isPrivate;
};

constexpr TapConfiguration tapConfigurations[] = {
    {"globale privato escluso-me", true, true},
    {"globale pubblico senza esclusioni", false, false},
    {"globale privato senza esclusioni", false, true},
};

std::string newUUID() {
    return QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper().toStdString();
}

void sleepSeconds(double seconds) {
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

class Probing {
public:
    explicit Probing(const Probe::Timing& timing) : timing_(timing) {}

    std::vector<std::string> run() {
        if (const auto input = defaultInputDevice()) {
            measure("mic diretto", *input);
            probeMicrophoneAggregate(*input);
        }
        appendTapCount();
        const std::optional<AudioObjectID> self = ownProcessObject();
        for (const auto& configuration : tapConfigurations) {
            probeTap(configuration, self);
        }
        return std::move(lines_);
    }

private:
    void measure(const std::string& label, AudioObjectID device) {
        std::atomic<int64_t> callbacks{0};
        AudioDeviceIOProcID procID = 0;
        const OSStatus created = hardware_.createIOProcIDWithBlock(
            device,
            [&callbacks](const AudioTimeStamp*, const AudioBufferList*, const AudioTimeStamp*,
                         AudioBufferList*,
                         const AudioTimeStamp*) { callbacks.fetch_add(1, std::memory_order_relaxed); },
            &procID);
        const OSStatus started = hardware_.deviceStart(device, procID);
        sleepSeconds(timing_.measureSeconds);
        uint32_t running = 9;
        try {
            running = CoreAudio::value<uint32_t>(device, kAudioDevicePropertyDeviceIsRunning,
                                                 kAudioObjectPropertyScopeGlobal, 9u);
        } catch (const CoreAudioError&) {
            running = 9;
        }
        hardware_.deviceStop(device, procID);
        if (procID != 0) {
            hardware_.destroyIOProcID(device, procID);
        }
        lines_.push_back(label + ": create=" + std::to_string(created) + " start=" + std::to_string(started) +
                         " running=" + std::to_string(running) +
                         " callbacks=" + std::to_string(callbacks.load()));
    }

    std::optional<AudioObjectID> defaultInputDevice() {
        try {
            const auto device =
                CoreAudio::value<uint32_t>(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultInputDevice,
                                           kAudioObjectPropertyScopeGlobal, 0u);
            if (device != 0) {
                return device;
            }
        } catch (const CoreAudioError&) {
        }
        return std::nullopt;
    }

    void probeMicrophoneAggregate(AudioObjectID input) {
        std::string uid;
        try {
            uid = CoreAudio::string(input, kAudioDevicePropertyDeviceUID);
        } catch (const CoreAudioError&) {
            return;
        }
        AggregateDeviceDescription description;
        description.name = "Quillora probe";
        description.uid = "com.tandrevel.quillora.probe." + newUUID();
        description.isPrivate = true;
        description.master = uid;
        description.subdevices = {{uid}};
        AudioObjectID aggregate = 0;
        const OSStatus status = hardware_.createAggregateDevice(description, &aggregate);
        lines_.push_back("aggregate solo mic: create=" + std::to_string(status));
        if (status == kAudioHardwareNoError) {
            sleepSeconds(timing_.settleSeconds);
            measure("aggregate solo mic", aggregate);
            hardware_.destroyAggregateDevice(aggregate);
        }
    }

    void appendTapCount() {
        uint32_t size = 0;
        hardware_.getPropertyDataSize(
            kAudioObjectSystemObject,
            {kAudioHardwarePropertyTapList, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain},
            0, nullptr, &size);
        lines_.push_back("taps nel sistema: " + std::to_string(size / 4));
    }

    // None when the lookup fails or the audio system does not know this process (object 0).
    static std::optional<AudioObjectID> ownProcessObject() {
        try {
            if (const AudioObjectID object = CoreAudio::processObject(static_cast<int32_t>(getpid()));
                object != kAudioObjectUnknown) {
                return object;
            }
        } catch (const CoreAudioError&) {
        }
        return std::nullopt;
    }

    void probeTap(const TapConfiguration& configuration, const std::optional<AudioObjectID>& self) {
        std::vector<AudioObjectID> excluded;
        if (configuration.excludeSelf && self) {
            excluded.push_back(*self);
        }
        CATapDescription description =
            CATapDescription::stereoGlobalTapButExcludeProcesses(std::move(excluded));
        description.uuid = newUUID();
        if (configuration.isPrivate) {
            description.isPrivate = true;
        }
        const std::string label = configuration.label;
        AudioObjectID tap = 0;
        const OSStatus status = hardware_.createProcessTap(description, &tap);
        if (status != kAudioHardwareNoError) {
            lines_.push_back(label + ": create tap " + std::to_string(status));
            return;
        }
        for (const bool autostart : {true, false}) {
            AggregateDeviceDescription aggregateDescription;
            aggregateDescription.name = "Quillora probe";
            aggregateDescription.uid = "com.tandrevel.quillora.probe." + newUUID();
            aggregateDescription.isPrivate = true;
            aggregateDescription.tapAutoStart = autostart;
            aggregateDescription.taps = {{description.uuid, true}};
            AudioObjectID aggregate = 0;
            const OSStatus created = hardware_.createAggregateDevice(aggregateDescription, &aggregate);
            if (created != kAudioHardwareNoError) {
                lines_.push_back(label + ": create aggregate " + std::to_string(created));
                continue;
            }
            sleepSeconds(timing_.settleSeconds);
            measure(label + " solo-tap autostart=" + (autostart ? "true" : "false"), aggregate);
            hardware_.destroyAggregateDevice(aggregate);
        }
        hardware_.destroyProcessTap(tap);
    }

    Probe::Timing timing_;
    AudioHardware& hardware_ = AudioHardware::shared();
    std::vector<std::string> lines_;
};

} // namespace

std::vector<std::string> Probe::run() {
    return run(Timing{});
}

std::vector<std::string> Probe::run(const Timing& timing) {
    return Probing(timing).run();
}
