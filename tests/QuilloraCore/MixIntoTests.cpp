// The writer's allocation-free mix against the reference mix: the same bits for every kind of input.
#include "QuilloraCore/Mixer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <optional>
#include <random>

using Mixer::Channel;
using Mixer::Channels;

TEST(MixInto, givesTheReferenceMixBitForBit) {
    std::mt19937 random(7);
    std::uniform_real_distribution<float> hot(-1.6f, 1.6f);
    const auto noise = [&](std::size_t n) {
        Channel samples(n);
        for (float& x : samples) {
            x = hot(random);
        }
        return samples;
    };
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
          Case{std::nullopt, {callEdges, edges}, 8, 1, 1}, Case{noise(1024), {noise(1024)}, 1024, 1, 1},
          Case{noise(700), {noise(1024), noise(1000)}, 1024, 1.5f, 1}, Case{noise(1100), {}, 1027, 1, 1},
          Case{noise(300), {noise(300)}, 0, 1, 1}}) {
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
            EXPECT_EQ(std::memcmp(out->data(), reference.left.data(), out->size() * sizeof(float)), 0);
        }
        for (const Channel* out : {&right, &call.right}) {
            EXPECT_EQ(std::memcmp(out->data(), reference.right.data(), out->size() * sizeof(float)), 0);
        }
    }
}
