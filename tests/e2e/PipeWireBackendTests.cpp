// The PipeWire backend in this process against a real, private server with pipewire-pulse: its IO blocks,
// their thread and allocations, whom a tap leaves out, who records the microphone.
#include "AllocationCounter.h"
#include "MediaTestSupport.h"
#include "Platform/Audio/PipeWire/PipeWireAudioHardware.h"
#include "QuilloraCore/CallDetector.h"
#include "QuilloraCore/CallRecorder.h"
#include "QuilloraCore/CoreAudioHelpers.h"
#include "SandboxSupport.h"

#include <atomic>
#include <gtest/gtest.h>
#include <map>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

constexpr uint32_t kQuantum = 1024; // the sandbox forces it
constexpr std::size_t kBlocks = 60, kSettled = 15, kChannels = 5;

// The channels of every stream one after the other (microphone, first tap, second tap) and the real-time
// thread's allocations, in memory reserved up front so that the IO block itself never allocates.
struct Captured {
    std::vector<std::vector<float>> samples = std::vector(kChannels, std::vector<float>(kBlocks* kQuantum));
    uint64_t allocations[kBlocks] = {};
    std::thread::id thread;
    std::atomic<std::size_t> count{0};

    void onBlock(const AudioBufferList& input) {
        const std::size_t index = count.load(std::memory_order_relaxed);
        if (index >= kBlocks) {
            return;
        }
        thread = std::this_thread::get_id();
        allocations[index] = allocationsOnThisThread();
        for (uint32_t b = 0, channel = 0; b < input.mNumberBuffers; ++b) {
            const AudioBuffer& buffer = input.mBuffers[b];
            const std::size_t n =
                std::min<std::size_t>(buffer.mDataByteSize / (buffer.mNumberChannels * 4), kQuantum);
            for (uint32_t c = 0; c < buffer.mNumberChannels && channel < kChannels; ++c, ++channel) {
                for (std::size_t i = 0; i < n; ++i) {
                    samples[channel][index * kQuantum + i] =
                        static_cast<const float*>(buffer.mData)[i * buffer.mNumberChannels + c];
                }
            }
        }
        count.store(index + 1, std::memory_order_release);
    }
    double amplitude(std::size_t channel, double frequency) const { // the links form within ~100 ms
        return toneAmplitude(samples[channel], kSettled * kQuantum, (kBlocks - kSettled) * kQuantum,
                             frequency, 48000);
    }
};

