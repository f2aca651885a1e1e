#include "Platform/Media/AudioFormat.h"

#include <cmath>

std::optional<AudioFormat> AudioFormat::standard(double sampleRate, uint32_t channelCount) {
    if (!std::isfinite(sampleRate) || sampleRate <= 0 || channelCount == 0) {
        return std::nullopt;
    }
    return AudioFormat(sampleRate, channelCount);
}
