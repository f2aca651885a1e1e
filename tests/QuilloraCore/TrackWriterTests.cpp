#include "MediaTestSupport.h"
#include "QuilloraCore/CoreAudioHelpers.h"
#include "QuilloraCore/TrackWriter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

using Channels = Mixer::Channels;

// A block of `frames` frames cut from whole-signal channels at `position`.
Channels slice(const Channels& channels, std::size_t position, std::size_t frames) {
    Channels out;
    for (const auto& channel : channels) {
        out.emplace_back(channel.begin() + static_cast<std::ptrdiff_t>(position),
                         channel.begin() + static_cast<std::ptrdiff_t>(position + frames));
    }
    return out;
}

// Feeds whole signals to the writer in blocks cycling through sizes; returns the frames written.
std::size_t writeInBlocks(TrackWriter& writer, const Channels& mic, const Channels& system, double rate,
                          const std::vector<std::size_t>& sizes) {
    const std::size_t total = !mic.empty() ? mic.front().size() : system.front().size();
    std::size_t position = 0;
    for (std::size_t k = 0; position < total; ++k) {
        const std::size_t frames = std::min(sizes[k % sizes.size()], total - position);
        writer.write(slice(mic, position, frames), slice(system, position, frames), static_cast<int>(frames),
                     rate);
        position += frames;
    }
    return total;
}

// A tone in noise: the tone can be measured, the noise makes every alignment but the right one differ.
std::vector<float> toneInNoise(std::size_t count, double frequency, float amplitude, float noise) {
    std::vector<float> out = sine(count, frequency, 48000, amplitude);
    uint32_t seed = 12345;
    for (float& x : out) {
        seed = seed * 1664525u + 1013904223u;
        x += noise * (static_cast<float>(seed >> 8) / 16777216.0f - 0.5f);
    }
    return out;
}

class TrackWriterTest : public ::testing::Test {
protected:
    TemporaryDirectory dir_;
    std::shared_ptr<LevelMeter> meter_ = std::make_shared<LevelMeter>();
};

} // namespace

TEST_F(TrackWriterTest, RecordsTheCallOnItsSidesAndTheVoiceInTheCentre) {
    const std::size_t total = 96000;
    // Far end: 1 kHz on the left only. Voice: 300 Hz in noise; with the far end talking the leveler
    // stays at unity, so the right channel is the voice exactly as captured.
    const Channels system{sine(total, 1000, 48000, 0.4f), std::vector<float>(total, 0.0f)};
    const Channels mic{toneInNoise(total, 300, 0.14f, 0.2f)};
    const auto path = dir_ / "Chiamata.m4a";
    {
        TrackWriter writer(path, std::nullopt, meter_);
        writeInBlocks(writer, mic, system, 48000, {1024, 480, 999});
        EXPECT_NEAR(writer.stats().seconds, 2.0, 1e-9);
        EXPECT_TRUE(writer.stats().hadMicrophone);
        // The loudest block of the voice: a little above its overall RMS.
        const double voiceRMS = std::sqrt(0.14 * 0.14 / 2 + 0.2 * 0.2 / 12);
        EXPECT_GT(writer.stats().micPeakRMS, voiceRMS);
        EXPECT_LT(writer.stats().micPeakRMS, voiceRMS * 1.1);
        EXPECT_NEAR(writer.stats().systemPeakRMS, 0.4 / std::sqrt(2.0), 0.002);
    }
    const DecodedAudio decoded = decodeAudioFile(path);
    EXPECT_EQ(decoded.channelCount, 2);
    EXPECT_GE(decoded.frames(), total);
    EXPECT_LT(decoded.frames(), total + 1024);

    const auto& left = decoded.channels[0];
    const auto& right = decoded.channels[1];
    const std::size_t from = 4800;
    const std::size_t to = total - 4800;
    EXPECT_NEAR(fitTone(left, from, to, 1000, 48000).amplitude, 0.4, 0.02);
    EXPECT_LT(fitTone(right, from, to, 1000, 48000).amplitude, 0.004) << "the call's left stays on the left";
    const double voiceLeft = fitTone(left, from, to, 300, 48000).amplitude;
    const double voiceRight = fitTone(right, from, to, 300, 48000).amplitude;
    EXPECT_NEAR(voiceLeft, 0.14, 0.02);
    EXPECT_NEAR(20 * std::log10(voiceLeft / voiceRight), 0, 0.2) << "the voice sits in the centre";

    // No priming offset: the right channel is the voice alone, and it lines up with the input from the
    // first frame on.
    EXPECT_EQ(bestLag(mic[0], right, 0, 1024, 1500), 0);
}

