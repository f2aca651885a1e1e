#pragma once

#include <mutex>
#include <vector>

// Automatic gain for the user's voice: lifts quiet local speech toward a target loudness, relaxes in
// pauses and returns to unity whenever the far end is (or was just) active.
class VoiceLeveler {
public:
    float target = 0.1f;
    float maxGain = 16.0f;
    float systemActiveThreshold = 0.01f;
    double systemHoldSeconds = 0.3;

    // Levels one mono block and returns it; the state carries over to the next block.
    std::vector<float> process(const std::vector<float>& samples, float systemRMS, double sampleRate);
    // The same, for a caller that already knows the block's Mixer::rms (`level`) and wants the RMS of the
    // levelled block too (`levelledRMS`, may be null): the writer needs both, and this spares two passes.
    std::vector<float> process(const std::vector<float>& samples, float level, float systemRMS,
                               double sampleRate, float* levelledRMS);

    float gain() const { return gain_; }

private:
    float gain_ = 1.0f;
    float speechLevel_ = 0.01f;
    float noiseFloor_ = 0.0002f;
    double systemHoldRemaining_ = 0;
};

// Where the writer publishes the current voice level, call level and voice gain for the user interface.
// Every access holds the lock; nothing else is locked while it is held.
class LevelMeter {
public:
    struct Levels {
        float mic = 0;
        float system = 0;
    };

    // Both levels in display units 0...1, a linear dB scale from -50 dBFS to 0 dBFS; read under one lock.
    Levels levels() const;
    float micGain() const;

    // One writer block: each level decays by 0.85 and is raised to the new block's RMS if higher.
    void update(float levelledMicRMS, float systemRMS, float gain);

    // The mapping used by levels(): v <= 0 -> 0, else clamp((20 log10 v + 50) / 50, 0, 1).
    static float displayLevel(float value);

private:
    mutable std::mutex lock_;
    float micLevel_ = 0;
    float systemLevel_ = 0;
    float gain_ = 1.0f;
};
