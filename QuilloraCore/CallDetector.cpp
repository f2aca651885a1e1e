#include "QuilloraCore/CallDetector.h"

#include "Platform/Audio/AudioHardware.h"
#include "QuilloraCore/CoreAudioHelpers.h"

#include <algorithm>

namespace CallDetector {

std::vector<MicrophoneClient> microphoneClients() {
    AudioHardware& hardware = AudioHardware::shared();
    const AudioObjectPropertyAddress address{kAudioHardwarePropertyProcessObjectList,
                                             kAudioObjectPropertyScopeGlobal,
                                             kAudioObjectPropertyElementMain};
    uint32_t size = 0;
    if (hardware.getPropertyDataSize(kAudioObjectSystemObject, address, 0, nullptr, &size) !=
            kAudioHardwareNoError ||
        size == 0) {
        return {};
    }
    std::vector<AudioObjectID> processes(size / sizeof(AudioObjectID), kAudioObjectUnknown);
    uint32_t dataSize = static_cast<uint32_t>(processes.size() * sizeof(AudioObjectID));
    if (hardware.getPropertyData(kAudioObjectSystemObject, address, 0, nullptr, &dataSize,
                                 processes.data()) != kAudioHardwareNoError) {
        return {};
    }
    // The list may have shrunk between the two calls: keep only the ids actually written.
    processes.resize(std::min<std::size_t>(processes.size(), dataSize / sizeof(AudioObjectID)));

    std::vector<MicrophoneClient> clients;
    for (AudioObjectID process : processes) {
        try {
            if (CoreAudio::value<uint32_t>(process, kAudioProcessPropertyIsRunningInput,
                                           kAudioObjectPropertyScopeGlobal, 0) == 0) {
                continue;
            }
        } catch (const CoreAudioError&) {
            continue;
        }
        MicrophoneClient client;
        try {
            client.pid = CoreAudio::value<int32_t>(process, kAudioProcessPropertyPID,
                                                   kAudioObjectPropertyScopeGlobal, 0);
        } catch (const CoreAudioError&) {
            client.pid = 0;
        }
        try {
            client.bundleID = CoreAudio::string(process, kAudioProcessPropertyBundleID);
        } catch (const CoreAudioError&) {
            client.bundleID.clear();
        }
        clients.push_back(std::move(client));
    }
    return clients;
}

} // namespace CallDetector
