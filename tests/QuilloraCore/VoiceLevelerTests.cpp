#include "QuilloraCore/VoiceLeveler.h"

#include "QuilloraCore/Mixer.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

constexpr double rate = 48000;

// A square wave of the given RMS: alternating +level and -level.
std::vector<float> block(float level, std::size_t frames = 480) {
    std::vector<float> samples(frames);
    for (std::size_t i = 0; i < frames; ++i) {
        samples[i] = i % 2 == 0 ? level : -level;
    }
    return samples;
}

// Feeds blocks of 10 ms for the given time.
void feed(VoiceLeveler& leveler, float level, float systemRMS, double seconds) {
    const int blocks = static_cast<int>(std::lround(seconds / 0.01));
    for (int i = 0; i < blocks; ++i) {
        leveler.process(block(level), systemRMS, rate);
    }
}

} // namespace

TEST(VoiceLeveler, quietSpeechRisesTowardTheTargetWithTwoTenthsOfASecond) {
    VoiceLeveler leveler;
    EXPECT_EQ(leveler.gain(), 1.0f);
    feed(leveler, 0.01f, 0, 0.2);
    // One time constant: 1 + 9 (1 - 0.95^20), about 6.8 (the continuous curve gives 6.7).
    EXPECT_NEAR(leveler.gain(), 6.77f, 0.1f);
    feed(leveler, 0.01f, 0, 2.0);
    EXPECT_NEAR(leveler.gain(), 10.0f, 0.01f);
}

TEST(VoiceLeveler, gainRampsAcrossTheBlockAndEndsOnTheNewGain) {
    VoiceLeveler leveler;
    const std::vector<float> in = block(0.01f);
    const std::vector<float> out = leveler.process(in, 0, rate);
    ASSERT_EQ(out.size(), in.size());
    const float g1 = leveler.gain();
    ASSERT_GT(g1, 1.0f);
    const float step = (g1 - 1.0f) / 480.0f;
    EXPECT_NEAR(out.front() / in.front(), 1.0f + step, 1e-6f);
    EXPECT_NEAR(out.back() / in.back(), g1, 1e-4f); // 480 additions of rounding
    for (std::size_t i = 1; i < out.size(); ++i) {
        ASSERT_GT(out[i] / in[i], out[i - 1] / in[i - 1]) << i;
    }
    // The next block starts where this one ended: no jump at the boundary.
    const std::vector<float> next = leveler.process(in, 0, rate);
    EXPECT_GT(next.front() / in.front(), g1);
    EXPECT_NEAR(next.front() / in.front(), g1, 0.01f);
}

TEST(VoiceLeveler, veryQuietSpeechIsCappedAtTheMaximumGain) {
    VoiceLeveler leveler;
    float previous = leveler.gain();
    for (int i = 0; i < 500; ++i) { // 5 s at 0.004: it asks for 25
        leveler.process(block(0.004f), 0, rate);
        ASSERT_LE(leveler.gain(), 16.0f);
        ASSERT_GE(leveler.gain(), previous);
        previous = leveler.gain();
    }
    EXPECT_NEAR(leveler.gain(), 16.0f, 0.01f);
}

TEST(VoiceLeveler, loudSpeechIsNeverAttenuated) {
    // The smoothed speech level starts low, so loud speech is lifted briefly; once the level has caught
    // up the leveler asks for less than unity and settles on unity, never below.
    VoiceLeveler leveler;
    const std::vector<float> in = block(0.3f);
    for (int i = 0; i < 500; ++i) {
        leveler.process(in, 0, rate);
        ASSERT_GE(leveler.gain(), 1.0f) << i;
    }
    EXPECT_NEAR(leveler.gain(), 1.0f, 1e-6f);
    const std::vector<float> out = leveler.process(in, 0, rate);
    EXPECT_NEAR(out.back(), in.back(), 1e-6f);
}

TEST(VoiceLeveler, farEndDropsTheGainWithinOneBlockAndHoldsItFor300ms) {
    VoiceLeveler leveler;
    feed(leveler, 0.01f, 0, 2.0);
    ASSERT_GT(leveler.gain(), 9.0f);

    leveler.process(block(0.01f, 1024), 0.05f, rate); // 21 ms with the far end talking
    EXPECT_EQ(leveler.gain(), 1.0f);

    // The far end falls quiet while the user keeps talking: unity for the hold time, then boosting again.
    feed(leveler, 0.01f, 0.005f, 0.28);
    EXPECT_EQ(leveler.gain(), 1.0f);
    feed(leveler, 0.01f, 0.005f, 0.05);
    EXPECT_GT(leveler.gain(), 1.0f);
}

TEST(VoiceLeveler, farEndAtTheThresholdDoesNotCountAsActive) {
    VoiceLeveler leveler;
    feed(leveler, 0.01f, 0.01f, 0.1);
    EXPECT_GT(leveler.gain(), 1.0f);
}

TEST(VoiceLeveler, silenceRelaxesTheGainSlowly) {
    VoiceLeveler leveler;
    feed(leveler, 0.01f, 0, 2.0);
    const float boosted = leveler.gain();

    const std::vector<float> out = leveler.process(std::vector<float>(480, 0.0f), 0, rate);
    EXPECT_EQ(out, std::vector<float>(480, 0.0f));
    EXPECT_LT(leveler.gain(), boosted);
    EXPECT_GT(leveler.gain(), boosted - 0.1f);

    feed(leveler, 0, 0, 1.49); // τ = 1.5 s: about 1 + 9/e after one time constant
    EXPECT_NEAR(leveler.gain(), 1.0f + (boosted - 1.0f) * std::exp(-1.0f), 0.15f);
}

