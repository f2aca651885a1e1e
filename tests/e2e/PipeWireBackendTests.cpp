// The PipeWire backend and the recorder in this process, against a real, private PipeWire + WirePlumber +
// pipewire-pulse (scripts/audio-sandbox.sh run): what its IO blocks deliver, on which thread and without
// allocating, whom a tap leaves out, who the server says records the microphone, and a recording through a
// server restart and a server that goes away for good.
#include "AllocationCounter.h"
#include "LogSince.h"
#include "MediaTestSupport.h"
#include "Platform/Audio/PipeWire/PipeWireAudioHardware.h"
#include "QuilloraCore/AggregateDevice.h"
#include "QuilloraCore/CallDetector.h"
#include "QuilloraCore/CallRecorder.h"
#include "QuilloraCore/CoreAudioHelpers.h"
#include "QuilloraCore/SystemAudioTap.h"
#include "SandboxSupport.h"

#include <QProcess>
#include <atomic>
#include <gtest/gtest.h>
#include <map>
#include <thread>
#include <unistd.h>
#include <variant>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kQuantum = 1024; // the sandbox forces it
constexpr std::size_t kBlocks = 60, kSettled = 15, kChannels = 5;

// The channels of every stream, one after the other, and the allocations of the real-time thread, kept in
// memory reserved up front so that the IO block itself never allocates.
struct Captured {
    std::vector<float> samples[kChannels];
    uint64_t allocations[kBlocks] = {};
    std::size_t frames = 0;
    std::thread::id thread;
    std::atomic<std::size_t> count{0};

    Captured() {
        for (auto& channel : samples) {
            channel.resize(kBlocks * kQuantum);
        }
    }
    void onBlock(const AudioBufferList& input) {
        const std::size_t index = count.load(std::memory_order_relaxed);
        if (index >= kBlocks) {
            return;
        }
        thread = std::this_thread::get_id();
        allocations[index] = allocationsOnThisThread();
        std::size_t channel = 0;
        for (uint32_t b = 0; b < input.mNumberBuffers; ++b) {
            const AudioBuffer& buffer = input.mBuffers[b];
            const auto* data = static_cast<const float*>(buffer.mData);
            const std::size_t n = std::min<std::size_t>(
                buffer.mDataByteSize / (buffer.mNumberChannels * sizeof(float)), kQuantum);
            for (uint32_t c = 0; c < buffer.mNumberChannels && channel < kChannels; ++c, ++channel) {
                for (std::size_t i = 0; i < n; ++i) {
                    samples[channel][frames + i] = data[i * buffer.mNumberChannels + c];
                }
            }
        }
        frames += kQuantum;
        count.store(index + 1, std::memory_order_release);
    }
    double amplitude(std::size_t channel, double frequency) const {
        const std::size_t begin = kSettled * kQuantum; // the links form within ~100 ms
        return toneAmplitude(samples[channel], begin, frames - begin, frequency, 48000);
    }
};

