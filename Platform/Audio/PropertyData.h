#pragma once

#include "Platform/Audio/AudioHardware.h"

#include <optional>
#include <string>
#include <vector>

// How every backend hands a property's value to the caller of getPropertyData, getPropertyDataSize and
// getPropertyString, so that sizes and partial reads behave the same whichever backend runs.
namespace PropertyData {

// Variable-length lists of object ids (devices, processes, taps).
bool isList(AudioObjectPropertySelector selector);

OSStatus deliverSize(const std::vector<unsigned char>& bytes, uint32_t* outDataSize);

// Lists hand out as many whole entries as fit; every other value needs the whole space.
OSStatus deliver(const std::vector<unsigned char>& bytes, AudioObjectPropertySelector selector,
                 uint32_t* ioDataSize, void* outData);

OSStatus deliverString(std::optional<std::string> text, std::optional<std::string>* outString);

// Encodings every backend shares.
template <typename T>
void append(std::vector<unsigned char>& bytes, const T& value) {
    const auto* raw = reinterpret_cast<const unsigned char*>(&value);
    bytes.insert(bytes.end(), raw, raw + sizeof(T));
}
void appendIDs(std::vector<unsigned char>& bytes, const std::vector<AudioObjectID>& ids);
// A stream configuration: an AudioBufferList with one (data-less) buffer per stream.
void setStreamConfiguration(std::vector<unsigned char>& bytes,
                            const std::vector<uint32_t>& channelsPerStream);
// What a tap delivers: stereo, interleaved 32-bit float at the given rate.
AudioStreamBasicDescription tapFormat(double sampleRate);

} // namespace PropertyData