TEST_F(TrackWriterTest, ConvertsOtherRatesTo48kHzWithoutSeams) {
    // One continuous 1 kHz tone whose capture rate changes on the way, as when the graph switches rate
    // mid-call: 48 kHz, 44.1 kHz in awkward block sizes, 48 kHz again, then 16 kHz; half a second each.
    struct Stretch {
        double rate;
        std::vector<std::size_t> blocks;
    };
    const std::vector<Stretch> stretches = {
        {48000, {1024}}, {44100, {441, 1000}}, {48000, {960}}, {16000, {160, 333}}};
    const auto path = dir_ / "converted.m4a";
    {
        TrackWriter writer(path, std::nullopt, meter_);
        double seconds = 0;
        for (const Stretch& stretch : stretches) {
            const auto frames = static_cast<std::size_t>(stretch.rate / 2);
            // The phase carries on where the previous stretch ended.
            const auto offset = static_cast<std::size_t>(std::lround(seconds * stretch.rate));
            writeInBlocks(writer, {}, {sine(frames, 1000, stretch.rate, 0.5f, offset)}, stretch.rate,
                          stretch.blocks);
            seconds += 0.5;
        }
        EXPECT_NEAR(writer.stats().seconds, 2.0, 1e-9);
    }
    const DecodedAudio decoded = decodeAudioFile(path);
    EXPECT_EQ(decoded.sampleRate, 48000);
    // Every frame once (what a converter held back comes out before the next rate), padded to an AAC frame.
    EXPECT_GE(decoded.frames(), 96000u);
    EXPECT_LT(decoded.frames(), 96000u + 1024);

    // The right pitch and no lost or repeated frame at the switches: one 1 kHz sinusoid explains the file to
    // within the codec's noise (a lost frame leaves ~0.06); the 16 kHz converter's start deviates a little.
    const ToneFit whole = fitTone(decoded.channels[0], 2000, 94000, 1000, 48000);
    EXPECT_NEAR(whole.amplitude, 0.5, 0.02);
    EXPECT_LT(whole.residualRms, 0.003);
    EXPECT_LT(whole.maxResidual, 0.05);
    EXPECT_LT(fitTone(decoded.channels[0], 2000, 70000, 1000, 48000).maxResidual, 0.005);
}

TEST_F(TrackWriterTest, DebugTracksHoldTheRawSignalsAtTheFirstBlocksRate) {
    const auto path = dir_ / "rec.m4a";
    const auto debug = dir_ / "debug" / "tracks";
    const std::size_t frames = 480;
    const Channels mic{sine(frames, 300, 48000, 0.2f), sine(frames, 300, 48000, 0.1f)};
    const Channels system{sine(frames, 1000, 48000, 0.3f), sine(frames, 700, 48000, 0.25f)};
    {
        TrackWriter writer(path, debug, meter_);
        EXPECT_TRUE(std::filesystem::is_directory(debug));
        EXPECT_FALSE(std::filesystem::exists(debug / "mic.wav"));
        writer.write(mic, system, static_cast<int>(frames), 48000);
        EXPECT_TRUE(std::filesystem::exists(debug / "mic.wav"));
        EXPECT_TRUE(std::filesystem::exists(debug / "system.wav"));
        writer.write({}, system, static_cast<int>(frames), 48000); // no mic: silence on the voice track
        // Another rate goes to the recording only.
        writer.write(mic, system, 441, 44100);
        // A block announcing more frames than its channels hold is padded with silence.
        writer.write({std::vector<float>(100, 0.25f)}, {std::vector<float>(50, 0.5f), {}},
                     static_cast<int>(frames), 48000);
    }
    const DecodedAudio voice = decodeAudioFile(debug / "mic.wav");
    const DecodedAudio call = decodeAudioFile(debug / "system.wav");
    EXPECT_EQ(voice.sampleRate, 48000);
    EXPECT_EQ(voice.channelCount, 1);
    EXPECT_EQ(call.channelCount, 2);
    ASSERT_EQ(voice.frames(), 3 * frames);
    ASSERT_EQ(call.frames(), 3 * frames);
    for (std::size_t i = 0; i < frames; ++i) {
        // The voice before leveling (the mono downmix), the call before mixing and limiting.
        ASSERT_FLOAT_EQ(voice.channels[0][i], mic[0][i] * 0.5f + mic[1][i] * 0.5f) << i;
        ASSERT_EQ(voice.channels[0][frames + i], 0.0f) << i;
        ASSERT_EQ(call.channels[0][i], system[0][i]) << i;
        ASSERT_EQ(call.channels[1][frames + i], system[1][i]) << i;
        ASSERT_EQ(voice.channels[0][2 * frames + i], i < 100 ? 0.25f : 0.0f) << i;
        ASSERT_EQ(call.channels[0][2 * frames + i], i < 50 ? 0.5f : 0.0f) << i;
        ASSERT_EQ(call.channels[1][2 * frames + i], 0.0f) << i;
    }
    EXPECT_GT(decodeAudioFile(path).frames(), 3 * frames + 441);
}

