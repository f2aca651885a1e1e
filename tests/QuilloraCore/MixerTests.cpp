#include "QuilloraCore/Mixer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <random>

using Mixer::Channel;
using Mixer::Channels;

namespace {

// Equal bit for bit (signed zeros and NaN payloads included); empty arrays are equal.
bool sameBits(const std::vector<float>& a, const std::vector<float>& b) {
    return a.size() == b.size() &&
           (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0);
}

Channel noise(std::mt19937& random, std::size_t count, float range) {
    std::uniform_real_distribution<float> sample(-range, range);
    Channel channel(count);
    for (float& x : channel) {
        x = sample(random);
    }
    return channel;
}

TEST(Mixer, softLimitIsTheIdentityUpToTheKneeThenBendsSmoothlyBelowFullScale) {
    for (const float x : {0.0f, 0.25f, -0.5f, 0.9f, -0.9f}) {
        EXPECT_EQ(Mixer::softLimit(x), x) << x;
    }
    EXPECT_NEAR(Mixer::softLimit(0.9001f), 0.9001f, 1e-7) << "no step or kink at the knee";
    EXPECT_NEAR(Mixer::softLimit(1.0f), 0.976f, 0.001f);
    EXPECT_GT(Mixer::softLimit(1.2f), 0.999f);
    EXPECT_EQ(Mixer::softLimit(std::numeric_limits<float>::infinity()), 1.0f);
    EXPECT_TRUE(std::isnan(Mixer::softLimit(std::numeric_limits<float>::quiet_NaN())));
    float previous = 0;
    for (int i = 0; i <= 20000; ++i) {
        const float x = static_cast<float>(i) * 0.001f; // 0 ... 20
        const float y = Mixer::softLimit(x);
        ASSERT_LE(y, 1.0f) << x;
        ASSERT_GE(y, previous) << x;
        ASSERT_EQ(Mixer::softLimit(-x), -y) << x;
        previous = y;
    }
}

TEST(Mixer, downmixAndStereoShapeTheChannelsToTheFrameCount) {
    EXPECT_EQ(Mixer::downmixToMono({{1, 1}, {0, 0}}, 2), (Channel{0.5f, 0.5f}));
    EXPECT_EQ(Mixer::downmixToMono({{1, 1, 1}, {1}}, 3), (Channel{1, 0.5f, 0.5f})) << "short channels are 0";
    EXPECT_EQ(Mixer::downmixToMono({{1, 2, 3, 4}}, 2), (Channel{1, 2}));
    EXPECT_EQ(Mixer::downmixToMono({}, 4), Channel(4, 0.0f));
    EXPECT_TRUE(Mixer::downmixToMono({{1}}, -3).empty());
    // A long odd length through three channels: the vectorised body, its tail and the 1/3 scale.
    std::mt19937 random(7);
    const Channels three{noise(random, 1027, 1), noise(random, 1027, 1), noise(random, 1027, 1)};
    const Channel mono = Mixer::downmixToMono(three, 1027);
    ASSERT_EQ(mono.size(), 1027u);
    for (std::size_t i = 0; i < mono.size(); ++i) {
        ASSERT_NEAR(mono[i], (three[0][i] + three[1][i] + three[2][i]) / 3, 1e-6) << i;
    }

    const Mixer::Stereo centred = Mixer::toStereo({{0.3f, 0.4f}}, 3);
    EXPECT_EQ(centred.left, (Channel{0.3f, 0.4f, 0}));
    EXPECT_EQ(centred.right, centred.left);
    const Mixer::Stereo firstTwo = Mixer::toStereo({{1, 2, 3}, {4}, {7, 8, 9}}, 2);
    EXPECT_EQ(firstTwo.left, (Channel{1, 2}));
    EXPECT_EQ(firstTwo.right, (Channel{4, 0}));
    EXPECT_EQ(Mixer::toStereo({}, 2).right, Channel(2, 0.0f));
}

TEST(Mixer, mixPutsTheVoiceInTheCentreTheCallOnItsSidesAndLimitsEverySample) {
    const Mixer::Stereo stereo = Mixer::mix({{0.5f, 0.1f}}, {{0.1f, -0.2f}, {0.2f, 0.6f}}, 2, 1, 1);
    EXPECT_FLOAT_EQ(stereo.left[0], 0.6f);
    EXPECT_FLOAT_EQ(stereo.right[0], 0.7f);
    EXPECT_FLOAT_EQ(stereo.left[1], -0.1f);
    EXPECT_FLOAT_EQ(stereo.right[1], 0.7f);
    // Gains scale each side before the sum; a sum above the knee is limited.
    const Mixer::Stereo hot = Mixer::mix({{0.3f}, {0.3f}}, {{1.2f}}, 1, 2, 0.5f);
    EXPECT_EQ(hot.left[0], Mixer::softLimit(1.2f));
    EXPECT_EQ(hot.right[0], hot.left[0]);
    const Mixer::Stereo callOnly = Mixer::mix({}, {{0.2f, -3.0f}}, 3, 1, 1);
    EXPECT_EQ(callOnly.left, (Channel{0.2f, -1.0f, 0.0f}));
    EXPECT_EQ(callOnly.right, callOnly.left);

    std::mt19937 random(3);
    const Mixer::Stereo loud = Mixer::mix({noise(random, 480, 4), noise(random, 480, 4)},
                                          {noise(random, 480, 4), noise(random, 480, 4)}, 480, 1, 1);
    ASSERT_EQ(loud.left.size(), 480u);
    for (std::size_t i = 0; i < 480; ++i) {
        ASSERT_LE(std::fabs(loud.left[i]), 1.0f);
        ASSERT_LE(std::fabs(loud.right[i]), 1.0f);
    }
}

TEST(Mixer, rmsOfOneAndOfThreeArraysAgree) {
    EXPECT_EQ(Mixer::rms({}), 0.0f);
    EXPECT_EQ(Mixer::rms({0.5f, -0.5f}), 0.5f);
    EXPECT_FLOAT_EQ(Mixer::rms({3, 4, 0, 0}), 2.5f);
    std::mt19937 random(11);
    for (const auto& [na, nb, nc] : {std::tuple{1024u, 1024u, 1024u}, {480u, 7u, 1000u}, {0u, 33u, 2u}}) {
        const Channel a = noise(random, na, 1), b = noise(random, nb, 1), c = noise(random, nc, 1);
        const auto all = Mixer::rms3(a, b, c);
        EXPECT_EQ(all[0], Mixer::rms(a));
        EXPECT_EQ(all[1], Mixer::rms(b));
        EXPECT_EQ(all[2], Mixer::rms(c));
    }
}

// The writer's allocation-free mix: the same bits as the reference mix for every kind of input.
TEST(Mixer, mixIntoGivesTheReferenceMixBitForBit) {
    std::mt19937 random(7);
    const auto hot = [&](std::size_t n) { return noise(random, n, 1.6f); };
    const float nan = std::numeric_limits<float>::quiet_NaN();
    // Signed zeros on both sides (the voice's -0 becomes +0 on its way), NaN, infinities and the knee.
    const Channel edges{-0.0f, 0.0f,   -0.0f, nan, std::numeric_limits<float>::infinity(),
                        0.9f,  -0.95f, 1e-30f};
    const Channel callEdges{-0.0f, -0.0f, 0.0f, 0.5f, -0.5f, 0.05f, -0.9f, -1e-30f};

    struct Case {
        std::optional<Channel> voice;
        Channels system;
        int frames;
        float micGain;
        float systemGain;
    };
    for (const Case& c :
         {Case{edges, {callEdges, callEdges}, 8, 1, 1}, Case{edges, {callEdges}, 8, 2, 0.5f},
          Case{std::nullopt, {callEdges, edges}, 8, 1, 1}, Case{hot(1024), {hot(1024)}, 1024, 1, 1},
          Case{hot(700), {hot(1024), hot(1000)}, 1024, 1.5f, 1}, Case{hot(1100), {}, 1027, 1, 1},
          Case{hot(300), {hot(300)}, 0, 1, 1}}) {
        SCOPED_TRACE(::testing::Message() << c.frames << " frames, voice " << (c.voice ? c.voice->size() : 0)
                                          << ", " << c.system.size() << " call channels");
        const Channels mic = c.voice ? Channels{*c.voice} : Channels{};
        const Mixer::Stereo reference = Mixer::mix(mic, c.system, c.frames, c.micGain, c.systemGain);
        // In place over the shaped call, as the writer may do, and into separate arrays.
        Mixer::Stereo call = Mixer::toStereo(c.system, c.frames);
        Channel left(call.left.size());
        Channel right(call.left.size());
        Mixer::mixInto(c.voice ? &*c.voice : nullptr, call, c.micGain, c.systemGain, left.data(),
                       right.data());
        Mixer::mixInto(c.voice ? &*c.voice : nullptr, call, c.micGain, c.systemGain, call.left.data(),
                       call.right.data());
        for (const Channel* out : {&left, &call.left}) {
            ASSERT_EQ(out->size(), reference.left.size());
            EXPECT_TRUE(sameBits(*out, reference.left));
        }
        for (const Channel* out : {&right, &call.right}) {
            EXPECT_TRUE(sameBits(*out, reference.right));
        }
    }
}

} // namespace
