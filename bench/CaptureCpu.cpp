// What capturing costs on PipeWire: one aggregate (a mono microphone and the system-audio tap, with a
// player running) whose IO block only counts, on a private sandbox (scripts/audio-sandbox.sh; the program
// starts one for itself when run outside). Reports the time to connect, to create the tap and the aggregate
// and from deviceStart to the first IO block, this process's CPU while capturing, and the PipeWire
// daemon's CPU with and without the capture.
// QUILLORA_BENCH_SECONDS sets the capture length (default 10).
#include "Platform/Audio/PipeWire/PipeWireAudioHardware.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

std::string sandbox(const std::string& arguments) {
    const std::string command = std::string(QUILLORA_SANDBOX_SCRIPT) + " " + arguments;
    FILE* pipe = popen(command.c_str(), "r");
    std::string output;
    char chunk[128];
    while (pipe != nullptr && std::fgets(chunk, sizeof(chunk), pipe) != nullptr) {
        output += chunk;
    }
    if (pipe == nullptr || pclose(pipe) != 0) {
        std::fprintf(stderr, "failed: %s\n", command.c_str());
        std::exit(1);
    }
    return output;
}

double seconds() {
    const char* text = std::getenv("QUILLORA_BENCH_SECONDS");
    return text != nullptr ? std::atof(text) : 10.0;
}

// CPU seconds (user + system) of this process, all threads.
double ownCpu() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// CPU seconds of another process, from /proc/<pid>/stat (fields 14 and 15, in clock ticks).
double processCpu(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    double ticks = 0;
    for (int index = 3; fields >> field; ++index) {
        if (index == 14 || index == 15) {
            ticks += std::stod(field);
        }
    }
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

pid_t daemonPid() {
    std::ifstream pids(std::string(std::getenv("QUILLORA_SANDBOX_DIR")) + "/pids");
    pid_t pid = 0;
    std::string kind;
    std::string name;
    while (pids >> pid >> kind >> name) {
        if (kind == "daemon" && name == "pipewire") {
            return pid;
        }
    }
    return 0;
}

std::string newUuid() {
    std::mt19937_64 generator(std::random_device{}());
    std::string uuid;
    for (int i = 0; i < 32; ++i) {
        if (i == 8 || i == 12 || i == 16 || i == 20) {
            uuid.push_back('-');
        }
        uuid.push_back("0123456789ABCDEF"[generator() % 16]);
    }
    return uuid;
}

void captureCost(benchmark::State& state) {
    sandbox("speaker spk1 'Speaker 1'");
    sandbox("default-sink spk1");
    sandbox("mic mic1 440");
    sandbox("play spk1 1000");
    const pid_t server = daemonPid();

    const auto connecting = Clock::now();
    PipeWireAudioHardware hardware;
    const double connectMs = std::chrono::duration<double, std::milli>(Clock::now() - connecting).count();
    AudioObjectID self = kAudioObjectUnknown;
    uint32_t size = sizeof(self);
    const int32_t pid = getpid();
    hardware.getPropertyData(
        kAudioObjectSystemObject,
        {kAudioHardwarePropertyTranslatePIDToProcessObject, kAudioObjectPropertyScopeGlobal, 0}, sizeof(pid),
        &pid, &size, &self);
    CATapDescription tap = CATapDescription::stereoGlobalTapButExcludeProcesses({self});
    tap.uuid = newUuid();
    AudioObjectID tapID = kAudioObjectUnknown;
    AggregateDeviceDescription description;
    description.name = "Quillora";
    description.uid = "com.tandrevel.quillora.aggregate." + newUuid();
    description.taps.push_back({tap.uuid, true});
    description.master = "mic1";
    description.subdevices.push_back({"mic1"});
    AudioObjectID aggregate = kAudioObjectUnknown;
    const auto creating = Clock::now();
    if (hardware.createProcessTap(tap, &tapID) != 0 ||
        hardware.createAggregateDevice(description, &aggregate) != 0) {
        state.SkipWithError("cannot create the tap and the aggregate");
        return;
    }
    const double createMs = std::chrono::duration<double, std::milli>(Clock::now() - creating).count();
    std::atomic<uint64_t> callbacks{0};
    std::atomic<int64_t> firstBlockNs{0};
    AudioDeviceIOProcID proc = 0;
    hardware.createIOProcIDWithBlock(
        aggregate,
        [&](const AudioTimeStamp*, const AudioBufferList*, const AudioTimeStamp*, AudioBufferList*,
            const AudioTimeStamp*) {
            if (callbacks.fetch_add(1, std::memory_order_relaxed) == 0) {
                firstBlockNs = Clock::now().time_since_epoch().count();
            }
        },
        &proc);

    const double length = seconds();
    for (auto _ : state) {
        // The sandbox with a microphone and a player, nobody capturing.
        const double idleServerBefore = processCpu(server);
        std::this_thread::sleep_for(std::chrono::duration<double>(length / 2));
        const double idleServer = (processCpu(server) - idleServerBefore) / (length / 2);

        callbacks = 0;
        const double ownBefore = ownCpu();
        const double serverBefore = processCpu(server);
        const auto started = Clock::now();
        hardware.deviceStart(aggregate, proc);
        std::this_thread::sleep_for(std::chrono::duration<double>(length));
        const double elapsed = std::chrono::duration<double>(Clock::now() - started).count();
        const double own = (ownCpu() - ownBefore) / elapsed;
        const double busyServer = (processCpu(server) - serverBefore) / elapsed;
        hardware.deviceStop(aggregate, proc);

        state.SetIterationTime(elapsed);
        state.counters["connect_ms"] = connectMs;
        state.counters["create_ms"] = createMs;
        state.counters["first_block_ms"] =
            static_cast<double>(firstBlockNs.load() - started.time_since_epoch().count()) / 1e6;
        state.counters["callbacks_per_s"] = static_cast<double>(callbacks.load()) / elapsed;
        state.counters["capture_cpu_pct"] = own * 100;
        state.counters["server_cpu_pct"] = busyServer * 100;
        state.counters["server_idle_cpu_pct"] = idleServer * 100;
    }
    hardware.destroyIOProcID(aggregate, proc);
    hardware.destroyAggregateDevice(aggregate);
    hardware.destroyProcessTap(tapID);
}

BENCHMARK(captureCost)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

} // namespace

int main(int argc, char** argv) {
    // Never against the user's own server: outside a sandbox, start one and run again inside it.
    if (std::getenv("QUILLORA_SANDBOX_DIR") == nullptr) {
        std::vector<char*> arguments;
        std::string script = QUILLORA_SANDBOX_SCRIPT;
        std::string run = "run";
        std::string noPulse = "--no-pulse";
        std::string separator = "--";
        arguments = {script.data(), run.data(), noPulse.data(), separator.data()};
        for (int i = 0; i < argc; ++i) {
            arguments.push_back(argv[i]);
        }
        arguments.push_back(nullptr);
        execv(script.c_str(), arguments.data());
        std::perror("cannot start the sandbox");
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
