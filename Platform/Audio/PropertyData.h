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

} // namespace PropertyData
