// A one-hour call recorded by the whole engine (CallRecorder with its block ring, writer queue, track
// writer and AAC file) on the simulated audio system, as fast as the machine allows, to show that memory
// stays flat over a long recording. Reports the resident set size after 0, 15, 30, 45 and 60 minutes of
// audio, the peak, and the wall and CPU time of the whole run (all threads).
// QUILLORA_SOAK_MINUTES shortens the call for a quick look.
#include "Platform/Audio/Simulated/SimulatedAudioHardware.h"
#include "QuilloraCore/CallRecorder.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QTemporaryDir>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/resource.h>

namespace {

constexpr double sampleRate = 48000;
constexpr uint32_t blockFrames = 1024;
// Cycles per turn: about 5 s of audio, well inside the block ring, so the writer never has to drop.
constexpr uint64_t cyclesPerTurn = 250;

double callMinutes() {
    const char* minutes = std::getenv("QUILLORA_SOAK_MINUTES");
    return minutes != nullptr ? std::atof(minutes) : 60.0;
}

// "VmRSS" or "VmHWM" of this process, in MiB.
double memoryMiB(const std::string& field) {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind(field + ":", 0) == 0) {
            return std::atof(line.c_str() + field.size() + 1) / 1024.0;
        }
    }
    return 0;
}

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

void recordOneHour(benchmark::State& state) {
    for (auto _ : state) {
        QTemporaryDir folder;
        auto owned = std::make_unique<SimulatedAudioHardware>();
        SimulatedAudioHardware& sim = *owned;
        AudioHardware::setShared(std::move(owned));
        SimulatedAudioHardware::DeviceConfig speakers;
        speakers.name = "Altoparlanti";
        speakers.uid = "speakers";
        speakers.outputStreams = {2};
        speakers.output = SimulatedAudioHardware::Signal::voice(220, 0.2f, 1.8);
        sim.addDevice(speakers);
        SimulatedAudioHardware::DeviceConfig mic;
        mic.name = "Microfono";
        mic.uid = "mic";
        mic.inputStreams = {1};
        mic.input = SimulatedAudioHardware::Signal::voice(150, 0.25f);
        sim.addDevice(mic);

        const auto totalCycles = static_cast<uint64_t>(callMinutes() * 60 * sampleRate / blockFrames);
        const uint64_t quarter = std::max<uint64_t>(totalCycles / 4, 1);
        const auto wallStart = std::chrono::steady_clock::now();
        const double cpuStart = cpuSeconds();
        {
            CallRecorder recorder(folder.filePath("soak.m4a").toStdString(), std::nullopt);
            recorder.start(true);
            std::vector<double> rss{memoryMiB("VmRSS")}; // after 0, 15, 30, 45 and 60 minutes
            uint64_t done = 0;
            uint64_t nextMark = quarter;
            while (done < totalCycles) {
                const uint64_t turn = std::min(cyclesPerTurn, totalCycles - done);
                sim.runCycles(turn);
                recorder.waitForWriter();
                QCoreApplication::processEvents(); // the watchdog's ticks
                done += turn;
                while (rss.size() < 5 && done >= nextMark) {
                    rss.push_back(memoryMiB("VmRSS"));
                    nextMark += quarter;
                }
            }
            const CallRecorder::Stats stats = recorder.stop();
            state.counters["audio_minutes"] = stats.seconds / 60;
            state.counters["restarts"] = recorder.restartCount();
            state.counters["dropped_blocks"] = static_cast<double>(recorder.droppedBlocks());
            state.counters["file_MiB"] =
                static_cast<double>(std::filesystem::file_size(folder.filePath("soak.m4a").toStdString())) /
                (1024.0 * 1024.0);
            const char* names[] = {"rss_00m_MiB", "rss_15m_MiB", "rss_30m_MiB", "rss_45m_MiB", "rss_60m_MiB"};
            for (std::size_t i = 0; i < rss.size() && i < 5; ++i) {
                state.counters[names[i]] = rss[i];
            }
        }
        state.counters["rss_after_stop_MiB"] = memoryMiB("VmRSS");
        state.counters["rss_peak_MiB"] = memoryMiB("VmHWM");
        state.counters["wall_s"] =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
        state.counters["cpu_s_all_threads"] = cpuSeconds() - cpuStart;
        AudioHardware::setShared(nullptr);
    }
}

BENCHMARK(recordOneHour)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime()->MeasureProcessCPUTime();

} // namespace

int main(int argc, char** argv) {
    // Keep the run's log lines out of the user's log.
    QTemporaryDir state;
    setenv("XDG_STATE_HOME", state.path().toLocal8Bit().constData(), 1);
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