TEST(PipeWireBackend, deliversTheMicrophoneAndEachTapWithoutAllocatingAndLeavesOutTheExcluded) {
    const SandboxProcess microphone("mic mic1 440");
    const SandboxProcess excluded("play spk1 2000 60 player-2000");
    const SandboxProcess other("play spk1 1000 60 player-1000");
    AudioHardware& hardware = AudioHardware::shared();

    // Led by the microphone; the first tap leaves out the 2000 Hz player, the second takes everything.
    AggregateDeviceDescription description;
    description.uid = "com.tandrevel.quillora.aggregate.test";
    description.isPrivate = true;
    description.master = "mic1";
    description.subdevices.push_back({"mic1"});
    std::vector<AudioObjectID> taps;
    int number = 0;
    for (auto exclusion : {std::vector<AudioObjectID>{CoreAudio::processObject(excluded.pid())},
                           std::vector<AudioObjectID>{}}) {
        CATapDescription tap = CATapDescription::stereoGlobalTapButExcludeProcesses(std::move(exclusion));
        tap.uuid = "0A0B0C0D-0000-4000-8000-00000000000" + std::to_string(++number);
        tap.isPrivate = true;
        ASSERT_EQ(hardware.createProcessTap(tap, &taps.emplace_back()), kAudioHardwareNoError);
        description.taps.push_back({tap.uuid, true});
    }
    AudioObjectID aggregate = kAudioObjectUnknown;
    ASSERT_EQ(hardware.createAggregateDevice(description, &aggregate), kAudioHardwareNoError);
    const std::string node = "node-id " + description.uid;
    EXPECT_FALSE(sandbox(node).empty()) << "the aggregate is a node on the server";

    Captured captured;
    AudioDeviceIOProcID proc = 0;
    ASSERT_EQ(hardware.createIOProcIDWithBlock(
                  aggregate,
                  [&](const AudioTimeStamp*, const AudioBufferList* input, const AudioTimeStamp*,
                      AudioBufferList*, const AudioTimeStamp*) { captured.onBlock(*input); },
                  &proc),
              kAudioHardwareNoError);
    ASSERT_EQ(hardware.deviceStart(aggregate, proc), kAudioHardwareNoError);
    ASSERT_TRUE(waitUntil([&] { return captured.count.load() >= kBlocks; }, 10000ms));
    EXPECT_EQ(hardware.deviceStop(aggregate, proc), kAudioHardwareNoError);
    hardware.destroyIOProcID(aggregate, proc);

    EXPECT_NE(captured.thread, std::this_thread::get_id()) << "IO blocks run on PipeWire's thread";
    // Steady state: the real-time thread makes no heap allocation at all, neither in our callback path
    // nor in PipeWire's cycle around it.
    EXPECT_EQ(captured.allocations[kBlocks - 1] - captured.allocations[kSettled], 0u);
    EXPECT_GT(captured.amplitude(0, 440), 0.2) << "the microphone leads";
    EXPECT_LT(captured.amplitude(0, 1000), 0.01);
    for (const std::size_t side : {1u, 2u}) {
        EXPECT_GT(captured.amplitude(side, 1000), 0.2) << side;
        EXPECT_LT(captured.amplitude(side, 2000), 0.01) << side;
        EXPECT_LT(captured.amplitude(side, 440), 0.01) << side;
    }
    EXPECT_GT(captured.amplitude(3, 2000), 0.2);
    EXPECT_GT(captured.amplitude(4, 1000), 0.2);

    // Destroying the aggregate removes its node from the server.
    hardware.destroyAggregateDevice(aggregate);
    for (const AudioObjectID tap : taps) {
        hardware.destroyProcessTap(tap);
    }
    EXPECT_TRUE(sandbox(node).empty());
}

// "PID=IDENTIFIER …" in pid order.
std::string describe(const std::map<int32_t, std::string>& users) {
    std::string text;
    for (const auto& [pid, identifier] : users) {
        text += std::to_string(pid) + "=" + identifier + " ";
    }
    return text;
}

// Every process running audio input, as the engine sees it.
std::string microphoneUsers() {
    std::map<int32_t, std::string> users;
    for (const MicrophoneClient& client : CallDetector::microphoneClients()) {
        users[client.pid] = client.bundleID;
    }
    return describe(users);
}

