#include "MediaTestSupport.h"
#include "Platform/Media/AudioFile.h"
#include "Platform/Media/WavWriter.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>

namespace {

AudioFileSettings floatWav(double rate, uint32_t channels) {
    AudioFileSettings settings;
    settings.formatID = AudioFileSettings::formatLinearPCM;
    settings.sampleRate = rate;
    settings.channelCount = channels;
    settings.bitDepth = 32;
    settings.isFloat = true;
    return settings;
}

std::string readBytes(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

uint32_t u32At(const std::string& bytes, std::size_t offset) {
    uint32_t value = 0;
    std::memcpy(&value, bytes.data() + offset, sizeof value);
    return value;
}

uint64_t u64At(const std::string& bytes, std::size_t offset) {
    uint64_t value = 0;
    std::memcpy(&value, bytes.data() + offset, sizeof value);
    return value;
}

} // namespace

TEST(WavFileTest, HeaderDescribesEveryWriteBeforeTheFileIsClosed) {
    TemporaryDirectory dir;
    const auto path = dir / "system.wav";
    AudioFile file(path, floatWav(44100, 2));
    EXPECT_EQ(file.processingFormat(), *AudioFormat::standard(44100, 2));

    const std::vector<float> left = sine(3000, 440, 44100, 0.5f);
    const std::vector<float> right = sine(3000, 1000, 44100, -0.25f);
    std::size_t written = 0;
    for (const uint32_t count : {441u, 1000u, 1559u}) {
        auto buffer = PcmBuffer::make(file.processingFormat(), count);
        buffer->setFrameLength(count);
        std::copy_n(left.begin() + static_cast<std::ptrdiff_t>(written), count, buffer->channel(0));
        std::copy_n(right.begin() + static_cast<std::ptrdiff_t>(written), count, buffer->channel(1));
        file.write(*buffer);
        written += count;

        // Not closed: this is what a reader finds if the process dies now.
        const std::string bytes = readBytes(path);
        ASSERT_EQ(bytes.size(), WavWriter::headerSize + written * 8);
        EXPECT_EQ(bytes.substr(0, 4), "RIFF");
        EXPECT_EQ(u32At(bytes, 4), bytes.size() - 8);
        EXPECT_EQ(u32At(bytes, 90), written * 8) << "data chunk size";
        EXPECT_EQ(u32At(bytes, 82), written) << "fact frame count";

        const DecodedAudio decoded = decodeAudioFile(path);
        EXPECT_EQ(decoded.codecName, "pcm_f32le");
        EXPECT_EQ(decoded.sampleRate, 44100);
        ASSERT_EQ(decoded.frames(), written);
        EXPECT_TRUE(std::equal(decoded.channels[0].begin(), decoded.channels[0].end(), left.begin()));
        EXPECT_TRUE(std::equal(decoded.channels[1].begin(), decoded.channels[1].end(), right.begin()));
    }
    file.finish();
    EXPECT_EQ(decodeAudioFile(path).frames(), written);
}

TEST(WavFileTest, BecomesRf64WhenTheSizesOutgrowThirtyTwoBits) {
    TemporaryDirectory dir;
    const auto path = dir / "mic.wav";
    // A tiny limit stands in for the 4 GiB one.
    WavWriter writer(path, 48000, 1, 1000);
    const std::vector<float> tone = sine(600, 1000, 48000, 0.5f);
    const float* channel = tone.data();
    writer.write(&channel, 200); // 800 bytes of samples: still RIFF
    EXPECT_EQ(readBytes(path).substr(0, 4), "RIFF");

    channel = tone.data() + 200;
    writer.write(&channel, 400); // past the limit
    const std::string bytes = readBytes(path);
    EXPECT_EQ(bytes.substr(0, 4), "RF64");
    EXPECT_EQ(bytes.substr(12, 4), "ds64");
    EXPECT_EQ(u64At(bytes, 20), bytes.size() - 8) << "RIFF size";
    EXPECT_EQ(u64At(bytes, 28), 600u * 4) << "data size";
    EXPECT_EQ(u64At(bytes, 36), 600u) << "frames";
    EXPECT_EQ(u32At(bytes, 90), 0xFFFFFFFFu);

    const DecodedAudio decoded = decodeAudioFile(path);
    ASSERT_EQ(decoded.frames(), 600u);
    EXPECT_TRUE(std::equal(tone.begin(), tone.end(), decoded.channels[0].begin()));
    writer.finish();
}
