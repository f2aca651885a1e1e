#pragma once

#include "Platform/Media/AudioFormat.h"
#include "Platform/Media/MediaError.h"
#include "Platform/Media/PcmBuffer.h"

#include <cstdint>
#include <functional>
#include <memory>

struct SwrContext;

// Sample-rate (and channel-count) conversion between two standard formats, block by block. The filter
// state carries over from one convert() to the next, so consecutive blocks join without a seam; the
// converter holds back a few samples (its filter delay) until more input arrives or the input ends.
class AudioConverter {
public:
    enum class InputStatus { haveData, noDataNow, endOfStream };
    enum class OutputStatus { haveData, inputRanDry, endOfStream };

    // Asked for input with the number of frames that would fill the output; returns a buffer in the
    // input format and sets status to haveData, or sets noDataNow / endOfStream (the buffer is ignored).
    using InputBlock = std::function<const PcmBuffer*(uint32_t framesWanted, InputStatus& status)>;

    // nullptr when the formats cannot be converted (rates that are not whole hertz, too many channels)
    // or the resampler cannot be set up.
    static std::unique_ptr<AudioConverter> make(const AudioFormat& from, const AudioFormat& to);
    ~AudioConverter();

    AudioConverter(const AudioConverter&) = delete;
    AudioConverter& operator=(const AudioConverter&) = delete;

    const AudioFormat& inputFormat() const { return from_; }
    const AudioFormat& outputFormat() const { return to_; }

    // Fills output (from frame 0, setting its frame length) with converted frames, asking for input
    // until the output is full (haveData), the input has nothing now (inputRanDry) or it ended
    // (endOfStream; the held-back samples are then flushed). Throws MediaError when an input buffer or
    // the output buffer has the wrong format, or the resampler fails.
    OutputStatus convert(PcmBuffer& output, const InputBlock& input);

private:
    struct SwrDeleter {
        void operator()(SwrContext* context) const;
    };
    using SwrPtr = std::unique_ptr<SwrContext, SwrDeleter>;
    // Only make() can construct; the key keeps the constructor usable by std::make_unique.
    struct Key {
        explicit Key() = default;
    };

public:
    AudioConverter(Key, const AudioFormat& from, const AudioFormat& to, SwrPtr context);

private:
    AudioFormat from_;
    AudioFormat to_;
    SwrPtr context_;
};
