#include "Platform/Audio/Simulated/SimulatedSignal.h"

#include <cmath>
#include <numbers>

namespace {

constexpr double twoPi = 2 * std::numbers::pi;
constexpr double phraseSeconds = 2.4;
constexpr double pauseSeconds = 1.2;
constexpr double syllablesPerSecond = 4.0;

} // namespace

SimulatedSignal SimulatedSignal::tone(double frequency, float amplitude) {
    return {Kind::tone, frequency, amplitude, 0};
}

SimulatedSignal SimulatedSignal::voice(double frequency, float amplitude, double offset) {
    return {Kind::voice, frequency, amplitude, offset};
}

float SimulatedSignal::at(double seconds) const {
    const double t = seconds + offset;
    switch (kind) {
    case Kind::silence:
        return 0;
    case Kind::tone:
        return amplitude * static_cast<float>(std::sin(twoPi * frequency * t));
    case Kind::voice: {
        const double inPhrase = std::fmod(std::fabs(t), phraseSeconds + pauseSeconds);
        if (inPhrase >= phraseSeconds) {
            return 0;
        }
        const double syllable = 0.5 - 0.5 * std::cos(twoPi * syllablesPerSecond * inPhrase);
        const double phase = twoPi * frequency * t;
        // 1 + 0.5 + 0.25 keeps the peak at `amplitude`.
        const double wave = (std::sin(phase) + 0.5 * std::sin(2 * phase) + 0.25 * std::sin(3 * phase)) / 1.75;
        return amplitude * static_cast<float>(syllable * wave);
    }
    }
    return 0;
}
