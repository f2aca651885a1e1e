#include "QuilloraCore/VoiceLeveler.h"

#include "QuilloraCore/Mixer.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace {

constexpr float minimumNoiseFloor = 0.00005f;
constexpr float minimumVoiceLevel = 0.0004f;
constexpr float voiceOverNoiseFactor = 3.0f;
constexpr float minimumSpeechLevel = 0.0001f;
constexpr double noiseFloorRiseSeconds = 20.0;
constexpr double speechSmoothingSeconds = 1.0;

// Time constants of the gain.
constexpr double towardUnityFromBelowSeconds = 0.2;
constexpr double dropForFarEndSeconds = 0.01;
constexpr double relaxInPauseSeconds = 1.5;
constexpr double raiseForSpeechSeconds = 0.2;
constexpr double lowerForSpeechSeconds = 0.05;

constexpr float meterDecayPerBlock = 0.85f;
constexpr float displayRangeDecibels = 50.0f;

} // namespace

std::vector<float> VoiceLeveler::process(const std::vector<float>& samples, float systemRMS,
                                         double sampleRate) {
    if (samples.empty() || !(sampleRate > 0)) {
        return samples;
    }
    return process(samples, Mixer::rms(samples), systemRMS, sampleRate, nullptr);
}

std::vector<float> VoiceLeveler::process(const std::vector<float>& samples, float level, float systemRMS,
                                         double sampleRate, float* levelledRMS) {
    const std::size_t n = samples.size();
    if (n == 0 || !(sampleRate > 0)) {
        if (levelledRMS != nullptr) {
            *levelledRMS = Mixer::rms(samples);
        }
        return samples;
    }
    const double dt = static_cast<double>(n) / sampleRate;

    // The floor drops at once to a quieter block and rises slowly, so steady background noise is learnt
    // while speech (short and louder) barely moves it.
    const float floorCandidate =
        noiseFloor_ > level ? level
                            : noiseFloor_ + static_cast<float>(std::min(dt / noiseFloorRiseSeconds, 1.0)) *
                                                (level - noiseFloor_);
    noiseFloor_ = std::max(minimumNoiseFloor, floorCandidate);

    const bool isVoice = level > std::max(voiceOverNoiseFactor * noiseFloor_, minimumVoiceLevel);

    enum class Mode { unity, silence, speech };
    Mode mode;
    if (systemRMS > systemActiveThreshold) {
        systemHoldRemaining_ = systemHoldSeconds;
        mode = Mode::unity;
    } else {
        systemHoldRemaining_ = std::max(0.0, systemHoldRemaining_ - dt);
        if (!isVoice) {
            mode = Mode::silence;
        } else {
            mode = systemHoldRemaining_ == 0 ? Mode::speech : Mode::unity;
        }
    }

    // Boost only for local speech while the far end is quiet; anywhere else head back to unity, quickly
    // when the far end needs the headroom.
    float targetGain = 1.0f;
    double tau = towardUnityFromBelowSeconds;
    switch (mode) {
    case Mode::unity:
        tau = gain_ <= 1.0f ? towardUnityFromBelowSeconds : dropForFarEndSeconds;
        break;
    case Mode::silence:
        if (gain_ <= 1.0f) {
            tau = towardUnityFromBelowSeconds;
        } else {
            tau = systemHoldRemaining_ > 0 ? dropForFarEndSeconds : relaxInPauseSeconds;
        }
        break;
    case Mode::speech: {
        speechLevel_ += static_cast<float>(std::min(dt, speechSmoothingSeconds)) * (level - speechLevel_);
        const float desired = target / std::max(speechLevel_, minimumSpeechLevel);
        targetGain = std::min(std::max(desired, 1.0f), maxGain);
        tau = targetGain >= gain_ ? raiseForSpeechSeconds : lowerForSpeechSeconds;
        break;
    }
    }

    const double a = std::min(dt / tau, 1.0);
    const float g1 = gain_ + static_cast<float>(a) * (targetGain - gain_);

    // Ramp from the previous block's gain to g1 so that blocks join without a step. The running sum is
    // kept as is (not i * step) so every sample gets exactly the same gain on any machine.
    std::vector<float> out(n);
    const float step = (g1 - gain_) / static_cast<float>(n);
    const float* const in = samples.data();
    float* const dst = out.data();
    // The levelled block's sum of squares runs alongside, in index order as Mixer::rms sums it.
    float squares = 0;
    if (step == 0.0f) {
        // Steady gain (the usual case in pauses and while the far end talks): every sample gets the same
        // factor, and without the sum the loop vectorises.
        const float g = gain_;
        if (levelledRMS == nullptr) {
            for (std::size_t i = 0; i < n; ++i) {
                dst[i] = in[i] * g;
            }
        } else {
            for (std::size_t i = 0; i < n; ++i) {
                dst[i] = in[i] * g;
                squares += dst[i] * dst[i];
            }
        }
    } else {
        float g = gain_;
        for (std::size_t i = 0; i < n; ++i) {
            g += step;
            dst[i] = in[i] * g;
            squares += dst[i] * dst[i];
        }
    }
    if (levelledRMS != nullptr) {
        *levelledRMS = std::sqrt(squares / static_cast<float>(n));
    }
    gain_ = g1;
    return out;
}

LevelMeter::Levels LevelMeter::levels() const {
    float mic = 0;
    float system = 0;
    {
        std::lock_guard guard(lock_);
        mic = micLevel_;
        system = systemLevel_;
    }
    return {displayLevel(mic), displayLevel(system)};
}

float LevelMeter::micGain() const {
    std::lock_guard guard(lock_);
    return gain_;
}

void LevelMeter::update(float levelledMicRMS, float systemRMS, float gain) {
    std::lock_guard guard(lock_);
    micLevel_ = std::max(micLevel_ * meterDecayPerBlock, levelledMicRMS);
    systemLevel_ = std::max(systemLevel_ * meterDecayPerBlock, systemRMS);
    gain_ = gain;
}

float LevelMeter::displayLevel(float value) {
    if (!(value > 0)) {
        return 0;
    }
    const float d = (20.0f * std::log10(value) + displayRangeDecibels) / displayRangeDecibels;
    if (d <= 0) {
        return 0;
    }
    return std::min(d, 1.0f);
}
