#pragma once

#include "Platform/Media/AudioFormat.h"

#include <cstdint>
#include <optional>
#include <vector>

// Non-interleaved float samples in a given format: a fixed frame capacity per channel and a frame length
// (how many of those frames are valid). New buffers are silent.
class PcmBuffer {
public:
    // nullopt when the storage cannot be had (the size overflows or the allocation fails).
    static std::optional<PcmBuffer> make(const AudioFormat& format, uint32_t frameCapacity);

    PcmBuffer(PcmBuffer&&) noexcept = default;
    PcmBuffer& operator=(PcmBuffer&&) noexcept = default;
    PcmBuffer(const PcmBuffer&) = delete;
    PcmBuffer& operator=(const PcmBuffer&) = delete;

    const AudioFormat& format() const { return format_; }
    uint32_t frameCapacity() const { return frameCapacity_; }
    uint32_t frameLength() const { return frameLength_; }

    // Throws std::invalid_argument beyond the capacity.
    void setFrameLength(uint32_t frameLength);

    // One pointer per channel, each to frameCapacity floats.
    float* const* floatChannelData() { return channels_.data(); }
    const float* const* floatChannelData() const { return channels_.data(); }
    float* channel(uint32_t index) { return channels_[index]; }
    const float* channel(uint32_t index) const { return channels_[index]; }

private:
    PcmBuffer(const AudioFormat& format, uint32_t frameCapacity);

    AudioFormat format_;
    uint32_t frameCapacity_;
    uint32_t frameLength_ = 0;
    std::vector<float> samples_;
    // Point into samples_; a move keeps the heap block, so they stay valid.
    std::vector<float*> channels_;
};