TEST(VoiceLeveler, zeroBlockDropsTheNoiseFloorSoFaintSpeechCounts) {
    // 0.0005 is below three times the initial floor of 0.0002: not voice, no boost.
    VoiceLeveler fresh;
    fresh.process(block(0.0005f), 0, rate);
    EXPECT_EQ(fresh.gain(), 1.0f);

    // After silence the floor is at its minimum and the same block is speech.
    VoiceLeveler afterSilence;
    afterSilence.process(std::vector<float>(480, 0.0f), 0, rate);
    EXPECT_EQ(afterSilence.gain(), 1.0f);
    afterSilence.process(block(0.0005f), 0, rate);
    EXPECT_GT(afterSilence.gain(), 1.0f);
}

TEST(VoiceLeveler, invalidBlocksPassThroughAndLeaveTheStateAlone) {
    VoiceLeveler touched;
    VoiceLeveler reference;
    feed(touched, 0.01f, 0, 0.1);
    feed(reference, 0.01f, 0, 0.1);

    const std::vector<float> in = block(0.02f);
    EXPECT_EQ(touched.process(in, 0.5f, 0), in);
    EXPECT_EQ(touched.process(in, 0.5f, -48000), in);
    EXPECT_EQ(touched.process(in, 0.5f, std::nan("")), in);
    EXPECT_TRUE(touched.process({}, 0.5f, rate).empty());

    // Had any of those changed the floor, the hold or the speech level, the next blocks would differ.
    for (int i = 0; i < 50; ++i) {
        const float system = i < 10 ? 0.0f : 0.02f;
        ASSERT_EQ(touched.process(in, system, rate), reference.process(in, system, rate)) << i;
    }
    EXPECT_EQ(touched.gain(), reference.gain());
}

TEST(VoiceLeveler, writersShortcutMatchesTheOrdinaryPathExactly) {
    // The writer hands in the block's RMS and takes the levelled RMS back; the gain and every sample must
    // come out as the ordinary call gives them, through ramps, steady stretches and the far end.
    VoiceLeveler ordinary;
    VoiceLeveler shortcut;
    for (int block = 0; block < 200; ++block) {
        std::vector<float> samples(480);
        const float amplitude = (block / 20) % 2 == 0 ? 0.01f : 0.0002f;
        for (std::size_t i = 0; i < samples.size(); ++i) {
            samples[i] = amplitude * std::sin(0.05f * static_cast<float>(block * 480 + static_cast<int>(i)));
        }
        const float far = block % 50 < 5 ? 0.2f : 0.0f;
        const std::vector<float> expected = ordinary.process(samples, far, 48000);
        float levelledRMS = -1;
        const std::vector<float> actual =
            shortcut.process(samples, Mixer::rms(samples), far, 48000, &levelledRMS);
        ASSERT_EQ(actual, expected) << "block " << block;
        ASSERT_EQ(levelledRMS, Mixer::rms(expected)) << "block " << block;
        ASSERT_EQ(shortcut.gain(), ordinary.gain());
    }
}

TEST(LevelMeter, displayMapsFiftyDecibelsOntoTheBar) {
    EXPECT_FLOAT_EQ(LevelMeter::displayLevel(1.0f), 1.0f);
    EXPECT_FLOAT_EQ(LevelMeter::displayLevel(0.1f), 0.6f);
    EXPECT_FLOAT_EQ(LevelMeter::displayLevel(0.01f), 0.2f);
    EXPECT_EQ(LevelMeter::displayLevel(0.001f), 0.0f);
    EXPECT_EQ(LevelMeter::displayLevel(0.0001f), 0.0f);
    EXPECT_EQ(LevelMeter::displayLevel(4.0f), 1.0f);
    EXPECT_EQ(LevelMeter::displayLevel(0.0f), 0.0f);
    EXPECT_EQ(LevelMeter::displayLevel(-0.5f), 0.0f);
    EXPECT_EQ(LevelMeter::displayLevel(std::nanf("")), 0.0f);
}

TEST(LevelMeter, levelsDecayPerBlockAndFollowPeaks) {
    LevelMeter meter;
    EXPECT_EQ(meter.levels().mic, 0.0f);
    EXPECT_EQ(meter.levels().system, 0.0f);
    EXPECT_EQ(meter.micGain(), 1.0f);

    meter.update(0.1f, 1.0f, 4.0f);
    EXPECT_FLOAT_EQ(meter.levels().mic, 0.6f);
    EXPECT_FLOAT_EQ(meter.levels().system, 1.0f);
    EXPECT_EQ(meter.micGain(), 4.0f);

    meter.update(0.0f, 0.01f, 2.0f); // both fall by 0.85; the call's new block is lower still
    EXPECT_FLOAT_EQ(meter.levels().mic, LevelMeter::displayLevel(0.085f));
    EXPECT_FLOAT_EQ(meter.levels().system, LevelMeter::displayLevel(0.85f));
    EXPECT_EQ(meter.micGain(), 2.0f);

    meter.update(0.5f, 0.0f, 2.0f); // a louder block replaces the decayed value
    EXPECT_FLOAT_EQ(meter.levels().mic, LevelMeter::displayLevel(0.5f));
    // Reading does not reset anything.
    EXPECT_EQ(meter.levels().mic, meter.levels().mic);
}
