// Cost of the writer's per-block signal path (downmix, stereo shaping, RMS, voice leveling, mix with the
// limiter) against simply copying the same frames. Prints the ratio per block size at the end.
#include "QuilloraCore/Mixer.h"
#include "QuilloraCore/VoiceLeveler.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <numbers>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr double sampleRate = 48000;

// Two seconds of a call cut into blocks: a voice that comes and goes (so the leveler ramps up and down)
// and a far end that talks over part of it, now and then loud enough to reach the limiter's knee.
struct Material {
    std::vector<Mixer::Channels> mic;
    std::vector<Mixer::Channels> system;

    explicit Material(int frames) {
        const int blocks = static_cast<int>(2 * sampleRate) / frames;
        for (int b = 0; b < blocks; ++b) {
            Mixer::Channel voice(static_cast<std::size_t>(frames));
            Mixer::Channel left(voice.size());
            Mixer::Channel right(voice.size());
            const bool farEndTalks = (b / 20) % 3 == 2;
            const float farLevel = b % 25 == 0 ? 1.2f : 0.6f;
            const float voiceLevel = (b / 15) % 2 == 0 ? 0.02f : 0.0005f;
            for (int i = 0; i < frames; ++i) {
                const double t = (b * frames + i) / sampleRate;
                voice[static_cast<std::size_t>(i)] =
                    voiceLevel * static_cast<float>(std::sin(2 * std::numbers::pi * 220 * t));
                const float far =
                    farEndTalks ? farLevel * static_cast<float>(std::sin(2 * std::numbers::pi * 330 * t))
                                : 0.001f * static_cast<float>(std::sin(2 * std::numbers::pi * 50 * t));
                left[static_cast<std::size_t>(i)] = far;
                right[static_cast<std::size_t>(i)] = 0.8f * far;
            }
            mic.push_back({std::move(voice)});
            system.push_back({std::move(left), std::move(right)});
        }
    }
};

void signalPath(benchmark::State& state) {
    const int frames = static_cast<int>(state.range(0));
    const Material material(frames);
    VoiceLeveler leveler;
    // The writer mixes into a buffer it keeps from block to block.
    std::vector<float> left(static_cast<std::size_t>(frames));
    std::vector<float> right(left.size());
    std::size_t block = 0;
    for (auto _ : state) {
        const Mixer::Channels& mic = material.mic[block];
        const Mixer::Channels& system = material.system[block];
        block = (block + 1) % material.mic.size();

        const Mixer::Channel mono = Mixer::downmixToMono(mic, frames);
        const Mixer::Stereo call = Mixer::toStereo(system, frames);
        // As the track writer does it: the three input sums in one pass, the levelled sum inside the
        // leveler's gain ramp.
        const auto [micRMS, leftRMS, rightRMS] = Mixer::rms3(mono, call.left, call.right);
        const float systemRMS = std::max(leftRMS, rightRMS);
        float levelledRMS = 0;
        const Mixer::Channel levelled = leveler.process(mono, micRMS, systemRMS, sampleRate, &levelledRMS);
        Mixer::mixInto(&levelled, call, 1, 1, left.data(), right.data());
        benchmark::DoNotOptimize(micRMS);
        benchmark::DoNotOptimize(levelledRMS);
        benchmark::DoNotOptimize(left.data());
        benchmark::DoNotOptimize(right.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * frames);
}

// The floor: copying the block's mic and call frames once.
void copyFrames(benchmark::State& state) {
    const int frames = static_cast<int>(state.range(0));
    const Material material(frames);
    const std::size_t bytes = static_cast<std::size_t>(frames) * sizeof(float);
    std::vector<float> mic(static_cast<std::size_t>(frames));
    std::vector<float> left(mic.size());
    std::vector<float> right(mic.size());
    std::size_t block = 0;
    for (auto _ : state) {
        std::memcpy(mic.data(), material.mic[block][0].data(), bytes);
        std::memcpy(left.data(), material.system[block][0].data(), bytes);
        std::memcpy(right.data(), material.system[block][1].data(), bytes);
        block = (block + 1) % material.mic.size();
        benchmark::DoNotOptimize(mic.data());
        benchmark::DoNotOptimize(left.data());
        benchmark::DoNotOptimize(right.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * frames);
}

// One RMS: a running single-precision sum, bound by the latency of one addition per sample. The writer's
// block needs five of them (voice, left, right, the leveler's input, the levelled voice).
void oneRMS(benchmark::State& state) {
    const int frames = static_cast<int>(state.range(0));
    const Material material(frames);
    std::size_t block = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(Mixer::rms(material.system[block][0]));
        block = (block + 1) % material.system.size();
    }
    state.SetItemsProcessed(state.iterations() * frames);
}

BENCHMARK(signalPath)->Arg(480)->Arg(1024)->Unit(benchmark::kNanosecond);
BENCHMARK(copyFrames)->Arg(480)->Arg(1024)->Unit(benchmark::kNanosecond);
BENCHMARK(oneRMS)->Arg(480)->Arg(1024)->Unit(benchmark::kNanosecond);

// Prints as usual and keeps each run's CPU time per block (steadier than wall time on a shared machine),
// so the ratios can be printed at the end.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    // Colours only on a terminal, so that saved output stays plain text.
    RatioReporter() : ConsoleReporter(isatty(fileno(stdout)) != 0 ? OO_Defaults : OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Iteration && !run.error_occurred) {
                times_[run.run_name.args][run.run_name.function_name].push_back(run.GetAdjustedCPUTime());
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }

    void printRatios() const {
        for (const auto& [frames, byFunction] : times_) {
            const auto path = byFunction.find("signalPath");
            const auto copy = byFunction.find("copyFrames");
            if (path == byFunction.end() || copy == byFunction.end()) {
                continue;
            }
            const double pathTime = median(path->second);
            const double copyTime = median(copy->second);
            std::printf(
                "%s frames: signal path %.0f ns, copy %.0f ns (CPU time), ratio %.1fx (target <= 8x)\n",
                frames.c_str(), pathTime, copyTime, pathTime / copyTime);
        }
    }

private:
    static double median(std::vector<double> values) {
        std::sort(values.begin(), values.end());
        return values[values.size() / 2];
    }

    std::map<std::string, std::map<std::string, std::vector<double>>> times_;
};

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    reporter.printRatios();
    return 0;
}
