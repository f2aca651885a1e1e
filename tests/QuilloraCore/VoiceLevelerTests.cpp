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
    for (long i = 0; i < std::lround(seconds / 0.01); ++i) {
        leveler.process(block(level), systemRMS, rate);
    }
}

TEST(VoiceLeveler, quietSpeechRisesTowardTheTargetWithinAboutTwoTenthsOfASecond) {
    VoiceLeveler leveler;
    EXPECT_EQ(leveler.gain(), 1.0f);
    feed(leveler, 0.01f, 0, 0.2);
    EXPECT_NEAR(leveler.gain(), 6.8f, 0.3f); // one time constant toward 10
    feed(leveler, 0.01f, 0, 2.0);
    EXPECT_NEAR(leveler.gain(), 10.0f, 0.01f);

    // Very quiet speech would ask for 25: the gain rises steadily and stops at 16.
    VoiceLeveler quiet;
    float previous = quiet.gain();
    for (int i = 0; i < 500; ++i) {
        quiet.process(block(0.004f), 0, rate);
        ASSERT_LE(quiet.gain(), 16.0f);
        ASSERT_GE(quiet.gain(), previous);
        previous = quiet.gain();
    }
    EXPECT_NEAR(quiet.gain(), 16.0f, 0.01f);

    // Loud speech is lifted briefly while the level catches up, and never attenuated.
    VoiceLeveler loud;
    for (int i = 0; i < 500; ++i) {
        loud.process(block(0.3f), 0, rate);
        ASSERT_GE(loud.gain(), 1.0f) << i;
    }
    EXPECT_NEAR(loud.gain(), 1.0f, 1e-6f);
}

TEST(VoiceLeveler, theGainRampsAcrossTheBlockWithoutJumps) {
    VoiceLeveler leveler;
    const std::vector<float> in = block(0.01f);
    const std::vector<float> out = leveler.process(in, 0, rate);
    ASSERT_EQ(out.size(), in.size());
    const float g1 = leveler.gain();
    ASSERT_GT(g1, 1.0f);
    EXPECT_NEAR(out.back() / in.back(), g1, 1e-4f);
    for (std::size_t i = 1; i < out.size(); ++i) {
        ASSERT_GT(out[i] / in[i], out[i - 1] / in[i - 1]) << i;
    }
    const std::vector<float> next = leveler.process(in, 0, rate);
    EXPECT_GT(next.front() / in.front(), g1);
    EXPECT_NEAR(next.front() / in.front(), g1, 0.01f) << "the next block starts where this one ended";
}

TEST(VoiceLeveler, theFarEndDropsTheGainAtOnceAndHoldsItFor300ms) {
    VoiceLeveler leveler;
    feed(leveler, 0.01f, 0, 2.0);
    ASSERT_GT(leveler.gain(), 9.0f);
    leveler.process(block(0.01f, 1024), 0.05f, rate);
    EXPECT_EQ(leveler.gain(), 1.0f);
    // The far end falls quiet while the user keeps talking: unity for the hold time, then boosting again.
    feed(leveler, 0.01f, 0.005f, 0.28);
    EXPECT_EQ(leveler.gain(), 1.0f);
    feed(leveler, 0.01f, 0.005f, 0.05);
    EXPECT_GT(leveler.gain(), 1.0f);

    VoiceLeveler atThreshold; // a far end exactly at the threshold does not count as talking
    feed(atThreshold, 0.01f, 0.01f, 0.1);
    EXPECT_GT(atThreshold.gain(), 1.0f);
}

