// The PipeWire backend against a real, private PipeWire + WirePlumber (scripts/audio-sandbox.sh run): what
// its IO blocks deliver, on which thread and without allocating, and whom a tap leaves out. Devices and
// players are separate processes started through the sandbox script. (Descriptions, device changes and
// server loss are proven through the program and the recorder in the other end-to-end tests.)
#include "AllocationCounter.h"
#include "MediaTestSupport.h"
#include "Platform/Audio/PipeWire/PipeWireAudioHardware.h"
#include "QuilloraCore/AggregateDevice.h"
#include "QuilloraCore/SystemAudioTap.h"
#include "SandboxSupport.h"

#include <atomic>
#include <gtest/gtest.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

constexpr double kRate = 48000;
constexpr uint32_t kQuantum = 1024; // the sandbox forces it
constexpr double kPresent = 0.2;    // the tones are played at full scale
constexpr double kAbsent = 0.01;

AudioObjectPropertyAddress address(AudioObjectPropertySelector selector,
                                   AudioObjectPropertyScope scope = kAudioObjectPropertyScopeGlobal) {
    return {selector, scope, kAudioObjectPropertyElementMain};
}

template <typename T>
T read(AudioHardware& hardware, AudioObjectID object, AudioObjectPropertySelector selector) {
    T value{};
    uint32_t size = sizeof(value);
    EXPECT_EQ(hardware.getPropertyData(object, address(selector), 0, nullptr, &size, &value),
              kAudioHardwareNoError)
        << "selector " << selector << " of object " << object;
    return value;
}

std::vector<uint32_t> streams(AudioHardware& hardware, AudioObjectID device,
                              AudioObjectPropertyScope scope = kAudioDevicePropertyScopeInput) {
    uint32_t size = 0;
    const auto where = address(kAudioDevicePropertyStreamConfiguration, scope);
    EXPECT_EQ(hardware.getPropertyDataSize(device, where, 0, nullptr, &size), 0);
    std::vector<uint64_t> storage((size + 7) / 8 + 1);
    EXPECT_EQ(hardware.getPropertyData(device, where, 0, nullptr, &size, storage.data()), 0);
    const auto* list = reinterpret_cast<const AudioBufferList*>(storage.data());
    std::vector<uint32_t> channels;
    for (uint32_t i = 0; i < list->mNumberBuffers; ++i) {
        channels.push_back(list->mBuffers[i].mNumberChannels);
    }
    return channels;
}

AudioObjectID processObject(AudioHardware& hardware, pid_t pid) {
    AudioObjectID object = kAudioObjectUnknown;
    uint32_t size = sizeof(object);
    const int32_t qualifier = pid;
    EXPECT_EQ(hardware.getPropertyData(kAudioObjectSystemObject,
                                       address(kAudioHardwarePropertyTranslatePIDToProcessObject),
                                       sizeof(qualifier), &qualifier, &size, &object),
              kAudioHardwareNoError);
    return object;
}

// Taps (each leaving out the listed processes) on an aggregate led by `leadingUid`, described as the
// engine describes them; destroyed with the object.
struct TapAndAggregate {
    AudioHardware& hardware;
    std::vector<AudioObjectID> taps;
    AudioObjectID aggregate = kAudioObjectUnknown;
    std::string uid;

    TapAndAggregate(AudioHardware& hw, std::optional<std::string> leadingUid,
                    std::vector<std::vector<AudioObjectID>> exclusions)
        : hardware(hw) {
        AggregateDeviceDescription description;
        description.name = "Quillora";
        description.uid = "com.tandrevel.quillora.aggregate.test" + std::to_string(++created);
        uid = description.uid;
        description.isPrivate = true;
        description.stacked = false;
        description.tapAutoStart = false;
        for (auto& excluded : exclusions) {
            CATapDescription tap = CATapDescription::stereoGlobalTapButExcludeProcesses(std::move(excluded));
            tap.uuid = "0A0B0C0D-0000-4000-8000-" + std::to_string(100000000000 + ++created);
            tap.isPrivate = true;
            AudioObjectID tapID = kAudioObjectUnknown;
            EXPECT_EQ(hardware.createProcessTap(tap, &tapID), kAudioHardwareNoError);
            taps.push_back(tapID);
            description.taps.push_back({tap.uuid, true});
        }
        if (leadingUid) {
            description.master = *leadingUid;
            description.subdevices.push_back({*leadingUid});
        }
        EXPECT_EQ(hardware.createAggregateDevice(description, &aggregate), kAudioHardwareNoError);
    }
    ~TapAndAggregate() {
        hardware.destroyAggregateDevice(aggregate);
        for (const AudioObjectID tap : taps) {
            hardware.destroyProcessTap(tap);
        }
    }
    static inline int created = 0;
};

