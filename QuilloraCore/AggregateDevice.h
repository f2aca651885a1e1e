#pragma once

#include "Platform/Audio/AudioHardware.h"

#include <optional>
#include <string>
#include <vector>

class SystemAudioTap;

// A private aggregate device holding one real device (the microphone, else the default output device)
// followed by the system-audio tap, so one input callback gets both on one clock. It also works out which
// input streams belong to that leading device. Only creates the device: destroying it is its owner's job.
class AggregateDevice {
public:
    // Throws CoreAudioError when the aggregate cannot be created. Blocks up to about 1 s while the new
    // device's streams appear.
    AggregateDevice(const SystemAudioTap& tap, std::optional<AudioObjectID> microphone);

    AudioObjectID deviceID() const { return deviceID_; }
    // Channels of each input stream, in stream order.
    const std::vector<int>& streamChannels() const { return streamChannels_; }
    // How many of the first streams belong to the leading device; at least one stream is always left for
    // the system audio when there are two or more.
    int leadingStreamCount() const { return leadingStreamCount_; }
    // True when a microphone was asked for, so the leading streams carry the voice.
    bool leadingStreamsAreMicrophone() const { return leadingStreamsAreMicrophone_; }
    // Display name of the microphone; none without a microphone.
    const std::optional<std::string>& micName() const { return micName_; }

private:
    AudioObjectID deviceID_ = kAudioObjectUnknown;
    std::vector<int> streamChannels_;
    int leadingStreamCount_ = 0;
    bool leadingStreamsAreMicrophone_ = false;
    std::optional<std::string> micName_;
};
