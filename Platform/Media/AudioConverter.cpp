#include "Platform/Media/AudioConverter.h"

#include "Platform/Media/FfmpegSupport.h"

extern "C" {
#include <libswresample/swresample.h>
}

#include <cmath>
#include <optional>
#include <utility>
#include <vector>

namespace {

std::optional<int> wholeRate(double rate) {
    if (!(rate >= 1 && rate <= 1'000'000) || std::floor(rate) != rate) {
        return std::nullopt;
    }
    return static_cast<int>(rate);
}

} // namespace

void AudioConverter::SwrDeleter::operator()(SwrContext* context) const {
    swr_free(&context);
}

std::unique_ptr<AudioConverter> AudioConverter::make(const AudioFormat& from, const AudioFormat& to) {
    const auto inRate = wholeRate(from.sampleRate());
    const auto outRate = wholeRate(to.sampleRate());
    if (!inRate || !outRate || from.channelCount() > 64 || to.channelCount() > 64) {
        return nullptr;
    }
    AVChannelLayout inLayout{};
    AVChannelLayout outLayout{};
    av_channel_layout_default(&inLayout, static_cast<int>(from.channelCount()));
    av_channel_layout_default(&outLayout, static_cast<int>(to.channelCount()));
    SwrContext* context = nullptr;
    int status = swr_alloc_set_opts2(&context, &outLayout, AV_SAMPLE_FMT_FLTP, *outRate, &inLayout,
                                     AV_SAMPLE_FMT_FLTP, *inRate, 0, nullptr);
    av_channel_layout_uninit(&inLayout);
    av_channel_layout_uninit(&outLayout);
    if (status < 0 || context == nullptr) {
        swr_free(&context);
        return nullptr;
    }
    SwrPtr owned(context);
    if (swr_init(context) < 0) {
        return nullptr;
    }
    return std::make_unique<AudioConverter>(Key{}, from, to, std::move(owned));
}

AudioConverter::AudioConverter(Key, const AudioFormat& from, const AudioFormat& to, SwrPtr context)
    : from_(from), to_(to), context_(std::move(context)) {}

AudioConverter::~AudioConverter() = default;

AudioConverter::OutputStatus AudioConverter::convert(PcmBuffer& output, const InputBlock& input) {
    if (!(output.format() == to_)) {
        throw MediaError("Formato di uscita diverso da quello del convertitore");
    }
    const uint32_t capacity = output.frameCapacity();
    uint32_t produced = 0;
    output.setFrameLength(0);
    const auto outputPlanes = [&] {
        std::vector<uint8_t*> planes(to_.channelCount());
        for (uint32_t c = 0; c < to_.channelCount(); ++c) {
            planes[c] = reinterpret_cast<uint8_t*>(output.channel(c) + produced);
        }
        return planes;
    };
    const auto convertInto = [&](const uint8_t** in, int inFrames) {
        std::vector<uint8_t*> planes = outputPlanes();
        const int converted =
            swr_convert(context_.get(), planes.data(), static_cast<int>(capacity - produced), in, inFrames);
        if (converted < 0) {
            Ffmpeg::fail("Conversione della frequenza di campionamento non riuscita", converted);
        }
        produced += static_cast<uint32_t>(converted);
        output.setFrameLength(produced);
    };

    // First whatever an earlier, too small output left inside the resampler. An empty but present input
    // asks for it without flushing (a missing input would end the stream).
    std::vector<const uint8_t*> noInput(from_.channelCount(), nullptr);
    if (swr_get_out_samples(context_.get(), 0) > 0) {
        convertInto(noInput.data(), 0);
    }

    while (produced < capacity) {
        const auto wanted =
            static_cast<uint32_t>(std::ceil((capacity - produced) * from_.sampleRate() / to_.sampleRate()));
        InputStatus status = InputStatus::noDataNow;
        const PcmBuffer* block = input(wanted, status);
        if (status == InputStatus::noDataNow) {
            return OutputStatus::inputRanDry;
        }
        if (status == InputStatus::endOfStream) {
            convertInto(nullptr, 0);
            return OutputStatus::endOfStream;
        }
        if (block == nullptr || !(block->format() == from_)) {
            throw MediaError("Formato di ingresso diverso da quello del convertitore");
        }
        std::vector<const uint8_t*> inPlanes(from_.channelCount());
        for (uint32_t c = 0; c < from_.channelCount(); ++c) {
            inPlanes[c] = reinterpret_cast<const uint8_t*>(block->channel(c));
        }
        convertInto(inPlanes.data(), static_cast<int>(block->frameLength()));
    }
    return OutputStatus::haveData;
}
