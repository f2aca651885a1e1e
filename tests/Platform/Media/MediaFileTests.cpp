// Platform/Media on the real FFmpeg resampler, encoder and muxers: what lands on disk, decoded again.
#include "MediaTestSupport.h"
#include "Platform/Media/AudioConverter.h"
#include "Platform/Media/AudioFile.h"
#include "Platform/Media/Mp4Finalizer.h"
#include "Platform/Media/WavWriter.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>

namespace {

std::string readBytes(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

template <class T>
T at(const std::string& bytes, std::size_t offset) {
    T value = 0;
    std::memcpy(&value, bytes.data() + offset, sizeof value);
    return value;
}

// The frames [position, position + count) of whole-signal channels, in a buffer of `format`.
PcmBuffer slice(const std::vector<std::vector<float>>& channels, std::size_t position, uint32_t count,
                const AudioFormat& format) {
    auto buffer = PcmBuffer::make(format, count);
    buffer->setFrameLength(count);
    for (uint32_t c = 0; c < channels.size(); ++c) {
        std::copy_n(channels[c].begin() + static_cast<std::ptrdiff_t>(position), count, buffer->channel(c));
    }
    return std::move(*buffer);
}

// Writes the channels in blocks cycling through sizes, none of them a multiple of the AAC frame.
void writeInBlocks(AudioFile& file, const std::vector<std::vector<float>>& channels,
                   const std::vector<uint32_t>& sizes = {441, 1000, 1, 4096, 333}) {
    const std::size_t total = channels.front().size();
    for (std::size_t k = 0, position = 0; position < total; position += sizes[k++ % sizes.size()]) {
        const auto count =
            static_cast<uint32_t>(std::min<std::size_t>(sizes[k % sizes.size()], total - position));
        file.write(slice(channels, position, count, file.processingFormat()));
    }
}

// Two tones in noise: the encoder uses its bit rate, and the signal is alike at one alignment only.
std::vector<float> programme(std::size_t count, double frequency, uint32_t seed) {
    std::vector<float> out = sine(count, frequency, 48000, 0.2f);
    const std::vector<float> second = sine(count, frequency * 2.71, 48000, 0.1f);
    for (std::size_t i = 0; i < count; ++i) {
        seed = seed * 1664525u + 1013904223u;
        out[i] += second[i] + 0.4f * (static_cast<float>(seed >> 8) / 16777216.0f - 0.5f);
    }
    return out;
}

AudioFileSettings settings(uint32_t format, double rate = 48000, uint32_t channels = 2, uint32_t bits = 32) {
    return {format, rate, channels, 160000, bits, true};
}
const AudioFileSettings aac = settings(AudioFileSettings::formatMPEG4AAC);

class MediaFileTest : public ::testing::Test {
protected:
    TemporaryDirectory dir_;
};

} // namespace

TEST_F(MediaFileTest, ConversionInBlocksIntoTooLittleRoomIsOneContinuousConversion) {
    const AudioFormat cd = *AudioFormat::standard(44100, 1), recording = *AudioFormat::standard(48000, 1);
    // The blocks into outputs of `room` frames until the input runs dry (what does not fit waits inside).
    const auto convert = [&](const std::vector<PcmBuffer>& blocks, uint32_t room) {
        auto converter = AudioConverter::make(cd, recording);
        std::size_t taken = 0;
        std::vector<float> out;
        auto status = AudioConverter::OutputStatus::haveData;
        for (int call = 0; call < 1000 && status != AudioConverter::OutputStatus::inputRanDry; ++call) {
            auto output = PcmBuffer::make(recording, room);
            status = converter->convert(*output, [&](uint32_t, AudioConverter::InputStatus& inputStatus) {
                const bool more = taken < blocks.size();
                inputStatus =
                    more ? AudioConverter::InputStatus::haveData : AudioConverter::InputStatus::noDataNow;
                return more ? &blocks[taken++] : nullptr;
            });
            out.insert(out.end(), output->channel(0), output->channel(0) + output->frameLength());
        }
        EXPECT_EQ(taken, blocks.size());
        return out;
    };
    const std::vector<std::vector<float>> input{sine(44100, 1000, 44100, 0.5f)};
    std::vector<PcmBuffer> whole, blocks;
    whole.push_back(slice(input, 0, 44100, cd));
    for (std::size_t position = 0, k = 0; position < 44100; position += blocks.back().frameLength(), ++k) {
        blocks.push_back(
            slice(input, position, std::min<uint32_t>(k % 2 ? 1000 : 441, 44100 - position), cd));
    }
    const std::vector<float> reference = convert(whole, 48100);
    EXPECT_TRUE(reference.size() >= 48000u - 32 && reference.size() <= 48000u) << "the delay held back once";
    const std::vector<float> cramped = convert(blocks, 300);
    EXPECT_TRUE(
        std::ranges::equal(cramped, reference, [](float a, float b) { return std::abs(a - b) < 1e-6; }));
}

TEST_F(MediaFileTest, AacIsPlayableWhileWrittenAndFinishedHoldsExactlyTheWrittenSamplesFromTheFirstOn) {
    const std::size_t total = 144007; // 3 s and a few frames
    const std::vector<std::vector<float>> input{programme(total, 440, 1), programme(total, 660, 2)};
    const auto path = dir_ / "call.m4a";
    {
        AudioFile file(path, aac);
        writeInBlocks(file, input);
        // Three seconds in, the file on disk already holds everything up to the last full fragment.
        EXPECT_TRUE(containsMovieFragments(path) && decodeAudioFile(path).seconds() >= 1.9);
    } // released without finish(): the destructor finishes the file
    EXPECT_FALSE(containsMovieFragments(path)) << "a finished recording is an ordinary MP4";
    const DecodedAudio decoded = decodeAudioFile(path);
    EXPECT_TRUE(decoded.codecName == "aac" && decoded.sampleRate == 48000 && decoded.channelCount == 2);
    EXPECT_LT(decoded.frames() - total, 1024u) << "all of it, and one frame's padding at most";
    EXPECT_NEAR(decoded.payloadBitRate(), 160000, 16000);
    for (std::size_t c = 0; c < 2; ++c) { // no priming: lined up from the first frame to the last
        EXPECT_EQ(bestLag(input[c], decoded.channels[c], 0, 1024, 1500), 0) << "channel " << c;
        EXPECT_EQ(bestLag(input[c], decoded.channels[c], total - 4096, 4096, 1500), 0) << "channel " << c;
    }
}

TEST_F(MediaFileTest, RefusesWhatItCannotWriteAndWritesNothingAfterFinishing) {
    std::filesystem::create_directory(dir_ / "taken.m4a");
    const std::pair<std::string, AudioFileSettings> refused[] = {
        {"pcm.m4a", settings(AudioFileSettings::formatLinearPCM)},
        {"a.ogg", aac},
        {"aac.wav", aac},
        {"16-bit.wav", settings(AudioFileSettings::formatLinearPCM, 48000, 2, 16)},
        {"fractional.m4a", settings(AudioFileSettings::formatMPEG4AAC, 44100.5)},
        {"no-channels.m4a", settings(AudioFileSettings::formatMPEG4AAC, 48000, 0)},
        {"missing/a.m4a", aac},
        {"taken.m4a", aac},
    };
    for (const auto& [name, refusedSettings] : refused) {
        EXPECT_THROW(AudioFile(dir_ / name, refusedSettings), MediaError) << name;
    }

    AudioFile file(dir_ / "a.m4a", aac);
    const auto silence = [](const AudioFormat& format) {
        return slice(std::vector(format.channelCount(), std::vector<float>(16)), 0, 16, format);
    };
    EXPECT_THROW(file.write(silence(*AudioFormat::standard(48000, 1))), MediaError);
    EXPECT_THROW(file.write(silence(*AudioFormat::standard(44100, 2))), MediaError);
    EXPECT_EQ(file.framesWritten(), 0);
    file.write(silence(file.processingFormat()));
    file.finish();
    file.finish(); // a second finish does nothing
    EXPECT_THROW(file.write(silence(file.processingFormat())), MediaError);
}

TEST_F(MediaFileTest, AFailedRewriteLeavesTheRecordingUntouchedAndNoTemporaryFile) {
    // Unreadable, and a fragmented recording holding fewer packets than the encoder made (the copy loses
    // some).
    const auto garbage = dir_ / "garbage.m4a";
    std::ofstream(garbage, std::ios::binary) << "not an mp4 at all, but someone's only copy";
    const auto fragmented = dir_ / "fragmented.m4a";
    {
        AudioFile file(dir_ / "source.m4a", aac);
        writeInBlocks(file, {programme(144000, 440, 5), programme(144000, 440, 6)}, {4800});
        std::filesystem::copy_file(file.path(), fragmented);
    }
    for (const auto& [path, packets] : {std::pair{garbage, 48}, {fragmented, 142}}) {
        const std::string before = readBytes(path);
        std::string error;
        EXPECT_FALSE(Mp4Finalizer::rewriteAsPlainMp4(path, {1024, 1024, 144000, packets}, error)) << path;
        EXPECT_FALSE(error.empty());
        EXPECT_EQ(readBytes(path), before);
    }
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_.path()), {}), 3) << "no temporary file";
}

