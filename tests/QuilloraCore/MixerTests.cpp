#include "QuilloraCore/Mixer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <tuple>

using Mixer::Channel;
using Mixer::Channels;

TEST(Mixer, softLimitLeavesEverythingUpToTheThresholdAlone) {
    for (const float x : {0.0f, 0.5f, -0.5f, 0.9f, -0.9f, 0.25f}) {
        EXPECT_EQ(Mixer::softLimit(x), x) << x;
    }
    EXPECT_TRUE(std::isnan(Mixer::softLimit(std::numeric_limits<float>::quiet_NaN())));
}

TEST(Mixer, softLimitFollowsTheTanhKnee) {
    EXPECT_NEAR(Mixer::softLimit(1.0f), 0.9 + 0.1 * std::tanh(1.0), 2e-7);
    EXPECT_NEAR(Mixer::softLimit(1.0f), 0.97616f, 1e-5);
    EXPECT_NEAR(Mixer::softLimit(-1.0f), -0.97616f, 1e-5);
    EXPECT_NEAR(Mixer::softLimit(1.2f), 0.99951f, 1e-5);
    EXPECT_EQ(Mixer::softLimit(10.0f), 1.0f);
    EXPECT_EQ(Mixer::softLimit(-10.0f), -1.0f);
    EXPECT_EQ(Mixer::softLimit(std::numeric_limits<float>::infinity()), 1.0f);
    // Slope 1 at the knee: just above the threshold the curve is still the identity, to rounding.
    EXPECT_NEAR(Mixer::softLimit(0.9001f), 0.9001f, 1e-7);
}

TEST(Mixer, softLimitIsMonotonicOddAndNeverAboveFullScale) {
    float previous = 0;
    for (int i = 0; i <= 20000; ++i) {
        const float x = static_cast<float>(i) * 0.001f; // 0 ... 20
        const float y = Mixer::softLimit(x);
        ASSERT_LE(y, 1.0f) << x;
        ASSERT_GE(y, previous) << x;
        ASSERT_EQ(Mixer::softLimit(-x), -y) << x;
        if (x >= 1.75f) {
            ASSERT_EQ(y, 1.0f) << x;
        }
        previous = y;
    }
}

TEST(Mixer, downmixAveragesWithoutCompensatingShortChannels) {
    EXPECT_EQ(Mixer::downmixToMono({{1, 1}, {0, 0}}, 2), (Channel{0.5f, 0.5f}));
    EXPECT_EQ(Mixer::downmixToMono({{0.2f}}, 3), (Channel{0.2f, 0, 0}));
    EXPECT_EQ(Mixer::downmixToMono({{1, 1, 1}, {1}}, 3), (Channel{1, 0.5f, 0.5f}));
    EXPECT_EQ(Mixer::downmixToMono({{1, 2, 3, 4}}, 2), (Channel{1, 2}));
    EXPECT_EQ(Mixer::downmixToMono({}, 4), Channel(4, 0.0f));
    EXPECT_TRUE(Mixer::downmixToMono({{1}}, 0).empty());
    EXPECT_TRUE(Mixer::downmixToMono({{1}}, -3).empty());
}

TEST(Mixer, downmixMatchesTheScalarOrderSampleForSample) {
    // An odd length and three channels exercise the vector body, the tail and the 1/3 scale.
    std::mt19937 random(7);
    std::uniform_real_distribution<float> sample(-1.0f, 1.0f);
    Channels channels(3, Channel(1027));
    for (Channel& channel : channels) {
        for (float& x : channel) {
            x = sample(random);
        }
    }
    const Channel mono = Mixer::downmixToMono(channels, 1027);
    const float scale = 1.0f / 3.0f;
    for (std::size_t i = 0; i < mono.size(); ++i) {
        volatile float expected = 0.0f; // volatile: keep the reference strictly scalar
        for (const Channel& channel : channels) {
            expected = expected + channel[i] * scale;
        }
        ASSERT_EQ(mono[i], expected) << i;
    }
}

TEST(Mixer, toStereoCentresMonoAndKeepsTheFirstTwoChannels) {
    const Mixer::Stereo mono = Mixer::toStereo({{0.3f, 0.4f}}, 3);
    EXPECT_EQ(mono.left, (Channel{0.3f, 0.4f, 0}));
    EXPECT_EQ(mono.right, mono.left);

    const Mixer::Stereo three = Mixer::toStereo({{1, 2, 3}, {4}, {7, 8, 9}}, 2);
    EXPECT_EQ(three.left, (Channel{1, 2}));
    EXPECT_EQ(three.right, (Channel{4, 0}));

    const Mixer::Stereo none = Mixer::toStereo({}, 2);
    EXPECT_EQ(none.left, Channel(2, 0.0f));
    EXPECT_EQ(none.right, Channel(2, 0.0f));
}

