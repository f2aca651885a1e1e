// CPU cost of the whole recording path (TrackWriter: downmix, measure, level, mix, limit, encode AAC,
// write the fragmented MP4 and tidy it into an ordinary one) for a ten-minute synthetic call, against the
// ffmpeg command line encoding the same stereo samples from a raw file:
//   ffmpeg -f f32le -ar 48000 -ac 2 -i call.raw -c:a aac -b:a 160k out.m4a
// Each repetition runs each side twice (ffmpeg, writer, writer, ffmpeg) and reports the means; the ratio
// (writer CPU / ffmpeg user+sys CPU) is the figure to watch, with 1.10 as the ceiling.
// QUILLORA_BENCH_MINUTES shortens the call for a quick look.
#include "QuilloraCore/Mixer.h"
#include "QuilloraCore/TrackWriter.h"
#include "QuilloraCore/VoiceLeveler.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <numbers>
#include <spawn.h>
#include <stdexcept>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <vector>

extern char** environ;

namespace {

constexpr double sampleRate = 48000;
constexpr int blockFrames = 1024;
// The material repeats every 1500 blocks (32 s), which keeps it in memory; the encoder cannot tell.
constexpr std::size_t cycleBlocks = 1500;

std::size_t callBlocks() {
    const char* minutes = std::getenv("QUILLORA_BENCH_MINUTES");
    const double length = minutes != nullptr ? std::atof(minutes) : 10.0;
    return static_cast<std::size_t>(length * 60 * sampleRate / blockFrames);
}

// A voice-like signal: a few harmonics of a gliding pitch, syllable-shaped, in bursts with pauses.
class Talker {
public:
    Talker(double pitch, double burstSeconds, double phase, uint32_t seed)
        : pitch_(pitch), burst_(burstSeconds), phase_(phase), seed_(seed) {}

    float next(double t) {
        seed_ = seed_ * 1664525u + 1013904223u;
        const float noise = static_cast<float>(seed_ >> 8) / 16777216.0f - 0.5f;
        const bool talking = std::fmod(t + phase_, 2 * burst_) < burst_;
        const double syllable = 0.5 + 0.5 * std::sin(2 * std::numbers::pi * 4 * t);
        const double f0 = pitch_ * (1 + 0.1 * std::sin(2 * std::numbers::pi * 0.7 * t));
        phaseAcc_ += 2 * std::numbers::pi * f0 / sampleRate;
        double voice = 0;
        for (int h = 1; h <= 6; ++h) {
            voice += std::sin(h * phaseAcc_) / h;
        }
        const double envelope = talking ? 0.15 * syllable : 0.0;
        return static_cast<float>(envelope * voice) + 0.002f * noise;
    }

private:
    double pitch_;
    double burst_;
    double phase_;
    uint32_t seed_;
    double phaseAcc_ = 0;
};

struct Call {
    std::vector<Mixer::Channels> mic;    // mono
    std::vector<Mixer::Channels> system; // stereo

    Call() {
        Talker user(140, 3.0, 0.0, 7);
        Talker farEnd(210, 2.5, 2.5, 11);
        for (std::size_t b = 0; b < cycleBlocks; ++b) {
            Mixer::Channel voice(blockFrames);
            Mixer::Channel left(blockFrames);
            Mixer::Channel right(blockFrames);
            for (int i = 0; i < blockFrames; ++i) {
                const double t =
                    static_cast<double>(b * blockFrames + static_cast<std::size_t>(i)) / sampleRate;
                voice[static_cast<std::size_t>(i)] = 0.3f * user.next(t); // a quiet microphone
                const float far = farEnd.next(t);
                left[static_cast<std::size_t>(i)] = far;
                right[static_cast<std::size_t>(i)] = 0.9f * far;
            }
            mic.push_back({std::move(voice)});
            system.push_back({std::move(left), std::move(right)});
        }
    }
};

const Call& call() {
    static const Call material;
    return material;
}

// The exact stereo the writer hands to its encoder, as raw 32-bit float for the ffmpeg command line.
void writeRawMix(const std::filesystem::path& path, std::size_t blocks) {
    std::ofstream out(path, std::ios::binary);
    VoiceLeveler leveler;
    std::vector<float> interleaved(2 * blockFrames);
    for (std::size_t b = 0; b < blocks; ++b) {
        const auto& mic = call().mic[b % cycleBlocks];
        const auto& system = call().system[b % cycleBlocks];
        const Mixer::Stereo call = Mixer::toStereo(system, blockFrames);
        const float systemRMS = std::max(Mixer::rms(call.left), Mixer::rms(call.right));
        const Mixer::Channels voice{
            leveler.process(Mixer::downmixToMono(mic, blockFrames), systemRMS, sampleRate)};
        const Mixer::Stereo mix = Mixer::mix(voice, system, blockFrames, 1, 1);
        for (int i = 0; i < blockFrames; ++i) {
            interleaved[2 * static_cast<std::size_t>(i)] = mix.left[static_cast<std::size_t>(i)];
            interleaved[2 * static_cast<std::size_t>(i) + 1] = mix.right[static_cast<std::size_t>(i)];
        }
        out.write(reinterpret_cast<const char*>(interleaved.data()),
                  static_cast<std::streamsize>(interleaved.size() * sizeof(float)));
    }
    if (!out) {
        throw std::runtime_error("cannot write " + path.string());
    }
}

double processCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

double seconds(const timeval& time) {
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) * 1e-6;
}