// What IO blocks delivered, kept in memory reserved up front so that the block itself never allocates;
// runs one IO procedure on `device` while it lives.
class Capture {
public:
    static constexpr std::size_t kMaxCallbacks = 600;
    static constexpr std::size_t kMaxChannels = 5;

    struct Callback {
        uint32_t buffers = 0;
        uint32_t channels[kMaxChannels] = {};
        uint32_t frames[kMaxChannels] = {};
        double sampleTime = 0;
        uint64_t allocations = 0;
    };

    Capture(AudioHardware& hardware, AudioObjectID device) : hardware_(hardware), device_(device) {
        callbacks_.resize(kMaxCallbacks);
        for (auto& channel : samples_) {
            channel.resize(kMaxCallbacks * kQuantum);
        }
        EXPECT_EQ(hardware_.createIOProcIDWithBlock(
                      device_,
                      [this](const AudioTimeStamp* now, const AudioBufferList* input, const AudioTimeStamp*,
                             AudioBufferList*, const AudioTimeStamp*) { onBlock(*now, *input); },
                      &proc_),
                  kAudioHardwareNoError);
        EXPECT_EQ(hardware_.deviceStart(device_, proc_), kAudioHardwareNoError);
    }
    ~Capture() {
        hardware_.deviceStop(device_, proc_);
        hardware_.destroyIOProcID(device_, proc_);
    }

    bool runUntil(std::size_t callbacks) {
        return waitUntil([&] { return count() >= callbacks; }, 10000ms);
    }
    void stop() { EXPECT_EQ(hardware_.deviceStop(device_, proc_), kAudioHardwareNoError); }
    std::size_t count() const { return count_.load(std::memory_order_acquire); }
    const Callback& callback(std::size_t index) const { return callbacks_[index]; }
    // Channel `channel` counted over all streams (stream 0's channels first), from callback `first` on.
    std::vector<float> channel(std::size_t channel, std::size_t first = 0) const {
        const auto begin = static_cast<std::ptrdiff_t>(std::min(first * kQuantum, frames_));
        return {samples_[channel].begin() + begin,
                samples_[channel].begin() + static_cast<std::ptrdiff_t>(frames_)};
    }
    bool ranOnThisThread() const { return thread_ == std::this_thread::get_id(); }

private:
    void onBlock(const AudioTimeStamp& now, const AudioBufferList& input) {
        const std::size_t index = count_.load(std::memory_order_relaxed);
        if (index >= kMaxCallbacks) {
            return;
        }
        thread_ = std::this_thread::get_id();
        Callback& info = callbacks_[index];
        info.allocations = allocationsOnThisThread();
        info.buffers = input.mNumberBuffers;
        info.sampleTime = now.mSampleTime;
        std::size_t channel = 0;
        std::size_t frames = 0;
        for (uint32_t b = 0; b < input.mNumberBuffers && b < kMaxChannels; ++b) {
            const AudioBuffer& buffer = input.mBuffers[b];
            info.channels[b] = buffer.mNumberChannels;
            info.frames[b] = buffer.mDataByteSize / (buffer.mNumberChannels * sizeof(float));
            const std::size_t n = std::min<std::size_t>(info.frames[b], kQuantum);
            frames = std::max(frames, n);
            const auto* data = static_cast<const float*>(buffer.mData);
            for (uint32_t c = 0; c < buffer.mNumberChannels && channel < kMaxChannels; ++c, ++channel) {
                for (std::size_t i = 0; i < n; ++i) {
                    samples_[channel][frames_ + i] = data[i * buffer.mNumberChannels + c];
                }
            }
        }
        frames_ += frames;
        count_.store(index + 1, std::memory_order_release);
    }

    AudioHardware& hardware_;
    AudioObjectID device_;
    AudioDeviceIOProcID proc_ = 0;
    std::vector<Callback> callbacks_;
    std::vector<float> samples_[kMaxChannels];
    std::size_t frames_ = 0;
    std::thread::id thread_;
    std::atomic<std::size_t> count_{0};
};

double amplitudeAt(const std::vector<float>& samples, double frequency) {
    return toneAmplitude(samples, 0, samples.size(), frequency, kRate);
}

