#include "MediaTestSupport.h"
#include "Platform/Media/AudioConverter.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

const AudioFormat cdMono = *AudioFormat::standard(44100, 1);
const AudioFormat recordingMono = *AudioFormat::standard(48000, 1);

PcmBuffer block(const std::vector<float>& samples, std::size_t begin, uint32_t count,
                const AudioFormat& format) {
    auto buffer = PcmBuffer::make(format, count);
    buffer->setFrameLength(count);
    std::copy_n(samples.begin() + static_cast<std::ptrdiff_t>(begin), count, buffer->channel(0));
    return std::move(*buffer);
}

// Converts one block the way the track writer does: the block once, then "no data now".
std::vector<float> convertOnce(AudioConverter& converter, const PcmBuffer& input, uint32_t capacity,
                               AudioConverter::OutputStatus* status = nullptr) {
    auto output = PcmBuffer::make(converter.outputFormat(), capacity);
    bool supplied = false;
    const auto result = converter.convert(
        *output, [&](uint32_t, AudioConverter::InputStatus& inputStatus) -> const PcmBuffer* {
            inputStatus =
                supplied ? AudioConverter::InputStatus::noDataNow : AudioConverter::InputStatus::haveData;
            supplied = true;
            return &input;
        });
    if (status != nullptr) {
        *status = result;
    }
    return {output->channel(0), output->channel(0) + output->frameLength()};
}

std::vector<float> convertInBlocks(const std::vector<float>& input, const std::vector<uint32_t>& sizes,
                                   uint32_t capacity) {
    auto converter = AudioConverter::make(cdMono, recordingMono);
    std::vector<float> out;
    std::size_t position = 0;
    for (std::size_t k = 0; position < input.size(); ++k) {
        const auto count =
            static_cast<uint32_t>(std::min<std::size_t>(sizes[k % sizes.size()], input.size() - position));
        const std::vector<float> converted =
            convertOnce(*converter, block(input, position, count, cdMono), capacity);
        out.insert(out.end(), converted.begin(), converted.end());
        position += count;
    }
    return out;
}

} // namespace

TEST(AudioConverterTest, BlockByBlockIsOneContinuousConversion) {
    const std::vector<float> input = sine(44100, 1000, 44100, 0.5f);

    auto whole = AudioConverter::make(cdMono, recordingMono);
    ASSERT_TRUE(whole);
    EXPECT_EQ(whole->inputFormat(), cdMono);
    const std::vector<float> reference = convertOnce(*whole, block(input, 0, 44100, cdMono), 48100);

    const std::vector<float> blocks = convertInBlocks(input, {441, 1000}, 1200);
    // The filter's delay is held back once, not once per block.
    EXPECT_GE(blocks.size(), 48000u - 32);
    EXPECT_LE(blocks.size(), 48000u);
    ASSERT_EQ(blocks.size(), reference.size());
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        ASSERT_NEAR(blocks[i], reference[i], 1e-6) << "sample " << i;
    }

    // Right pitch, no seams: a 1 kHz sinusoid explains the output to within the filter's ripple.
    const ToneFit fit = fitTone(blocks, 1000, blocks.size() - 100, 1000, 48000);
    EXPECT_NEAR(fit.amplitude, 0.5, 0.01);
    EXPECT_LT(fit.maxResidual, 0.005);
}

TEST(AudioConverterTest, AnOutputTooSmallLosesNothing) {
    const std::vector<float> input = sine(8820, 440, 44100, 0.5f);
    const std::vector<float> roomy = convertInBlocks(input, {1000}, 1200);

    // 300 frames of room for 1000-frame blocks: what does not fit waits inside for the next call, and
    // the converter asks for the next block only when it has room.
    std::vector<PcmBuffer> blocks;
    for (std::size_t position = 0; position < input.size(); position += 1000) {
        blocks.push_back(block(input, position,
                               static_cast<uint32_t>(std::min<std::size_t>(1000, input.size() - position)),
                               cdMono));
    }
    auto converter = AudioConverter::make(cdMono, recordingMono);
    std::size_t taken = 0;
    std::vector<float> cramped;
    for (int call = 0; call < 100; ++call) {
        auto output = PcmBuffer::make(recordingMono, 300);
        const auto status = converter->convert(
            *output, [&](uint32_t, AudioConverter::InputStatus& inputStatus) -> const PcmBuffer* {
                if (taken == blocks.size()) {
                    inputStatus = AudioConverter::InputStatus::noDataNow;
                    return nullptr;
                }
                inputStatus = AudioConverter::InputStatus::haveData;
                return &blocks[taken++];
            });
        cramped.insert(cramped.end(), output->channel(0), output->channel(0) + output->frameLength());
        if (status == AudioConverter::OutputStatus::inputRanDry) {
            break;
        }
    }
    EXPECT_EQ(taken, blocks.size());
    EXPECT_EQ(cramped, roomy);
}