TEST(Mixer, rmsSumsInIndexOrder) {
    EXPECT_EQ(Mixer::rms({}), 0.0f);
    EXPECT_EQ(Mixer::rms({0.5f, -0.5f}), 0.5f);
    // After the 1 the squares of 1e-4 are each below half a unit in the last place, so a sum in index order
    // never moves; any regrouping of the additions would add about 1e-5.
    Channel samples(1001, 1e-4f);
    samples[0] = 1.0f;
    EXPECT_EQ(Mixer::rms(samples), std::sqrt(1.0f / 1001.0f));
}

TEST(Mixer, mixPutsTheVoiceInTheCentreAndLimitsEachSample) {
    const Mixer::Stereo stereo = Mixer::mix({{0.5f, 0.1f}}, {{0.1f, -0.2f}, {0.2f, 0.6f}}, 2, 1, 1);
    EXPECT_FLOAT_EQ(stereo.left[0], 0.6f);
    EXPECT_FLOAT_EQ(stereo.right[0], 0.7f);
    EXPECT_FLOAT_EQ(stereo.left[1], -0.1f);
    EXPECT_EQ(stereo.right[1], Mixer::softLimit(0.1f + 0.6f)); // 0.7, below the knee

    // Gains scale each side before the sum; a sum above the threshold is limited.
    const Mixer::Stereo hot = Mixer::mix({{0.3f}, {0.3f}}, {{1.2f}}, 1, 2, 0.5f);
    EXPECT_EQ(hot.left[0], Mixer::softLimit(1.2f));
    EXPECT_EQ(hot.right[0], hot.left[0]);
}

TEST(Mixer, mixWithoutMicrophoneCarriesTheLimitedCallOnBothSides) {
    const Mixer::Stereo stereo = Mixer::mix({}, {{0.2f, 1.0f, -3.0f}}, 4, 1, 1);
    const Channel expected{0.2f, Mixer::softLimit(1.0f), -1.0f, 0.0f};
    EXPECT_EQ(stereo.left, expected);
    EXPECT_EQ(stereo.right, expected);
    EXPECT_TRUE(Mixer::mix({{1}}, {{1}}, 0, 1, 1).left.empty());
}

TEST(Mixer, mixOfHotSignalsStaysWithinFullScale) {
    std::mt19937 random(3);
    std::uniform_real_distribution<float> sample(-4.0f, 4.0f);
    Channels mic(2, Channel(480));
    Channels system(2, Channel(480));
    for (Channels* source : {&mic, &system}) {
        for (Channel& channel : *source) {
            for (float& x : channel) {
                x = sample(random);
            }
        }
    }
    const Mixer::Stereo stereo = Mixer::mix(mic, system, 480, 1, 1);
    ASSERT_EQ(stereo.left.size(), 480u);
    ASSERT_EQ(stereo.right.size(), 480u);
    for (std::size_t i = 0; i < 480; ++i) {
        ASSERT_LE(std::fabs(stereo.left[i]), 1.0f);
        ASSERT_LE(std::fabs(stereo.right[i]), 1.0f);
    }
}

TEST(Mixer, rms3GivesExactlyWhatRmsGivesForEachArray) {
    std::mt19937 random(11);
    std::uniform_real_distribution<float> sample(-1.0f, 1.0f);
    auto noise = [&](std::size_t n) {
        Channel channel(n);
        for (float& x : channel) {
            x = sample(random);
        }
        return channel;
    };
    // Equal lengths, as the writer uses it, and unequal ones, including an empty array.
    for (const auto& [na, nb, nc] : {std::tuple{1024u, 1024u, 1024u}, {480u, 7u, 1000u}, {0u, 33u, 2u}}) {
        const Channel a = noise(na);
        const Channel b = noise(nb);
        const Channel c = noise(nc);
        const auto all = Mixer::rms3(a, b, c);
        EXPECT_EQ(all[0], Mixer::rms(a));
        EXPECT_EQ(all[1], Mixer::rms(b));
        EXPECT_EQ(all[2], Mixer::rms(c));
    }
}