// Everyone at once: native and PulseAudio recorders of the microphone, a monitor recorder, a loopback inside
// pipewire-pulse and our own capture.
TEST(CallDetection, NamesTheMicrophoneRecordersAndLeavesOutMonitorsLoopbacksAndOurOwnCapture) {
    const SandboxProcess microphone("mic mic1 440");
    sandbox("default-source mic1");
    const auto callApps = [] { return CallDetector::callApps(CallDetector::microphoneClients(), getpid()); };
    ASSERT_TRUE(waitUntil([&] { return callApps().empty(); })) << microphoneUsers();
    // Our own recording of the microphone, as the application makes it.
    TemporaryDirectory folder;
    CallRecorder recorder(folder / "own.m4a", std::nullopt);
    ASSERT_NO_THROW(recorder.start(true));
    ASSERT_EQ(recorder.microphoneName(), std::optional<std::string>("mic1"));

    const auto monitorFile = folder / "monitor.wav";
    const SandboxProcess monitor("record-monitor spk1 " + monitorFile.string());
    const std::string module = shell("pactl load-module module-loopback source=mic1 sink=spk1");
    ASSERT_FALSE(module.empty());
    const SandboxProcess native("record-mic mic1 " + (folder / "native.wav").string());
    // A PulseAudio client with only a name: libpulse also reports the executable ("pacat", which parecord
    // is a link to), and the executable comes first. The other states an application id, as sandboxed and
    // well-behaved applications do.
    SandboxProcess named("spawn named parecord --client-name=Softphone " + (folder / "named.wav").string());
    SandboxProcess identified("spawn identified env PULSE_PROP=application.id=org.example.Softphone parecord "
                              "--client-name=Softphone " +
                              (folder / "identified.wav").string());
    // The loopback's capture stream does use the microphone, under the protocol server's pid (not the
    // PulseAudio clients' pid). The monitor recorder has a capture stream, but not of a microphone. The
    // backend hides our own nodes: the pid filter is not what keeps us out.
    const int32_t pulseServer = std::stoi(sandbox("daemon-pid pipewire-pulse"));
    const std::string expected = describe({{native.pid(), "pw-cat"},
                                           {named.pid(), "pacat"},
                                           {identified.pid(), "org.example.Softphone"},
                                           {pulseServer, "pipewire"}});
    std::string users;
    EXPECT_TRUE(waitUntil([&] {
        users = microphoneUsers();
        std::error_code error;
        return users == expected && std::filesystem::file_size(monitorFile, error) > 8192;
    })) << users
        << " instead of " << expected;
    // Recording tools (pw-record, parecord) are never offered as calls.
    EXPECT_EQ(callApps(), std::vector<std::string>{"org.example.Softphone"}) << users;

    // Gone as soon as it ends.
    named.stop();
    identified.stop();
    EXPECT_TRUE(waitUntil([&] { return callApps().empty(); }));
    shell("pactl unload-module " + module);
    // Our capture really read the microphone (a full-scale tone) while the graph was looked at.
    const CallRecorder::Stats stats = recorder.stop();
    EXPECT_GT(stats.micPeakRMS, 0.1f);
}

// Runs the sandbox script without blocking the main thread, so that the recorder's watchdog, listeners and
// events go on meanwhile, as they would in the application. `meanwhile` runs at every turn of the wait.
std::string sandboxInBackground(const QString& command, const std::function<void()>& meanwhile = {}) {
    QProcess process;
    process.start(QStringLiteral(QUILLORA_SANDBOX_SCRIPT), {command});
    EXPECT_TRUE(waitUntil(
        [&] {
            if (meanwhile) {
                meanwhile();
            }
            return process.state() == QProcess::NotRunning;
        },
        30000ms));
    EXPECT_EQ(process.exitCode(), 0) << "audio-sandbox.sh " << command.toStdString();
    return process.readAllStandardOutput().trimmed().toStdString();
}

// The call: a microphone (440 Hz), the default one, and a far end (1000 Hz) playing into the speaker.
// Players do not reconnect to a new server: they are replaced.
std::vector<std::unique_ptr<SandboxProcess>> startCall() {
    std::vector<std::unique_ptr<SandboxProcess>> players;
    players.push_back(std::make_unique<SandboxProcess>("mic mic1 440"));
    players.push_back(std::make_unique<SandboxProcess>("play spk1 1000 3600 far-end"));
    sandbox("default-source mic1");
    return players;
}