TEST(PipeWireBackend, deliversMicrophoneAndSpeakerInTheSameCallbacksWithoutAllocating) {
    const SandboxProcess microphone("mic mic1 440");
    const SandboxProcess player("play spk1 1000 60 player-1000");
    PipeWireAudioHardware hardware;
    TapAndAggregate devices(hardware, "mic1", {{processObject(hardware, getpid())}});
    EXPECT_EQ(streams(hardware, devices.aggregate), (std::vector<uint32_t>{1, 2})) << "the microphone leads";
    Capture capture(hardware, devices.aggregate);
    ASSERT_TRUE(capture.runUntil(1));
    EXPECT_EQ(read<uint32_t>(hardware, devices.aggregate, kAudioDevicePropertyDeviceIsRunning), 1u);
    ASSERT_TRUE(capture.runUntil(80));
    capture.stop();
    EXPECT_EQ(read<uint32_t>(hardware, devices.aggregate, kAudioDevicePropertyDeviceIsRunning), 0u);

    for (std::size_t i = 0; i < capture.count(); ++i) {
        const auto& callback = capture.callback(i);
        ASSERT_EQ(callback.buffers, 2u);
        EXPECT_EQ(callback.channels[0], 1u);
        EXPECT_EQ(callback.channels[1], 2u);
        EXPECT_EQ(callback.frames[0], kQuantum);
        EXPECT_EQ(callback.frames[1], kQuantum);
        EXPECT_EQ(callback.sampleTime, static_cast<double>(i * kQuantum));
    }
    EXPECT_FALSE(capture.ranOnThisThread()) << "IO blocks run on PipeWire's thread";
    // Steady state: from the 20th callback on, the real-time thread makes no heap allocation at all,
    // neither in our callback path nor in PipeWire's cycle around it.
    EXPECT_EQ(capture.callback(capture.count() - 1).allocations - capture.callback(20).allocations, 0u);

    // Both tones, each in its own stream, once the links have formed (~100 ms).
    const std::size_t settled = 15;
    const auto mic = capture.channel(0, settled);
    const auto left = capture.channel(1, settled);
    const auto right = capture.channel(2, settled);
    EXPECT_GT(amplitudeAt(mic, 440), kPresent);
    EXPECT_LT(amplitudeAt(mic, 1000), kAbsent);
    EXPECT_GT(amplitudeAt(left, 1000), kPresent);
    EXPECT_GT(amplitudeAt(right, 1000), kPresent);
    EXPECT_LT(amplitudeAt(left, 440), kAbsent);
    // A cycle lost to an overloaded machine may come through empty; anything systematic may not.
    std::size_t complete = 0;
    const std::size_t blocks = capture.count() - settled;
    for (std::size_t block = 0; block < blocks; ++block) {
        const std::size_t begin = block * kQuantum;
        const std::size_t end = begin + kQuantum;
        complete += peak(mic, begin, end) > kPresent && peak(left, begin, end) > kPresent &&
                    peak(right, begin, end) > kPresent;
    }
    EXPECT_GE(complete * 100, blocks * 75) << complete << " of " << blocks << " callbacks carry both sides";
}

TEST(PipeWireBackend, aTapLeavesOutTheExcludedProcessOnly) {
    const SandboxProcess excluded("play spk1 2000 60 player-2000");
    const SandboxProcess other("play spk1 1000 60 player-1000");
    PipeWireAudioHardware hardware;
    EXPECT_EQ(processObject(hardware, 0), kAudioObjectUnknown);
    // Two taps on one aggregate: the first leaves out the 2000 Hz player, the second takes everything.
    std::optional<TapAndAggregate> devices;
    devices.emplace(hardware, std::nullopt,
                    std::vector<std::vector<AudioObjectID>>{{processObject(hardware, excluded.pid())}, {}});
    const AudioObjectID aggregate = devices->aggregate;
    const std::string node = "node-id " + devices->uid;
    EXPECT_FALSE(sandbox(node).empty()) << "the aggregate is a node on the server";
    EXPECT_EQ(streams(hardware, aggregate), (std::vector<uint32_t>{2, 2}));
    std::optional<Capture> capture;
    capture.emplace(hardware, aggregate);
    ASSERT_TRUE(capture->runUntil(60));
    capture->stop();
    for (const std::size_t side : {0u, 1u}) {
        EXPECT_GT(amplitudeAt(capture->channel(side, 15), 1000), kPresent) << side;
        EXPECT_LT(amplitudeAt(capture->channel(side, 15), 2000), kAbsent) << side;
    }
    EXPECT_GT(amplitudeAt(capture->channel(2, 15), 1000), kPresent);
    EXPECT_GT(amplitudeAt(capture->channel(2, 15), 2000), kPresent);

    // Destroying the aggregate removes its node from the server, and the object is gone.
    capture.reset();
    devices.reset();
    EXPECT_TRUE(sandbox(node).empty());
    uint32_t alive = 0;
    uint32_t size = sizeof(alive);
    EXPECT_EQ(hardware.getPropertyData(aggregate, address(kAudioDevicePropertyDeviceIsAlive), 0, nullptr,
                                       &size, &alive),
              kAudioHardwareBadObjectError);
}

} // namespace

int main(int argc, char** argv) {
    return runInsideSandbox(argc, argv, [] {
        sandbox("speaker spk1 'Speaker 1'");
        sandbox("default-sink spk1");
    });
}
