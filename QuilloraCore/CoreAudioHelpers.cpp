#include "QuilloraCore/CoreAudioHelpers.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <optional>

CoreAudioError::CoreAudioError(std::string operation, int32_t status)
    : operation_(std::move(operation)), status_(status),
      description_(operation_ + " non riuscito (OSStatus " + std::to_string(status_) + " " + fourCC(status_) +
                   ")") {}

std::string CoreAudioError::fourCC(int32_t status) {
    const auto bits = static_cast<uint32_t>(status);
    std::string code;
    for (int shift = 24; shift >= 0; shift -= 8) {
        const auto byte = static_cast<unsigned char>((bits >> shift) & 0xFFu);
        if (byte < 32 || byte > 126) {
            return {};
        }
        code.push_back(static_cast<char>(byte));
    }
    return "'" + code + "'";
}

namespace CoreAudio {

std::string string(AudioObjectID object, AudioObjectPropertySelector selector) {
    const AudioObjectPropertyAddress address{selector, kAudioObjectPropertyScopeGlobal,
                                             kAudioObjectPropertyElementMain};
    std::optional<std::string> result;
    const OSStatus status = AudioHardware::shared().getPropertyString(object, address, &result);
    const std::string operation = "Lettura stringa " + std::to_string(selector);
    if (status != kAudioHardwareNoError) {
        throw CoreAudioError(operation, status);
    }
    if (!result) {
        throw CoreAudioError(operation, kAudioHardwareUnspecifiedError);
    }
    return std::move(*result);
}

std::vector<int> inputStreamChannels(AudioObjectID device) {
    const AudioObjectPropertyAddress address{kAudioDevicePropertyStreamConfiguration,
                                             kAudioDevicePropertyScopeInput, kAudioObjectPropertyElementMain};
    AudioHardware& hardware = AudioHardware::shared();
    uint32_t size = 0;
    OSStatus status = hardware.getPropertyDataSize(device, address, 0, nullptr, &size);
    if (status != kAudioHardwareNoError) {
        throw CoreAudioError("Configurazione stream", status);
    }
    const auto block = std::make_unique<std::byte[]>(size);
    status = hardware.getPropertyData(device, address, 0, nullptr, &size, block.get());
    if (status != kAudioHardwareNoError) {
        throw CoreAudioError("Configurazione stream", status);
    }

    // Only entries that lie inside the bytes actually returned are read, whatever the count claims.
    std::vector<int> channels;
    uint32_t count = 0;
    if (size < sizeof(count)) {
        return channels;
    }
    std::memcpy(&count, block.get(), sizeof(count));
    const std::size_t fit = size < offsetof(AudioBufferList, mBuffers)
                                ? 0
                                : (size - offsetof(AudioBufferList, mBuffers)) / sizeof(AudioBuffer);
    count = static_cast<uint32_t>(std::min<std::size_t>(count, fit));
    channels.reserve(count);
    for (uint32_t i = 0; i < count; ++i) {
        AudioBuffer buffer;
        std::memcpy(&buffer, block.get() + offsetof(AudioBufferList, mBuffers) + i * sizeof(AudioBuffer),
                    sizeof(buffer));
        channels.push_back(static_cast<int>(buffer.mNumberChannels));
    }
    return channels;
}

AudioObjectID processObject(int32_t pid) {
    const AudioObjectPropertyAddress address{kAudioHardwarePropertyTranslatePIDToProcessObject,
                                             kAudioObjectPropertyScopeGlobal,
                                             kAudioObjectPropertyElementMain};
    AudioObjectID object = kAudioObjectUnknown;
    uint32_t size = sizeof(object);
    const OSStatus status = AudioHardware::shared().getPropertyData(kAudioObjectSystemObject, address,
                                                                    sizeof(pid), &pid, &size, &object);
    if (status != kAudioHardwareNoError) {
        throw CoreAudioError("Ricerca del processo", status);
    }
    return object;
}

} // namespace CoreAudio
