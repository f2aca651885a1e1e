#pragma once

// What a simulated microphone hears or what applications play through a simulated output device.
// A pure function of time, so every buffer is reproducible and no state has to be carried between
// cycles.
struct SimulatedSignal {
    enum class Kind { silence, tone, voice };

    Kind kind = Kind::silence;
    double frequency = 0; // Hz; the fundamental for a voice
    float amplitude = 0;  // peak of the waveform
    double offset = 0;    // seconds added to the time axis (moves a voice's phrases)

    static SimulatedSignal silence() { return {}; }
    // A steady sine wave.
    static SimulatedSignal tone(double frequency, float amplitude);
    // Something that sounds roughly like speech: a fundamental with two harmonics, about four syllables
    // a second, in 2.4 s phrases separated by 1.2 s pauses.
    static SimulatedSignal voice(double frequency, float amplitude, double offset = 0);

    // The sample at `seconds` since the device started.
    float at(double seconds) const;

    bool operator==(const SimulatedSignal&) const = default;
};