// Runs the ffmpeg command line and returns its user + system CPU time.
double ffmpegCpuSeconds(const std::filesystem::path& raw, const std::filesystem::path& out) {
    std::vector<std::string> args{"ffmpeg", "-nostdin", "-hide_banner", "-loglevel",  "error",
                                  "-y",     "-f",       "f32le",        "-ar",        "48000",
                                  "-ac",    "2",        "-i",           raw.string(), "-c:a",
                                  "aac",    "-b:a",     "160k",         out.string()};
    std::vector<char*> argv;
    for (auto& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawnp(&pid, "ffmpeg", nullptr, nullptr, argv.data(), environ) != 0) {
        throw std::runtime_error("cannot start ffmpeg");
    }
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        throw std::runtime_error("ffmpeg failed");
    }
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

void writerAgainstFfmpeg(benchmark::State& state) {
    const std::size_t blocks = callBlocks();
    const std::filesystem::path folder = std::filesystem::temp_directory_path() / "quillora-writer-bench";
    std::filesystem::create_directories(folder);
    const auto raw = folder / "call.raw";
    writeRawMix(raw, blocks);

    const auto runWriter = [&] {
        const double start = processCpuSeconds();
        {
            TrackWriter writer(folder / "writer.m4a", std::nullopt, std::make_shared<LevelMeter>());
            for (std::size_t b = 0; b < blocks; ++b) {
                writer.write(call().mic[b % cycleBlocks], call().system[b % cycleBlocks], blockFrames,
                             sampleRate);
            }
        } // the destructor finishes the file: encoder flush, trailer, rewrite
        return processCpuSeconds() - start;
    };

    double writerTotal = 0;
    double ffmpegTotal = 0;
    for (auto _ : state) {
        // ffmpeg, writer, writer, ffmpeg: whatever else the machine does drifts over both sides alike.
        double ffmpeg = ffmpegCpuSeconds(raw, folder / "ffmpeg.m4a");
        double writer = runWriter();
        writer += runWriter();
        ffmpeg += ffmpegCpuSeconds(raw, folder / "ffmpeg.m4a");

        state.SetIterationTime(writer / 2);
        writerTotal += writer / 2;
        ffmpegTotal += ffmpeg / 2;
    }
    state.counters["writer_cpu_s"] = writerTotal / static_cast<double>(state.iterations());
    state.counters["ffmpeg_cpu_s"] = ffmpegTotal / static_cast<double>(state.iterations());
    state.counters["ratio"] = writerTotal / ffmpegTotal;
    state.counters["audio_s"] = static_cast<double>(blocks * blockFrames) / sampleRate;
    std::filesystem::remove_all(folder);
}

// How long finishing takes at the end of a long call: the encoder's flush, the trailer and the rewrite of
// the fragmented file into an ordinary MP4, in wall time, as stop() waits for it.
// QUILLORA_FINISH_MINUTES sets the call's length (default two hours).
void finishLongCall(benchmark::State& state) {
    const char* minutes = std::getenv("QUILLORA_FINISH_MINUTES");
    const double length = minutes != nullptr ? std::atof(minutes) : 120.0;
    const auto blocks = static_cast<std::size_t>(length * 60 * sampleRate / blockFrames);
    const std::filesystem::path folder = std::filesystem::temp_directory_path() / "quillora-finish-bench";
    std::filesystem::create_directories(folder);
    for (auto _ : state) {
        auto writer =
            std::make_unique<TrackWriter>(folder / "long.m4a", std::nullopt, std::make_shared<LevelMeter>());
        for (std::size_t b = 0; b < blocks; ++b) {
            writer->write(call().mic[b % cycleBlocks], call().system[b % cycleBlocks], blockFrames,
                          sampleRate);
        }
        const auto start = std::chrono::steady_clock::now();
        writer.reset();
        const std::chrono::duration<double> finishing = std::chrono::steady_clock::now() - start;
        state.SetIterationTime(finishing.count());
        state.counters["call_minutes"] = length;
        state.counters["file_MB"] =
            static_cast<double>(std::filesystem::file_size(folder / "long.m4a")) / 1e6;
    }
    std::filesystem::remove_all(folder);
}

} // namespace

BENCHMARK(finishLongCall)
    ->Name("WriterPipeline/FinishLongCall")
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

BENCHMARK(writerAgainstFfmpeg)
    ->Name("WriterPipeline/TenMinuteCallVsFfmpeg")
    ->UseManualTime()
    ->Unit(benchmark::kSecond)
    ->Iterations(1)
    ->Repetitions(3)
    ->ReportAggregatesOnly(false);

BENCHMARK_MAIN();
