#pragma once

#include <cstdint>
#include <optional>

// The only sample layout the media layer deals in: 32-bit float, one array per channel
// (non-interleaved), at a sample rate given in Hz as a double.
class AudioFormat {
public:
    // nullopt when the rate is not a positive finite number or there are no channels.
    static std::optional<AudioFormat> standard(double sampleRate, uint32_t channelCount);

    double sampleRate() const { return sampleRate_; }
    uint32_t channelCount() const { return channelCount_; }

    bool operator==(const AudioFormat&) const = default;

private:
    AudioFormat(double sampleRate, uint32_t channelCount)
        : sampleRate_(sampleRate), channelCount_(channelCount) {}

    double sampleRate_;
    uint32_t channelCount_;
};
