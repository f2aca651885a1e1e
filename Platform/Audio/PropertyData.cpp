#include "Platform/Audio/PropertyData.h"

#include <cstring>

bool PropertyData::isList(AudioObjectPropertySelector selector) {
    return selector == kAudioHardwarePropertyDevices || selector == kAudioHardwarePropertyProcessObjectList ||
           selector == kAudioHardwarePropertyTapList;
}

OSStatus PropertyData::deliverSize(const std::vector<unsigned char>& bytes, uint32_t* outDataSize) {
    if (outDataSize == nullptr) {
        return kAudioHardwareBadPropertySizeError;
    }
    *outDataSize = static_cast<uint32_t>(bytes.size());
    return kAudioHardwareNoError;
}

OSStatus PropertyData::deliver(const std::vector<unsigned char>& bytes, AudioObjectPropertySelector selector,
                               uint32_t* ioDataSize, void* outData) {
    if (ioDataSize == nullptr || (outData == nullptr && *ioDataSize > 0)) {
        return kAudioHardwareBadPropertySizeError;
    }
    std::size_t size = bytes.size();
    if (*ioDataSize < size) {
        if (!isList(selector)) {
            return kAudioHardwareBadPropertySizeError;
        }
        size = *ioDataSize / sizeof(AudioObjectID) * sizeof(AudioObjectID);
    }
    if (size > 0) {
        std::memcpy(outData, bytes.data(), size);
    }
    *ioDataSize = static_cast<uint32_t>(size);
    return kAudioHardwareNoError;
}

OSStatus PropertyData::deliverString(std::optional<std::string> text, std::optional<std::string>* outString) {
    if (outString == nullptr) {
        return kAudioHardwareBadPropertySizeError;
    }
    *outString = std::move(text);
    return kAudioHardwareNoError;
}
