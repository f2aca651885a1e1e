#include "Platform/Audio/PropertyData.h"

#include <cstddef>
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

void PropertyData::appendIDs(std::vector<unsigned char>& bytes, const std::vector<AudioObjectID>& ids) {
    for (const AudioObjectID id : ids) {
        append(bytes, id);
    }
}

void PropertyData::setStreamConfiguration(std::vector<unsigned char>& bytes,
                                          const std::vector<uint32_t>& channelsPerStream) {
    const auto count = static_cast<uint32_t>(channelsPerStream.size());
    bytes.assign(audioBufferListSize(count), 0);
    std::memcpy(bytes.data(), &count, sizeof(count));
    for (uint32_t i = 0; i < count; ++i) {
        AudioBuffer buffer;
        buffer.mNumberChannels = channelsPerStream[i];
        std::memcpy(bytes.data() + offsetof(AudioBufferList, mBuffers) + i * sizeof(AudioBuffer), &buffer,
                    sizeof(buffer));
    }
}

AudioStreamBasicDescription PropertyData::tapFormat(double sampleRate) {
    AudioStreamBasicDescription format;
    format.mSampleRate = sampleRate;
    format.mFormatID = kAudioFormatLinearPCM;
    format.mFormatFlags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked;
    format.mBytesPerPacket = 8;
    format.mFramesPerPacket = 1;
    format.mBytesPerFrame = 8;
    format.mChannelsPerFrame = 2;
    format.mBitsPerChannel = 32;
    return format;
}