TEST_F(TrackWriterTest, BlocksWithoutMicOrWithoutCallAndEmptyOnesThatAreIgnored) {
    const Channels tone{sine(960, 440, 48000, 0.3f)};
    const auto debug = dir_ / "debug";
    const auto path = dir_ / "sides.m4a";
    {
        TrackWriter writer(path, debug, meter_);
        for (const auto& [frames, rate] :
             {std::pair{0, 48000.0}, {-480, 48000.0}, {480, 0.0}, {480, -48000.0}}) {
            writer.write(tone, tone, frames, rate);
        }
        EXPECT_EQ(writer.stats(), CallRecorder::Stats{});
        EXPECT_EQ(meter_->levels().mic, 0.0f);
        EXPECT_EQ(meter_->levels().system, 0.0f);
        EXPECT_FALSE(std::filesystem::exists(debug / "mic.wav"));

        writer.write({}, tone, 960, 48000); // call only
        EXPECT_FALSE(writer.stats().hadMicrophone);
        EXPECT_EQ(writer.stats().micPeakRMS, 0.0f);
        EXPECT_FLOAT_EQ(writer.stats().systemPeakRMS, Mixer::rms(tone[0]));
        EXPECT_EQ(meter_->levels().mic, 0.0f);

        writer.write(tone, {}, 960, 48000); // voice only
        EXPECT_TRUE(writer.stats().hadMicrophone);
        EXPECT_FLOAT_EQ(writer.stats().micPeakRMS, Mixer::rms(tone[0]));
        const float voiceLevel = meter_->levels().mic;
        EXPECT_GT(voiceLevel, 0.0f);

        writer.write({}, tone, 960, 48000); // without a microphone the voice level falls
        EXPECT_LT(meter_->levels().mic, voiceLevel);
        EXPECT_GT(meter_->levels().mic, 0.0f);
        EXPECT_NEAR(writer.stats().seconds, 0.06, 1e-12);
    }
    EXPECT_EQ(decodeAudioFile(debug / "mic.wav").frames(), 3 * 960u) << "nothing of the ignored blocks";
}

TEST_F(TrackWriterTest, ABlockThatCannotBePreparedThrowsAndTheWriterCarriesOn) {
    const auto path = dir_ / "carry-on.m4a";
    const Channels tone{sine(480, 440, 48000, 0.3f)};
    {
        TrackWriter writer(path, std::nullopt, meter_);
        try {
            writer.write(tone, tone, 441, 44100.5); // no converter takes a fractional rate
            FAIL() << "converted a fractional rate";
        } catch (const CoreAudioError& error) {
            EXPECT_EQ(error.operation(), "Conversione della frequenza di campionamento");
        }
        try {
            writer.write(tone, tone, 480, std::numeric_limits<double>::infinity());
            FAIL() << "made a buffer at an infinite rate";
        } catch (const CoreAudioError& error) {
            EXPECT_EQ(error.operation(), "Preparazione del buffer audio");
        }
        // The failed blocks were measured before they failed.
        EXPECT_DOUBLE_EQ(writer.stats().seconds, 441 / 44100.5);
        EXPECT_TRUE(writer.stats().hadMicrophone);
        EXPECT_GT(meter_->levels().system, 0.0f);

        writer.write(tone, tone, 480, 48000);
        EXPECT_DOUBLE_EQ(writer.stats().seconds, 441 / 44100.5 + 0.01);
    }
    const DecodedAudio decoded = decodeAudioFile(path);
    EXPECT_GE(decoded.frames(), 480u);
    EXPECT_LT(decoded.frames(), 480u + 1024);
}