TEST(VoiceLeveler, silenceRelaxesTheGainSlowlyAndLowersTheNoiseFloor) {
    VoiceLeveler leveler;
    feed(leveler, 0.01f, 0, 2.0);
    const float boosted = leveler.gain();
    EXPECT_EQ(leveler.process(std::vector<float>(480, 0.0f), 0, rate), std::vector<float>(480, 0.0f));
    EXPECT_LT(leveler.gain(), boosted);
    EXPECT_GT(leveler.gain(), boosted - 0.1f);
    feed(leveler, 0, 0, 1.49); // about a 1.5 s time constant: about a third of the boost is left
    EXPECT_NEAR(leveler.gain(), 1.0f + (boosted - 1.0f) * 0.37f, 0.15f);

    // 0.0005 is too close to the initial noise floor to be voice; after silence it is speech.
    VoiceLeveler fresh;
    fresh.process(block(0.0005f), 0, rate);
    EXPECT_EQ(fresh.gain(), 1.0f);
    VoiceLeveler afterSilence;
    afterSilence.process(std::vector<float>(480, 0.0f), 0, rate);
    afterSilence.process(block(0.0005f), 0, rate);
    EXPECT_GT(afterSilence.gain(), 1.0f);
}

TEST(VoiceLeveler, invalidBlocksPassThroughAndTheWritersShortcutMatchesTheOrdinaryPath) {
    VoiceLeveler touched;
    VoiceLeveler reference;
    feed(touched, 0.01f, 0, 0.1);
    feed(reference, 0.01f, 0, 0.1);
    const std::vector<float> in = block(0.02f);
    EXPECT_EQ(touched.process(in, 0.5f, 0), in);
    EXPECT_EQ(touched.process(in, 0.5f, -48000), in);
    EXPECT_EQ(touched.process(in, 0.5f, std::nan("")), in);
    EXPECT_TRUE(touched.process({}, 0.5f, rate).empty());

    // The writer hands in the block's RMS and takes the levelled RMS back; every sample and the gain must
    // come out as the ordinary call gives them (and the invalid blocks above must have changed nothing).
    for (int i = 0; i < 200; ++i) {
        std::vector<float> samples(480);
        const float amplitude = (i / 20) % 2 == 0 ? 0.01f : 0.0002f;
        for (std::size_t k = 0; k < samples.size(); ++k) {
            samples[k] = amplitude * std::sin(0.05f * static_cast<float>(i * 480 + static_cast<int>(k)));
        }
        const float far = i % 50 < 5 ? 0.2f : 0.0f;
        const std::vector<float> expected = reference.process(samples, far, rate);
        float levelledRMS = -1;
        ASSERT_EQ(touched.process(samples, Mixer::rms(samples), far, rate, &levelledRMS), expected) << i;
        ASSERT_EQ(levelledRMS, Mixer::rms(expected)) << i;
        ASSERT_EQ(touched.gain(), reference.gain());
    }
}

TEST(LevelMeter, showsFiftyDecibelsFollowsPeaksAndDecays) {
    EXPECT_FLOAT_EQ(LevelMeter::displayLevel(1.0f), 1.0f);
    EXPECT_FLOAT_EQ(LevelMeter::displayLevel(0.1f), 0.6f);
    for (const float silent : {0.001f, 0.0f, -0.5f, std::nanf("")}) {
        EXPECT_EQ(LevelMeter::displayLevel(silent), 0.0f) << silent;
    }
    EXPECT_EQ(LevelMeter::displayLevel(4.0f), 1.0f);

    LevelMeter meter;
    meter.update(0.1f, 1.0f, 4.0f);
    EXPECT_FLOAT_EQ(meter.levels().mic, 0.6f);
    EXPECT_FLOAT_EQ(meter.levels().system, 1.0f);
    EXPECT_EQ(meter.micGain(), 4.0f);
    meter.update(0.0f, 0.01f, 2.0f); // quieter blocks: the shown levels fall, but not to the new block
    EXPECT_LT(meter.levels().mic, 0.6f);
    EXPECT_GT(meter.levels().mic, 0.5f);
    EXPECT_GT(meter.levels().system, LevelMeter::displayLevel(0.01f));
    EXPECT_EQ(meter.micGain(), 2.0f);
    meter.update(0.5f, 0.0f, 2.0f); // a louder block replaces the decayed value
    EXPECT_FLOAT_EQ(meter.levels().mic, LevelMeter::displayLevel(0.5f));
}

} // namespace
