#include "Platform/Media/PcmBuffer.h"

#include <cstddef>
#include <limits>
#include <new>
#include <stdexcept>

std::optional<PcmBuffer> PcmBuffer::make(const AudioFormat& format, uint32_t frameCapacity) {
    const auto channels = static_cast<std::size_t>(format.channelCount());
    if (frameCapacity != 0 &&
        channels > std::numeric_limits<std::ptrdiff_t>::max() / sizeof(float) / frameCapacity) {
        return std::nullopt;
    }
    try {
        return PcmBuffer(format, frameCapacity);
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    } catch (const std::length_error&) {
        return std::nullopt;
    }
}

PcmBuffer::PcmBuffer(const AudioFormat& format, uint32_t frameCapacity)
    : format_(format), frameCapacity_(frameCapacity),
      samples_(static_cast<std::size_t>(format.channelCount()) * frameCapacity, 0.0f) {
    channels_.reserve(format.channelCount());
    for (uint32_t c = 0; c < format.channelCount(); ++c) {
        channels_.push_back(samples_.data() + static_cast<std::size_t>(c) * frameCapacity);
    }
}

void PcmBuffer::setFrameLength(uint32_t frameLength) {
    if (frameLength > frameCapacity_) {
        throw std::invalid_argument("PCM buffer frame length beyond its capacity");
    }
    frameLength_ = frameLength;
}