TEST(PipeWireBackend, deliversTheMicrophoneAndEachTapWithoutAllocatingAndLeavesOutTheExcluded) {
    const SandboxProcess microphone("mic mic1 440");
    const SandboxProcess excluded("play spk1 2000 60 player-2000");
    const SandboxProcess other("play spk1 1000 60 player-1000");
    AudioHardware& hardware = AudioHardware::shared();

    // Led by the microphone; the first tap leaves out the 2000 Hz player, the second takes everything.
    AggregateDeviceDescription description{
        {}, "com.tandrevel.quillora.aggregate.test", true, {}, {}, {}, "mic1", {{"mic1"}}};
    std::vector<AudioObjectID> taps;
    for (auto exclusion : {std::vector<AudioObjectID>{CoreAudio::processObject(excluded.pid())},
                           std::vector<AudioObjectID>{}}) {
        CATapDescription tap = CATapDescription::stereoGlobalTapButExcludeProcesses(std::move(exclusion));
        tap.uuid = "0A0B0C0D-0000-4000-8000-00000000000" + std::to_string(taps.size() + 1);
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
    EXPECT_EQ(captured.allocations[kBlocks - 1] - captured.allocations[kSettled], 0u)
        << "neither we nor PipeWire";
    EXPECT_GT(captured.amplitude(0, 440), 0.2) << "the microphone leads";
    EXPECT_LT(captured.amplitude(0, 1000), 0.01);
    for (const std::size_t side : {1u, 2u}) {
        EXPECT_GT(captured.amplitude(side, 1000), 0.2) << side;
        EXPECT_LT(captured.amplitude(side, 2000), 0.01) << side;
        EXPECT_LT(captured.amplitude(side, 440), 0.01) << side;
    }
    EXPECT_GT(std::min(captured.amplitude(3, 2000), captured.amplitude(4, 1000)), 0.2); // the other tap

    hardware.destroyAggregateDevice(aggregate);
    for (const AudioObjectID tap : taps) {
        hardware.destroyProcessTap(tap);
    }
    EXPECT_TRUE(sandbox(node).empty()) << "the aggregate's node removed";
}

// Everyone at once: native and PulseAudio recorders of the microphone, a monitor recorder, a loopback inside
// pipewire-pulse and our own capture.
TEST(CallDetection, NamesTheMicrophoneRecordersAndLeavesOutMonitorsLoopbacksAndOurOwnCapture) {
    const SandboxProcess microphone("mic mic1 440");
    sandbox("default-source mic1");
    const auto callApps = [] { return CallDetector::callApps(CallDetector::microphoneClients(), getpid()); };
    ASSERT_TRUE(waitUntil([&] { return callApps().empty(); }));
    TemporaryDirectory folder; // our own recording of the microphone, as the application makes it
    CallRecorder recorder(folder / "own.m4a", std::nullopt);
    ASSERT_NO_THROW(recorder.start(true));

    const auto monitorFile = folder / "monitor.wav";
    const SandboxProcess monitor("record-monitor spk1 " + monitorFile.string());
    const std::string module = shell("pactl load-module module-loopback source=mic1 sink=spk1");
    const SandboxProcess native("record-mic mic1 " + (folder / "native.wav").string());
    // PulseAudio clients with a name only (libpulse's executable name "pacat" wins) and with an app id.
    SandboxProcess named("spawn named parecord --client-name=Softphone " + (folder / "named.wav").string());
    SandboxProcess identified("spawn identified env PULSE_PROP=application.id=org.example.Softphone parecord "
                              "--client-name=Softphone " +
                              (folder / "identified.wav").string());
    // The loopback reads the microphone under the protocol server's pid; the monitor recorder reads no
    // microphone; our own nodes are hidden by the backend (the pid filter is not what keeps us out).
    const int32_t pulseServer = std::stoi(sandbox("daemon-pid pipewire-pulse"));
    const std::map<int32_t, std::string> expected{{native.pid(), "pw-cat"},
                                                  {named.pid(), "pacat"},
                                                  {identified.pid(), "org.example.Softphone"},
                                                  {pulseServer, "pipewire"}};
    const auto users = [] {
        std::map<int32_t, std::string> pids;
        for (const MicrophoneClient& client : CallDetector::microphoneClients()) {
            pids[client.pid] = client.bundleID;
        }
        return pids;
    };
    std::error_code error;
    EXPECT_TRUE(waitUntil(
        [&] { return users() == expected && std::filesystem::file_size(monitorFile, error) > 8192; }));
    EXPECT_EQ(users(), expected);
    EXPECT_EQ(callApps(), std::vector<std::string>{"org.example.Softphone"})
        << "recording tools are no calls";
    named.stop(); // gone as soon as it ends
    identified.stop();
    EXPECT_TRUE(waitUntil([&] { return callApps().empty(); }));
    shell("pactl unload-module " + module);
    EXPECT_GT(recorder.stop().micPeakRMS, 0.1f) << "our capture really read the microphone";
}

} // namespace

int main(int argc, char** argv) {
    return runInsideSandbox(
        argc, argv,
        [] {
            sandbox("speaker spk1 'Speaker 1'");
            sandbox("default-sink spk1");
            AudioHardware::setShared(std::make_unique<PipeWireAudioHardware>());
        },
        [] { AudioHardware::setShared(nullptr); });
}