// The last test of the program: the server stays away.
TEST(ServerRestart, RecordingGoesOnWhenTheServerIsBackAndEndsWithOneFailureWhenItStaysAway) {
    auto players = startCall();
    const LogSince log;
    TemporaryDirectory dir;
    const auto output = dir / "restart.m4a";
    CallRecorder recorder(output, std::nullopt);
    std::vector<std::string> events;
    recorder.onEvent = [&](const CallRecorder::Event& event) {
        const auto* failure = std::get_if<CallRecorder::Failure>(&event);
        events.push_back(failure != nullptr
                             ? "failure: " + failure->message
                             : "microphoneChanged: " +
                                   std::get<CallRecorder::MicrophoneChanged>(event).name.value_or("-"));
    };
    recorder.start(true);
    ASSERT_EQ(recorder.microphoneName(), "mic1");
    const auto started = Clock::now();
    runEventsFor(2s);
    const int64_t callbacksBefore = recorder.callbackCount();
    ASSERT_GT(callbacksBefore, 60);

    // The watchdog needs a whole interval without audio before it rebuilds: 2 to 4 s after the server's
    // end, by when the server, its session manager and the devices are back.
    const std::string awayMs = sandboxInBackground("restart");
    players = startCall();
    ASSERT_TRUE(waitUntil([&] { return recorder.restartCount() >= 1; }, 6000ms))
        << "away for " << awayMs << " ms\n"
        << log.text();
    runEventsFor(2s);
    ASSERT_TRUE(recorder.isRunning()) << log.text();
    EXPECT_EQ(recorder.microphoneName(), "mic1");
    for (const auto& event : events) {
        EXPECT_EQ(event, "microphoneChanged: mic1")
            << "at most the microphone back after a rebuild too early";
    }

    // Now the server goes for good. When the last block arrived, as seen from here (to within a callback
    // and a turn of the wait):
    int64_t callbacks = recorder.callbackCount();
    auto lastBlock = Clock::now();
    const std::size_t eventsBefore = events.size();
    sandboxInBackground("server-stop", [&] {
        if (const int64_t count = recorder.callbackCount(); count != callbacks) {
            callbacks = count;
            lastBlock = Clock::now();
        }
    });
    ASSERT_TRUE(waitUntil([&] { return !recorder.isRunning(); }, 8000ms)) << log.text();
    runEventsFor(4500ms); // long enough for two more watchdog ticks, had the watchdog survived
    EXPECT_EQ(recorder.callbackCount(), callbacks);
    ASSERT_EQ(events.size(), eventsBefore + 1) << log.text();
    EXPECT_TRUE(events.back().starts_with("failure: Riavvio della cattura non riuscito: ")) << events.back();

    // One closed, finished file holding every block captured: both sides before the restart and after it,
    // the time without a server simply missing.
    EXPECT_FALSE(containsMovieFragments(output));
    const DecodedAudio decoded = decodeAudioFile(output);
    const auto captured = static_cast<long long>(callbacks * kQuantum);
    EXPECT_LE(std::llabs(static_cast<long long>(decoded.frames()) - captured), 2 * 1024)
        << "decoded " << decoded.frames() << " frames, captured " << captured;
    const std::size_t after = decoded.frames() - 48000; // the last second: the new capture
    ASSERT_GT(after, static_cast<std::size_t>(callbacksBefore * kQuantum));
    for (const std::size_t at : {std::size_t{24000}, after}) {
        EXPECT_GT(toneAmplitude(decoded.channels.at(0), at, 48000, 440, 48000), 0.1)
            << "the microphone at " << at;
        EXPECT_GT(toneAmplitude(decoded.channels.at(0), at, 48000, 1000, 48000), 0.1)
            << "the far end at " << at;
    }
    EXPECT_LT(decoded.seconds(), std::chrono::duration<double>(lastBlock - started).count() - 1.5);
}

} // namespace

int main(int argc, char** argv) {
    // PulseAudio clients must reach the sandbox's pipewire-pulse, and only it.
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime == nullptr || access((std::string(runtime) + "/pulse/native").c_str(), F_OK) != 0) {
        std::fprintf(stderr, "the sandbox runs without pipewire-pulse: start it without --no-pulse\n");
        return 1;
    }
    return runInsideSandbox(
        argc, argv,
        [] {
            sandbox("speaker spk1 'Speaker 1'");
            sandbox("default-sink spk1");
            AudioHardware::setShared(std::make_unique<PipeWireAudioHardware>());
        },
        [] { AudioHardware::setShared(nullptr); });
}
