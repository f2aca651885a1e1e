#pragma once

#include "Platform/Audio/AudioHardware.h"

#include <optional>
#include <string>

// A private stereo process tap on everything the computer plays, except this program's own process.
// Only creates it: destroying the tap is its owner's job, so copies and destruction touch nothing.
class SystemAudioTap {
public:
    // Throws CoreAudioError when the audio system refuses the tap (typically a missing permission).
    SystemAudioTap();

    AudioObjectID tapID() const { return tapID_; }
    // The tap's UUID, upper-case canonical text.
    const std::string& uid() const { return uid_; }

    // The tap's stream format, or none when it cannot be read.
    std::optional<AudioStreamBasicDescription> format() const;

private:
    AudioObjectID tapID_ = kAudioObjectUnknown;
    std::string uid_;
};