TEST_F(MediaFileTest, WavHeaderDescribesEveryWriteBeforeTheFileIsClosedAndBecomesRf64PastThirtyTwoBits) {
    const auto path = dir_ / "system.wav";
    WavWriter writer(path, 44100, 2, 20000); // a limit of 20,000 bytes stands in for the 4 GiB one
    const std::vector<std::vector<float>> input{sine(3000, 440, 44100, 0.5f),
                                                sine(3000, 1000, 44100, -0.25f)};
    std::size_t written = 0;
    for (const uint32_t count : {441u, 1000u, 1559u}) {
        const float* channels[] = {input[0].data() + written, input[1].data() + written};
        writer.write(channels, count);
        written += count;
        // Not closed: this is what a reader finds if the process dies now.
        const std::string bytes = readBytes(path);
        ASSERT_EQ(bytes.size(), WavWriter::headerSize + written * 8);
        if (written * 8 < 20000) {
            EXPECT_EQ(bytes.substr(0, 4), "RIFF");
            EXPECT_EQ(at<uint32_t>(bytes, 4), bytes.size() - 8);
            EXPECT_EQ(at<uint32_t>(bytes, 90), written * 8) << "data chunk size";
            EXPECT_EQ(at<uint32_t>(bytes, 82), written) << "fact frame count";
        } else {
            EXPECT_EQ(bytes.substr(0, 4) + bytes.substr(12, 4), "RF64ds64");
            EXPECT_EQ(at<uint64_t>(bytes, 20), bytes.size() - 8) << "RIFF size";
            EXPECT_EQ(at<uint64_t>(bytes, 28), written * 8) << "data size";
            EXPECT_EQ(at<uint64_t>(bytes, 36), written) << "frames";
            EXPECT_EQ(at<uint32_t>(bytes, 90), 0xFFFFFFFFu);
        }
        const DecodedAudio decoded = decodeAudioFile(path);
        EXPECT_EQ(decoded.sampleRate, 44100);
        const auto end = static_cast<std::ptrdiff_t>(written);
        EXPECT_TRUE((decoded.channels == decltype(input){{input[0].begin(), input[0].begin() + end},
                                                         {input[1].begin(), input[1].begin() + end}}));
    }
}
