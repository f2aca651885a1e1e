#include "MediaTestSupport.h"
#include "Platform/Media/AudioFile.h"
#include "Platform/Media/Mp4Finalizer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iterator>

namespace {

AudioFileSettings aacSettings() {
    AudioFileSettings settings;
    settings.formatID = AudioFileSettings::formatMPEG4AAC;
    settings.sampleRate = 48000;
    settings.channelCount = 2;
    settings.encoderBitRate = 160000;
    return settings;
}

// Two tones in noise: rich enough for the encoder to use its bit rate, and never alike at two shifts,
// so comparing with the input finds one alignment only.
std::vector<float> programme(std::size_t count, double frequency, uint32_t seed) {
    std::vector<float> out = sine(count, frequency, 48000, 0.2f);
    const std::vector<float> second = sine(count, frequency * 2.71, 48000, 0.1f);
    for (std::size_t i = 0; i < count; ++i) {
        seed = seed * 1664525u + 1013904223u;
        out[i] += second[i] + 0.4f * (static_cast<float>(seed >> 8) / 16777216.0f - 0.5f);
    }
    return out;
}

// Writes the channels in blocks cycling through sizes, none of them a multiple of the AAC frame.
void writeInBlocks(AudioFile& file, const std::vector<std::vector<float>>& channels,
                   const std::vector<uint32_t>& sizes = {441, 1000, 1, 4096, 333}) {
    const std::size_t total = channels.front().size();
    std::size_t position = 0;
    for (std::size_t k = 0; position < total; ++k) {
        const auto count =
            static_cast<uint32_t>(std::min<std::size_t>(sizes[k % sizes.size()], total - position));
        auto buffer = PcmBuffer::make(file.processingFormat(), count);
        ASSERT_TRUE(buffer);
        buffer->setFrameLength(count);
        for (uint32_t c = 0; c < channels.size(); ++c) {
            std::copy_n(channels[c].begin() + static_cast<std::ptrdiff_t>(position), count,
                        buffer->channel(c));
        }
        file.write(*buffer);
        position += count;
    }
}

std::string readBytes(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

} // namespace

class AacFileTest : public ::testing::Test {
protected:
    TemporaryDirectory dir_;
};

TEST_F(AacFileTest, FinishedFileHoldsExactlyTheWrittenSamplesFromTheFirstOn) {
    const std::size_t total = 120007; // 2.5 s and a few frames
    const std::vector<std::vector<float>> input{programme(total, 440, 1), programme(total, 660, 2)};
    const auto path = dir_ / "call.m4a";
    AudioFile file(path, aacSettings());
    EXPECT_EQ(file.processingFormat(), *AudioFormat::standard(48000, 2));
    writeInBlocks(file, input);
    EXPECT_EQ(file.framesWritten(), static_cast<int64_t>(total));
    file.finish();

    EXPECT_FALSE(containsMovieFragments(path)) << "a finished recording is an ordinary MP4";
    const DecodedAudio decoded = decodeAudioFile(path);
    EXPECT_EQ(decoded.codecName, "aac");
    EXPECT_EQ(decoded.sampleRate, 48000);
    EXPECT_EQ(decoded.channelCount, 2);
    EXPECT_GE(decoded.frames(), total);
    EXPECT_LT(decoded.frames(), total + 1024);
    EXPECT_NEAR(decoded.payloadBitRate(), 160000, 16000);

    for (std::size_t c = 0; c < 2; ++c) {
        // No priming in front: the decoded file lines up with the input from its very first frame, and
        // still does at the end.
        EXPECT_EQ(bestLag(input[c], decoded.channels[c], 0, 1024, 1500), 0) << "channel " << c;
        EXPECT_EQ(bestLag(input[c], decoded.channels[c], total - 4096, 4096, 1500), 0) << "channel " << c;
    }
}

TEST_F(AacFileTest, IsPlayableWhileBeingWrittenAndBecomesOrdinaryWhenFinished) {
    const auto path = dir_ / "call.m4a";
    const std::vector<std::vector<float>> input{programme(144000, 440, 3), programme(144000, 550, 4)};
    {
        AudioFile file(path, aacSettings());
        writeInBlocks(file, input, {1024});

        // Three seconds in, the file on disk already holds everything up to the last full fragment.
        EXPECT_TRUE(containsMovieFragments(path));
        const DecodedAudio partial = decodeAudioFile(path);
        EXPECT_EQ(partial.sampleRate, 48000);
        EXPECT_GE(partial.seconds(), 1.9);
        // Released without finish(): the destructor finishes the file.
    }
    EXPECT_FALSE(containsMovieFragments(path));
    const DecodedAudio finished = decodeAudioFile(path);
    EXPECT_GE(finished.frames(), 144000u);
    EXPECT_LT(finished.frames(), 144000u + 1024);
    EXPECT_EQ(bestLag(input[0], finished.channels[0], 0, 1024, 1500), 0);
}

TEST_F(AacFileTest, RefusesWhatItCannotWriteAndWritesNothingAfterFinishing) {
    AudioFileSettings pcm = aacSettings();
    pcm.formatID = AudioFileSettings::formatLinearPCM;
    AudioFileSettings pcm16 = pcm;
    pcm16.bitDepth = 16;
    AudioFileSettings fractional = aacSettings();
    fractional.sampleRate = 44100.5;
    AudioFileSettings noChannels = aacSettings();
    noChannels.channelCount = 0;
    std::filesystem::create_directory(dir_ / "taken.m4a");
    const std::pair<std::string, AudioFileSettings> refused[] = {
        {"a.m4a", pcm},
        {"a.ogg", aacSettings()},
        {"a.wav", aacSettings()},
        {"a.wav", pcm16},
        {"a.m4a", fractional},
        {"a.m4a", noChannels},
        {"missing/a.m4a", aacSettings()},
        {"taken.m4a", aacSettings()},
    };
    for (const auto& [name, settings] : refused) {
        EXPECT_THROW(AudioFile(dir_ / name, settings), MediaError) << name;
    }

    AudioFile file(dir_ / "a.m4a", aacSettings());
    for (const AudioFormat& other : {*AudioFormat::standard(48000, 1), *AudioFormat::standard(44100, 2)}) {
        auto buffer = PcmBuffer::make(other, 16);
        buffer->setFrameLength(16);
        EXPECT_THROW(file.write(*buffer), MediaError);
    }
    EXPECT_EQ(file.framesWritten(), 0);
    auto good = PcmBuffer::make(file.processingFormat(), 16);
    good->setFrameLength(16);
    file.write(*good);
    file.finish();
    file.finish(); // a second finish does nothing
    EXPECT_THROW(file.write(*good), MediaError);
}

TEST_F(AacFileTest, AFailedRewriteLeavesTheRecordingUntouched) {
    // Something the demuxer cannot read.
    const auto garbage = dir_ / "garbage.m4a";
    const std::string content = "not an mp4 at all, but someone's only copy";
    std::ofstream(garbage, std::ios::binary) << content;
    std::string error;
    EXPECT_FALSE(Mp4Finalizer::rewriteAsPlainMp4(garbage, {1024, 1024, 48000, 48}, error));
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(readBytes(garbage), content);

    // A readable fragmented recording that holds fewer packets than the encoder made: the copy would
    // lose some, so it is not made.
    const auto fragmented = dir_ / "fragmented.m4a";
    {
        AudioFile file(dir_ / "source.m4a", aacSettings());
        writeInBlocks(file, {programme(144000, 440, 5), programme(144000, 440, 6)}, {4800});
        std::filesystem::copy_file(file.path(), fragmented);
    }
    const std::string before = readBytes(fragmented);
    error.clear();
    EXPECT_FALSE(Mp4Finalizer::rewriteAsPlainMp4(fragmented, {1024, 1024, 144000, 142}, error));
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(readBytes(fragmented), before);
    EXPECT_GE(decodeAudioFile(fragmented).seconds(), 1.9);

    // No temporary file is left behind.
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"fragmented.m4a", "garbage.m4a", "source.m4a"}));
}
