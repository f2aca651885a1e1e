#include "QuilloraCore/Mixer.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <utility>

namespace Mixer {

namespace {

// Width of the limiter's knee. Computed in single precision on purpose: 1 - 0.9f is 0.100000024, and the
// curve's exact values depend on it.
constexpr float limiterKnee = 1.0f - limiterThreshold;

// The array cut to count samples, or extended with zeros at the end.
Channel padded(const Channel& samples, std::size_t count) {
    Channel out(count, 0.0f);
    std::copy_n(samples.begin(), std::min(count, samples.size()), out.begin());
    return out;
}

std::size_t frames(int frameCount) {
    return frameCount > 0 ? static_cast<std::size_t>(frameCount) : 0;
}

// Above the threshold: the tanh knee, with the sign of x restored. Kept out of line so that the loop
// calling it for the rare hot sample needs no registers saved around the call in its common path.
[[gnu::noinline]] float limitAboveThreshold(float x) {
    const float y =
        limiterThreshold + limiterKnee * std::tanh((std::fabs(x) - limiterThreshold) / limiterKnee);
    return x < 0 ? -y : y;
}

// The mixing kernel. `m` is the voice as downmixToMono leaves it (its padding included); `l` and `r` may
// be the very arrays written.
void mixSamples(const float* m, const float* l, const float* r, std::size_t count, float micGain,
                float systemGain, float* left, float* right) {
    for (std::size_t i = 0; i < count; ++i) {
        const float v = m[i] * micGain;
        left[i] = l[i] * systemGain + v;
        right[i] = v + r[i] * systemGain;
    }
}

// Soft-limits every sample in place. Mixed blocks rarely reach the knee, so a vectorised scan first looks
// for any sample above the threshold and only such a block gets the per-sample pass. NaN compares false
// and is left as it is.
void limitInPlace(float* const x, std::size_t count) {
    int above = 0;
    for (std::size_t i = 0; i < count; ++i) {
        above |= std::fabs(x[i]) > limiterThreshold ? 1 : 0;
    }
    if (above == 0) {
        return;
    }
    for (std::size_t i = 0; i < count; ++i) {
        if (std::fabs(x[i]) > limiterThreshold) {
            x[i] = limitAboveThreshold(x[i]);
        }
    }
}

} // namespace

Channel downmixToMono(const Channels& channels, int frameCount) {
    const std::size_t count = frames(frameCount);
    Channel out(count, 0.0f);
    if (channels.empty()) {
        return out;
    }
    const float scale = 1.0f / static_cast<float>(channels.size());
    float* const dst = out.data();
    for (const Channel& channel : channels) {
        const std::size_t n = std::min(count, channel.size());
        const float* const src = channel.data();
        // Element-wise multiply-add: vectorising it keeps every sample's own order of operations.
        for (std::size_t i = 0; i < n; ++i) {
            dst[i] += src[i] * scale;
        }
    }
    return out;
}

Stereo toStereo(const Channels& channels, int frameCount) {
    const std::size_t count = frames(frameCount);
    switch (channels.size()) {
    case 0:
        return {Channel(count, 0.0f), Channel(count, 0.0f)};
    case 1: {
        Channel centre = padded(channels[0], count);
        return {centre, std::move(centre)}; // braced initialisers run left to right
    }
    default:
        return {padded(channels[0], count), padded(channels[1], count)};
    }
}

Stereo mix(const Channels& mic, const Channels& system, int frameCount, float micGain, float systemGain) {
    const Channel voice = downmixToMono(mic, frameCount);
    // The padded call channels become the output arrays, so the mix needs no further allocation.
    Stereo out = toStereo(system, frameCount);
    const std::size_t count = voice.size();
    mixSamples(voice.data(), out.left.data(), out.right.data(), count, micGain, systemGain, out.left.data(),
               out.right.data());
    limitInPlace(out.left.data(), count);
    limitInPlace(out.right.data(), count);
    return out;
}

void mixInto(const Channel* voice, const Stereo& call, float micGain, float systemGain, float* left,
             float* right) {
    const std::size_t count = call.left.size();
    // What downmixToMono makes of a single channel: 0 + x * 1. The sum turns -0 into +0, which the mix
    // can show, so it stays. Done in pieces on the stack, so the kernel sees the values mix() gives it
    // without a heap array.
    constexpr std::size_t chunk = 256;
    float mono[chunk];
    const std::size_t voiced = voice != nullptr ? std::min(count, voice->size()) : 0;
    for (std::size_t start = 0; start < count; start += chunk) {
        const std::size_t n = std::min(chunk, count - start);
        for (std::size_t i = 0; i < n; ++i) {
            mono[i] = start + i < voiced ? 0.0f + (*voice)[start + i] : 0.0f;
        }
        mixSamples(mono, call.left.data() + start, call.right.data() + start, n, micGain, systemGain,
                   left + start, right + start);
    }
    limitInPlace(left, count);
    limitInPlace(right, count);
}

float softLimit(float x) {
    // Written as "not above" so that NaN, which compares false, comes back unchanged.
    if (!(std::fabs(x) > limiterThreshold)) {
        return x;
    }
    return limitAboveThreshold(x);
}

float rms(const Channel& samples) {
    if (samples.empty()) {
        return 0.0f;
    }
    // One running single-precision sum in index order; reassociating it would change the result.
    float sum = 0.0f;
    for (const float x : samples) {
        sum += x * x;
    }
    return std::sqrt(sum / static_cast<float>(samples.size()));
}

} // namespace Mixer

std::array<float, 3> Mixer::rms3(const Channel& a, const Channel& b, const Channel& c) {
    const std::size_t common = std::min({a.size(), b.size(), c.size()});
    float sa = 0;
    float sb = 0;
    float sc = 0;
    for (std::size_t i = 0; i < common; ++i) {
        sa += a[i] * a[i];
        sb += b[i] * b[i];
        sc += c[i] * c[i];
    }
    auto finish = [common](const Channel& samples, float sum) {
        if (samples.empty()) {
            return 0.0f;
        }
        for (std::size_t i = common; i < samples.size(); ++i) {
            sum += samples[i] * samples[i];
        }
        return std::sqrt(sum / static_cast<float>(samples.size()));
    };
    return {finish(a, sa), finish(b, sb), finish(c, sc)};
}
