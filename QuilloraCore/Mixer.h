#pragma once

#include <array>
#include <vector>

// Pure sample functions of the signal path: mono downmix, stereo shaping, RMS, mixing and the soft
// limiter. No state; every result is a fresh array.
namespace Mixer {

using Channel = std::vector<float>;
using Channels = std::vector<Channel>;

struct Stereo {
    Channel left;
    Channel right;
};

inline constexpr float limiterThreshold = 0.9f;

// Mean of the channels, scaled by 1/count; short channels are not compensated. Exactly frameCount samples.
Channel downmixToMono(const Channels& channels, int frameCount);

// No channels: silence; one: centred on both sides; two or more: the first two. Exactly frameCount each.
Stereo toStereo(const Channels& channels, int frameCount);

// Voice in the centre, call on its own sides, each output sample soft-limited.
Stereo mix(const Channels& mic, const Channels& system, int frameCount, float micGain, float systemGain);

// mix() of one voice channel (or none: nullptr) with a call already shaped by toStereo(), written into
// `left` and `right` (call.left.size() samples each, which may be the call's own arrays): the same
// samples, bit for bit, as mix({*voice}, system, ...) of the system channels `call` came from, without
// shaping the call a second time or allocating anything. A shorter voice is padded with silence.
void mixInto(const Channel* voice, const Stereo& call, float micGain, float systemGain, float* left,
             float* right);

// Identity up to |x| = 0.9, then a tanh knee that approaches but never exceeds full scale.
float softLimit(float x);

// sqrt(sum of squares / n), summed in single precision in index order; 0 for an empty array.
float rms(const Channel& samples);

// rms() of three arrays in one pass: each sum keeps rms()'s own order, so the results are identical;
// interleaving the three running sums lets their additions overlap instead of waiting on each other.
std::array<float, 3> rms3(const Channel& a, const Channel& b, const Channel& c);

} // namespace Mixer
