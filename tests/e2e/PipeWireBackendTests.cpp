// The PipeWire backend against a real, private PipeWire + WirePlumber (scripts/audio-sandbox.sh run).
// Devices and players are separate processes started through the sandbox script; the test process only
// talks to the server through the AudioHardware interface.

#include "AllocationCounter.h"

#include "Platform/Audio/PipeWire/PipeWireAudioHardware.h"
#include "QuilloraCore/AggregateDevice.h"
#include "QuilloraCore/CallDetector.h"
#include "QuilloraCore/SystemAudioTap.h"

#include "SandboxSupport.h"
#include <QCoreApplication>
#include <QThread>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <numbers>
#include <random>
#include <set>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr double kRate = 48000;
constexpr uint32_t kQuantum = 1024; // the sandbox forces it

// ----- the sandbox -----

// Processes one test started; stopped when the test ends, whatever happened.
class Spawned {
public:
    ~Spawned() {
        for (const pid_t pid : pids_) {
            sandbox("kill " + std::to_string(pid));
        }
    }
    pid_t start(const std::string& arguments) {
        const std::string output = sandbox(arguments);
        const pid_t pid = static_cast<pid_t>(std::atoi(output.c_str()));
        EXPECT_GT(pid, 0) << arguments << " printed '" << output << "'";
        pids_.push_back(pid);
        return pid;
    }

private:
    std::vector<pid_t> pids_;
};

std::string newUuid() {
    std::random_device device;
    std::mt19937_64 generator(device());
    std::uniform_int_distribution<int> nibble(0, 15);
    std::string uuid;
    for (int i = 0; i < 32; ++i) {
        if (i == 8 || i == 12 || i == 16 || i == 20) {
            uuid.push_back('-');
        }
        uuid.push_back("0123456789ABCDEF"[nibble(generator)]);
    }
    return uuid;
}

// ----- property reads -----

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

std::string readString(AudioHardware& hardware, AudioObjectID object, AudioObjectPropertySelector selector) {
    std::optional<std::string> text;
    EXPECT_EQ(hardware.getPropertyString(object, address(selector), &text), kAudioHardwareNoError);
    return text.value_or("<none>");
}

std::vector<AudioObjectID> readList(AudioHardware& hardware, AudioObjectPropertySelector selector) {
    uint32_t size = 0;
    EXPECT_EQ(hardware.getPropertyDataSize(kAudioObjectSystemObject, address(selector), 0, nullptr, &size),
              0);
    std::vector<AudioObjectID> ids(size / sizeof(AudioObjectID));
    EXPECT_EQ(
        hardware.getPropertyData(kAudioObjectSystemObject, address(selector), 0, nullptr, &size, ids.data()),
        0);
    ids.resize(size / sizeof(AudioObjectID));
    return ids;
}

std::vector<uint32_t> inputStreams(AudioHardware& hardware, AudioObjectID device,
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

AudioObjectID deviceWithUid(AudioHardware& hardware, const std::string& uid) {
    AudioObjectID found = kAudioObjectUnknown;
    waitUntil([&] {
        for (const AudioObjectID device : readList(hardware, kAudioHardwarePropertyDevices)) {
            if (readString(hardware, device, kAudioDevicePropertyDeviceUID) == uid) {
                found = device;
                return true;
            }
        }
        return false;
    });
    EXPECT_NE(found, kAudioObjectUnknown) << "no device " << uid;
    return found;
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

// ----- capture -----

// A tap (excluding `excluded`) and an aggregate led by `leadingUid`, described as the engine describes them.
struct TapAndAggregate {
    AudioHardware& hardware;
    std::vector<AudioObjectID> taps;
    AudioObjectID aggregate = kAudioObjectUnknown;

    TapAndAggregate(AudioHardware& hw, std::optional<std::string> leadingUid,
                    std::vector<std::vector<AudioObjectID>> exclusions)
        : hardware(hw) {
        AggregateDeviceDescription description;
        description.name = "Quillora";
        description.uid = "com.tandrevel.quillora.aggregate." + newUuid();
        description.isPrivate = true;
        description.stacked = false;
        description.tapAutoStart = false;
        for (auto& excluded : exclusions) {
            CATapDescription tap = CATapDescription::stereoGlobalTapButExcludeProcesses(std::move(excluded));
            tap.uuid = newUuid();
            tap.name = "Quillora";
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
};

// What IO blocks delivered, kept in memory reserved up front so that the block itself never allocates.
class Recording {
public:
    static constexpr std::size_t kMaxCallbacks = 2000;
    static constexpr std::size_t kMaxChannels = 5;

    struct Callback {
        uint32_t buffers = 0;
        uint32_t channels[kMaxChannels] = {};
        uint32_t frames[kMaxChannels] = {};
        double sampleTime = 0;
        uint64_t allocations = 0;
        int64_t arrivalNs = 0;
    };

    Recording() : callbacks_(kMaxCallbacks) {
        for (auto& channel : samples_) {
            channel.resize(kMaxCallbacks * kQuantum);
        }
    }

    AudioDeviceIOBlock block() {
        return [this](const AudioTimeStamp* now, const AudioBufferList* input, const AudioTimeStamp*,
                      AudioBufferList*, const AudioTimeStamp*) { onBlock(*now, *input); };
    }

    std::size_t count() const { return count_.load(std::memory_order_acquire); }
    const Callback& callback(std::size_t index) const { return callbacks_[index]; }
    // Channel `channel` counted over all streams (stream 0's channels first), from callback `first` on.
    std::vector<float> channel(std::size_t channel, std::size_t first = 0) const {
        const std::size_t begin = std::min(first * kQuantum, frames_);
        return {samples_[channel].begin() + static_cast<std::ptrdiff_t>(begin),
                samples_[channel].begin() + static_cast<std::ptrdiff_t>(frames_)};
    }
    bool sawThread(std::thread::id id) const { return rtThread_ == id; }

private:
    void onBlock(const AudioTimeStamp& now, const AudioBufferList& input) {
        const std::size_t index = count_.load(std::memory_order_relaxed);
        if (index >= kMaxCallbacks) {
            return;
        }
        rtThread_ = std::this_thread::get_id();
        Callback& info = callbacks_[index];
        info.allocations = allocationsOnThisThread();
        info.buffers = input.mNumberBuffers;
        info.sampleTime = now.mSampleTime;
        info.arrivalNs =
            std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
        std::size_t channel = 0;
        std::size_t frames = 0;
        for (uint32_t b = 0; b < input.mNumberBuffers && b < kMaxChannels; ++b) {
            const AudioBuffer& buffer = input.mBuffers[b];
            info.channels[b] = buffer.mNumberChannels;
            info.frames[b] = buffer.mDataByteSize / (buffer.mNumberChannels * sizeof(float));
            frames = std::max<std::size_t>(frames, std::min<std::size_t>(info.frames[b], kQuantum));
            const auto* data = static_cast<const float*>(buffer.mData);
            for (uint32_t c = 0; c < buffer.mNumberChannels && channel < kMaxChannels; ++c, ++channel) {
                for (std::size_t i = 0; i < std::min<std::size_t>(info.frames[b], kQuantum); ++i) {
                    samples_[channel][frames_ + i] = data[i * buffer.mNumberChannels + c];
                }
            }
        }
        frames_ += frames;
        count_.store(index + 1, std::memory_order_release);
    }

    std::vector<Callback> callbacks_;
    std::vector<float> samples_[kMaxChannels];
    std::size_t frames_ = 0;
    std::thread::id rtThread_;
    std::atomic<std::size_t> count_{0};
};

// Runs one IO procedure on `device` until `callbacks` blocks have arrived (or the timeout).
class IOProc {
public:
    IOProc(AudioHardware& hardware, AudioObjectID device, Recording& recording)
        : hardware_(hardware), device_(device), recording_(recording) {
        EXPECT_EQ(hardware_.createIOProcIDWithBlock(device_, recording_.block(), &proc_),
                  kAudioHardwareNoError);
    }
    ~IOProc() {
        hardware_.deviceStop(device_, proc_);
        hardware_.destroyIOProcID(device_, proc_);
    }
    void start() {
        started_ = Clock::now();
        EXPECT_EQ(hardware_.deviceStart(device_, proc_), kAudioHardwareNoError);
    }
    void stop() { EXPECT_EQ(hardware_.deviceStop(device_, proc_), kAudioHardwareNoError); }
    bool runUntil(std::size_t callbacks, std::chrono::milliseconds timeout = 10000ms) {
        return waitUntil([&] { return recording_.count() >= callbacks; }, timeout);
    }
    Clock::time_point started() const { return started_; }
    AudioDeviceIOProcID id() const { return proc_; }

private:
    AudioHardware& hardware_;
    AudioObjectID device_;
    Recording& recording_;
    AudioDeviceIOProcID proc_ = 0;
    Clock::time_point started_;
};

// Amplitude of the `frequency` component of `samples` (Goertzel): a full-scale sine reads about 1.
double amplitudeAt(const std::vector<float>& samples, double frequency) {
    if (samples.empty()) {
        return 0;
    }
    const double w = 2 * std::numbers::pi * frequency / kRate;
    const double coefficient = 2 * std::cos(w);
    double s1 = 0;
    double s2 = 0;
    for (const float sample : samples) {
        const double s0 = sample + coefficient * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    const double power = s1 * s1 + s2 * s2 - coefficient * s1 * s2;
    return 2 * std::sqrt(std::max(0.0, power)) / static_cast<double>(samples.size());
}

double peak(const std::vector<float>& samples) {
    double result = 0;
    for (const float sample : samples) {
        result = std::max(result, static_cast<double>(std::fabs(sample)));
    }
    return result;
}

constexpr double kPresent = 0.2; // the tones are played at full scale
constexpr double kAbsent = 0.01;

class PipeWireBackendTest : public ::testing::Test {
protected:
    Spawned spawned;
};

} // namespace

TEST_F(PipeWireBackendTest, DescribesDevicesTapsAndAnAggregateOnAMonoMicrophone) {
    spawned.start("mic mic1 440");
    PipeWireAudioHardware hardware;
    const AudioObjectID mic = deviceWithUid(hardware, "mic1");
    const AudioObjectID speaker = deviceWithUid(hardware, "spk1");

    EXPECT_EQ(readString(hardware, mic, kAudioObjectPropertyName), "mic1");
    EXPECT_EQ(inputStreams(hardware, mic), std::vector<uint32_t>{1});
    EXPECT_EQ(read<double>(hardware, mic, kAudioDevicePropertyNominalSampleRate), kRate);
    EXPECT_EQ(read<uint32_t>(hardware, mic, kAudioDevicePropertyDeviceIsAlive), 1u);
    EXPECT_EQ(readString(hardware, speaker, kAudioObjectPropertyName), "Speaker 1");
    EXPECT_TRUE(inputStreams(hardware, speaker).empty())
        << "a speaker has no input streams, and that is no error";
    EXPECT_EQ(inputStreams(hardware, speaker, kAudioDevicePropertyScopeOutput), std::vector<uint32_t>{2});
    EXPECT_EQ(
        read<AudioObjectID>(hardware, kAudioObjectSystemObject, kAudioHardwarePropertyDefaultOutputDevice),
        speaker);

    const AudioObjectID self = processObject(hardware, getpid());
    EXPECT_NE(self, kAudioObjectUnknown);
    EXPECT_EQ(processObject(hardware, getpid()), self);
    EXPECT_EQ(read<int32_t>(hardware, self, kAudioProcessPropertyPID), getpid());
    EXPECT_EQ(processObject(hardware, 0), kAudioObjectUnknown);

    std::optional<TapAndAggregate> capture;
    capture.emplace(hardware, "mic1", std::vector<std::vector<AudioObjectID>>{{self}});
    ASSERT_NE(capture->aggregate, kAudioObjectUnknown);
    const AudioObjectID tap = capture->taps.front();
    const auto tapList = readList(hardware, kAudioHardwarePropertyTapList);
    EXPECT_NE(std::find(tapList.begin(), tapList.end(), tap), tapList.end());
    const auto format = read<AudioStreamBasicDescription>(hardware, tap, kAudioTapPropertyFormat);
    EXPECT_EQ(format.mSampleRate, kRate);
    EXPECT_EQ(format.mFormatID, kAudioFormatLinearPCM);
    EXPECT_EQ(format.mFormatFlags, kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked);
    EXPECT_EQ(format.mChannelsPerFrame, 2u);
    EXPECT_EQ(format.mBitsPerChannel, 32u);

    // The engine's reading: streams [1, 2], and the microphone's one stream leads.
    const AudioObjectID aggregate = capture->aggregate;
    const std::vector<uint32_t> streams = inputStreams(hardware, aggregate);
    EXPECT_EQ(streams, (std::vector<uint32_t>{1, 2}));
    const std::size_t micStreams = inputStreams(hardware, mic).size();
    EXPECT_EQ(streams.size() >= 2 ? std::min(micStreams, streams.size() - 1) : 0, 1u);
    EXPECT_EQ(readString(hardware, aggregate, kAudioObjectPropertyName), "Quillora");
    EXPECT_EQ(read<double>(hardware, aggregate, kAudioDevicePropertyNominalSampleRate), kRate);
    EXPECT_EQ(read<uint32_t>(hardware, aggregate, kAudioDevicePropertyDeviceIsAlive), 1u);
    EXPECT_EQ(read<uint32_t>(hardware, aggregate, kAudioDevicePropertyDeviceIsRunning), 0u);
    const std::string uid = readString(hardware, aggregate, kAudioDevicePropertyDeviceUID);
    EXPECT_FALSE(sandbox("node-id " + uid).empty()) << "the aggregate is a node on the server";

    // Statuses of the usual mistakes.
    uint32_t small = 0;
    uint32_t size = sizeof(small);
    EXPECT_EQ(hardware.getPropertyData(aggregate, address(kAudioDevicePropertyNominalSampleRate), 0, nullptr,
                                       &size, &small),
              kAudioHardwareBadPropertySizeError);
    EXPECT_EQ(hardware.getPropertyData(999999, address(kAudioDevicePropertyDeviceIsAlive), 0, nullptr, &size,
                                       &small),
              kAudioHardwareBadObjectError);
    EXPECT_EQ(
        hardware.getPropertyData(tap, address(kAudioDevicePropertyDeviceIsAlive), 0, nullptr, &size, &small),
        kAudioHardwareUnknownPropertyError);
    EXPECT_EQ(hardware.getPropertyData(kAudioObjectSystemObject,
                                       address(kAudioHardwarePropertyTranslatePIDToProcessObject), 0, nullptr,
                                       &size, &small),
              kAudioHardwareBadPropertySizeError);

    capture.reset();
    EXPECT_TRUE(sandbox("node-id " + uid).empty()) << "destroying the aggregate removes its node";
    EXPECT_EQ(hardware.getPropertyData(aggregate, address(kAudioDevicePropertyDeviceIsAlive), 0, nullptr,
                                       &size, &small),
              kAudioHardwareBadObjectError);
    EXPECT_EQ(hardware.getPropertyData(tap, address(kAudioTapPropertyFormat), 0, nullptr, &size, &small),
              kAudioHardwareBadObjectError);
}

TEST_F(PipeWireBackendTest, DeliversMicrophoneAndSpeakerInTheSameCallbacks) {
    spawned.start("mic mic1 440");
    spawned.start("play spk1 1000 60 player-1000"); // another process playing through the speaker
    PipeWireAudioHardware hardware;
    deviceWithUid(hardware, "mic1");
    TapAndAggregate capture(hardware, "mic1", {{processObject(hardware, getpid())}});
    Recording recording;
    IOProc proc(hardware, capture.aggregate, recording);
    proc.start();
    ASSERT_TRUE(proc.runUntil(1));
    const auto firstBlock =
        std::chrono::nanoseconds(recording.callback(0).arrivalNs) - proc.started().time_since_epoch();
    std::printf("first IO block %.1f ms after start\n",
                std::chrono::duration<double, std::milli>(firstBlock).count());
    EXPECT_EQ(read<uint32_t>(hardware, capture.aggregate, kAudioDevicePropertyDeviceIsRunning), 1u);
    ASSERT_TRUE(proc.runUntil(80));
    proc.stop();
    EXPECT_EQ(read<uint32_t>(hardware, capture.aggregate, kAudioDevicePropertyDeviceIsRunning), 0u);

    for (std::size_t i = 0; i < recording.count(); ++i) {
        const auto& callback = recording.callback(i);
        ASSERT_EQ(callback.buffers, 2u);
        EXPECT_EQ(callback.channels[0], 1u);
        EXPECT_EQ(callback.channels[1], 2u);
        EXPECT_EQ(callback.frames[0], kQuantum);
        EXPECT_EQ(callback.frames[1], kQuantum);
        EXPECT_EQ(callback.sampleTime, static_cast<double>(i * kQuantum));
    }
    EXPECT_FALSE(recording.sawThread(std::this_thread::get_id())) << "IO blocks run on PipeWire's thread";

    // Both tones, each in its own stream, in every callback once the links have formed (~100 ms).
    const std::size_t settled = 15;
    const auto mic = recording.channel(0, settled);
    const auto left = recording.channel(1, settled);
    const auto right = recording.channel(2, settled);
    EXPECT_GT(amplitudeAt(mic, 440), kPresent);
    EXPECT_LT(amplitudeAt(mic, 1000), kAbsent);
    EXPECT_GT(amplitudeAt(left, 1000), kPresent);
    EXPECT_GT(amplitudeAt(right, 1000), kPresent);
    EXPECT_LT(amplitudeAt(left, 440), kAbsent);
    // A cycle lost to an overloaded machine (a player fed through a pipe underruns) may come through
    // empty; anything systematic may not.
    std::size_t complete = 0;
    const std::size_t blocks = recording.count() - settled;
    for (std::size_t block = 0; block < blocks; ++block) {
        const auto slice = [&](const std::vector<float>& samples) {
            return std::vector<float>(samples.begin() + static_cast<std::ptrdiff_t>(block * kQuantum),
                                      samples.begin() + static_cast<std::ptrdiff_t>((block + 1) * kQuantum));
        };
        if (peak(slice(mic)) > kPresent && peak(slice(left)) > kPresent && peak(slice(right)) > kPresent) {
            ++complete;
        }
    }
    EXPECT_GE(complete * 100, blocks * 75) << complete << " of " << blocks << " callbacks carry both sides";
}

TEST_F(PipeWireBackendTest, LeavesOutTheExcludedProcessOnly) {
    const pid_t excluded = spawned.start("play spk1 2000 60 player-2000");
    spawned.start("play spk1 1000 60 player-1000");
    PipeWireAudioHardware hardware;
    // Two taps on one aggregate: the first leaves out the 2000 Hz player, the second takes everything.
    TapAndAggregate capture(hardware, std::nullopt, {{processObject(hardware, excluded)}, {}});
    EXPECT_EQ(inputStreams(hardware, capture.aggregate), (std::vector<uint32_t>{2, 2}));
    Recording recording;
    IOProc proc(hardware, capture.aggregate, recording);
    proc.start();
    ASSERT_TRUE(proc.runUntil(60));
    proc.stop();

    const auto withoutLeft = recording.channel(0, 15);
    const auto withoutRight = recording.channel(1, 15);
    const auto everything = recording.channel(2, 15);
    EXPECT_GT(amplitudeAt(withoutLeft, 1000), kPresent);
    EXPECT_GT(amplitudeAt(withoutRight, 1000), kPresent);
    EXPECT_LT(amplitudeAt(withoutLeft, 2000), kAbsent);
    EXPECT_LT(amplitudeAt(withoutRight, 2000), kAbsent);
    EXPECT_GT(amplitudeAt(everything, 1000), kPresent);
    EXPECT_GT(amplitudeAt(everything, 2000), kPresent);
}

TEST_F(PipeWireBackendTest, KeepsAPlayerThatMovesToAnotherSpeaker) {
    spawned.start("play spk1 1000 60 mover");
    PipeWireAudioHardware hardware;
    TapAndAggregate capture(hardware, std::nullopt, {{processObject(hardware, getpid())}});
    Recording recording;
    IOProc proc(hardware, capture.aggregate, recording);
    proc.start();
    ASSERT_TRUE(proc.runUntil(20));
    // To a mono speaker: the session manager rebuilds the player's ports, and the tap must follow.
    sandbox("move mover spkm");
    const std::size_t movedMono = recording.count();
    ASSERT_TRUE(proc.runUntil(movedMono + 30));
    sandbox("move mover spk2");
    const std::size_t movedStereo = recording.count();
    ASSERT_TRUE(proc.runUntil(movedStereo + 30));
    proc.stop();

    auto window = [&](std::size_t channel, std::size_t from, std::size_t to) {
        auto samples = recording.channel(channel, from);
        samples.resize(std::min(samples.size(), (to - from) * kQuantum));
        return samples;
    };
    // Allow 10 blocks (~0.2 s) for the relinking after each move.
    EXPECT_GT(amplitudeAt(window(0, movedMono + 10, movedStereo), 1000), kPresent);
    EXPECT_GT(amplitudeAt(window(1, movedMono + 10, movedStereo), 1000), kPresent);
    EXPECT_GT(amplitudeAt(window(0, movedStereo + 10, recording.count()), 1000), kPresent);
    EXPECT_GT(amplitudeAt(window(1, movedStereo + 10, recording.count()), 1000), kPresent);
}

TEST_F(PipeWireBackendTest, RunsAtTheGraphRateWithNothingToCapture) {
    PipeWireAudioHardware hardware;
    // No microphone: the engine leads with the default speaker, which brings no input streams.
    TapAndAggregate capture(hardware, "spk1", {{processObject(hardware, getpid())}});
    EXPECT_EQ(inputStreams(hardware, capture.aggregate), std::vector<uint32_t>{2});
    Recording recording;
    IOProc proc(hardware, capture.aggregate, recording);
    proc.start();
    ASSERT_TRUE(proc.runUntil(10)) << "no callbacks without anything linked";
    const std::size_t first = recording.count();
    const auto from = Clock::now();
    std::this_thread::sleep_for(2s);
    const std::size_t last = recording.count();
    const double seconds = std::chrono::duration<double>(Clock::now() - from).count();
    proc.stop();

    const double rate = static_cast<double>((last - first) * kQuantum) / seconds;
    std::printf("%zu callbacks in %.2f s: %.0f frames/s\n", last - first, seconds, rate);
    EXPECT_NEAR(rate, kRate, kRate * 0.1);
    EXPECT_EQ(peak(recording.channel(0)), 0.0) << "silence arrives as silence";
    EXPECT_EQ(peak(recording.channel(1)), 0.0);
}

TEST_F(PipeWireBackendTest, ListsAMicrophoneRecorderButNotAMonitorRecorder) {
    spawned.start("mic mic1 440");
    PipeWireAudioHardware hardware;
    const std::string dir = std::getenv("QUILLORA_SANDBOX_DIR");
    const pid_t recorder = spawned.start("record-mic mic1 " + dir + "/mic.wav");
    const pid_t monitor = spawned.start("record-monitor spk1 " + dir + "/monitor.wav");

    // What the call detector reads: every process object that runs input, with its pid and bundle id.
    auto microphoneUsers = [&] {
        std::map<int32_t, std::string> users;
        for (const AudioObjectID process : readList(hardware, kAudioHardwarePropertyProcessObjectList)) {
            if (read<uint32_t>(hardware, process, kAudioProcessPropertyIsRunningInput) != 0) {
                users[read<int32_t>(hardware, process, kAudioProcessPropertyPID)] =
                    readString(hardware, process, kAudioProcessPropertyBundleID);
            }
        }
        return users;
    };
    ASSERT_TRUE(waitUntil([&] { return microphoneUsers().contains(recorder); }));
    const std::string bundle = microphoneUsers().at(recorder);
    EXPECT_TRUE(bundle == "pw-cat" || bundle == "pw-record") << bundle;
    // Give the monitor recorder the same time to show up: it must not count as a microphone user.
    const std::string source = sandbox("node-id " + std::string("mic1"));
    ASSERT_TRUE(waitUntil([&] {
        const auto processes = readList(hardware, kAudioHardwarePropertyProcessObjectList);
        return std::any_of(processes.begin(), processes.end(), [&](AudioObjectID process) {
            return read<int32_t>(hardware, process, kAudioProcessPropertyPID) == monitor;
        });
    }));
    EXPECT_FALSE(microphoneUsers().contains(monitor));
    EXPECT_FALSE(microphoneUsers().contains(getpid()));

    sandbox("kill " + std::to_string(recorder));
    EXPECT_TRUE(waitUntil([&] { return !microphoneUsers().contains(recorder); }));
}

TEST_F(PipeWireBackendTest, ReportsADefaultMicrophoneChangeOnTheMainThread) {
    spawned.start("mic mic1 440");
    spawned.start("mic mic2 660");
    sandbox("default-source mic1");
    PipeWireAudioHardware hardware;
    const AudioObjectID mic1 = deviceWithUid(hardware, "mic1");
    const AudioObjectID mic2 = deviceWithUid(hardware, "mic2");
    auto defaultInput = [&] {
        return read<AudioObjectID>(hardware, kAudioObjectSystemObject,
                                   kAudioHardwarePropertyDefaultInputDevice);
    };
    ASSERT_TRUE(waitUntil([&] { return defaultInput() == mic1; }));

    int calls = 0;
    bool onMainThread = false;
    AudioObjectPropertyAddress heard;
    AudioObjectPropertyListenerID listener = 0;
    const auto where = address(kAudioHardwarePropertyDefaultInputDevice);
    ASSERT_EQ(hardware.addPropertyListenerBlock(
                  kAudioObjectSystemObject, where,
                  [&](uint32_t count, const AudioObjectPropertyAddress* addresses) {
                      ++calls;
                      onMainThread = QThread::currentThread() == QCoreApplication::instance()->thread();
                      if (count > 0) {
                          heard = addresses[0];
                      }
                  },
                  &listener),
              kAudioHardwareNoError);

    sandbox("default-source mic2");
    ASSERT_TRUE(waitUntil([&] { return calls > 0; }));
    EXPECT_TRUE(onMainThread);
    EXPECT_EQ(heard, where);
    EXPECT_EQ(defaultInput(), mic2);
    waitUntil([] { return false; }, 200ms);
    EXPECT_EQ(calls, 1) << "one change, one call";

    EXPECT_EQ(hardware.removePropertyListenerBlock(kAudioObjectSystemObject, where, listener),
              kAudioHardwareNoError);
    sandbox("default-source mic1");
    ASSERT_TRUE(waitUntil([&] { return defaultInput() == mic1; }));
    waitUntil([] { return false; }, 200ms);
    EXPECT_EQ(calls, 1) << "a removed listener is not called";
}

TEST_F(PipeWireBackendTest, ReportsAnUnpluggedMicrophoneAndKeepsCapturing) {
    spawned.start("mic mic1 440");
    spawned.start("mic mic3 880");
    sandbox("default-source mic3");
    PipeWireAudioHardware hardware;
    const AudioObjectID mic3 = deviceWithUid(hardware, "mic3");
    auto defaultInput = [&] {
        return read<AudioObjectID>(hardware, kAudioObjectSystemObject,
                                   kAudioHardwarePropertyDefaultInputDevice);
    };
    ASSERT_TRUE(waitUntil([&] { return defaultInput() == mic3; }));
    TapAndAggregate capture(hardware, "mic3", {{processObject(hardware, getpid())}});
    Recording recording;
    IOProc proc(hardware, capture.aggregate, recording);
    proc.start();
    ASSERT_TRUE(proc.runUntil(10));

    int inputChanges = 0;
    int aliveChanges = 0;
    AudioObjectPropertyListenerID first = 0;
    AudioObjectPropertyListenerID second = 0;
    ASSERT_EQ(hardware.addPropertyListenerBlock(
                  kAudioObjectSystemObject, address(kAudioHardwarePropertyDefaultInputDevice),
                  [&](uint32_t, const AudioObjectPropertyAddress*) { ++inputChanges; }, &first),
              kAudioHardwareNoError);
    ASSERT_EQ(hardware.addPropertyListenerBlock(
                  mic3, address(kAudioDevicePropertyDeviceIsAlive),
                  [&](uint32_t, const AudioObjectPropertyAddress*) { ++aliveChanges; }, &second),
              kAudioHardwareNoError);

    sandbox("unplug mic3");
    ASSERT_TRUE(waitUntil([&] { return inputChanges > 0 && aliveChanges > 0; }));
    EXPECT_EQ(read<uint32_t>(hardware, mic3, kAudioDevicePropertyDeviceIsAlive), 0u);
    EXPECT_EQ(read<uint32_t>(hardware, mic3, kAudioDevicePropertyDeviceIsRunning), 0u);
    EXPECT_EQ(defaultInput(), deviceWithUid(hardware, "mic1"))
        << "the default moved to the remaining microphone";

    // The aggregate keeps calling back (with silence where the microphone was) until it is rebuilt.
    const std::size_t afterUnplug = recording.count();
    EXPECT_TRUE(proc.runUntil(afterUnplug + 20));
    EXPECT_EQ(read<uint32_t>(hardware, capture.aggregate, kAudioDevicePropertyDeviceIsAlive), 1u);
    hardware.removePropertyListenerBlock(kAudioObjectSystemObject,
                                         address(kAudioHardwarePropertyDefaultInputDevice), first);
    hardware.removePropertyListenerBlock(mic3, address(kAudioDevicePropertyDeviceIsAlive), second);
}

TEST_F(PipeWireBackendTest, RealTimePathDoesNotAllocate) {
    spawned.start("mic mic1 440");
    spawned.start("play spk1 1000 60 player-1000");
    PipeWireAudioHardware hardware;
    deviceWithUid(hardware, "mic1");
    TapAndAggregate capture(hardware, "mic1", {{processObject(hardware, getpid())}});
    Recording recording;
    IOProc proc(hardware, capture.aggregate, recording);
    proc.start();
    ASSERT_TRUE(proc.runUntil(100));
    proc.stop();

    // Steady state: from the 20th callback on, the real-time thread makes no heap allocation at all,
    // neither in our callback path nor in PipeWire's cycle around it.
    const uint64_t before = recording.callback(20).allocations;
    const uint64_t after = recording.callback(recording.count() - 1).allocations;
    EXPECT_EQ(after - before, 0u) << "allocations on the real-time thread over " << recording.count() - 21
                                  << " cycles";
}

TEST_F(PipeWireBackendTest, ReadsAPlainMicrophoneDirectly) {
    spawned.start("mic mic1 440");
    PipeWireAudioHardware hardware;
    const AudioObjectID mic = deviceWithUid(hardware, "mic1");
    Recording recording;
    IOProc proc(hardware, mic, recording);
    proc.start();
    ASSERT_TRUE(proc.runUntil(40));
    EXPECT_TRUE(
        waitUntil([&] { return read<uint32_t>(hardware, mic, kAudioDevicePropertyDeviceIsRunning) == 1; }));
    proc.stop();
    EXPECT_EQ(recording.callback(0).buffers, 1u);
    EXPECT_EQ(recording.callback(0).channels[0], 1u);
    EXPECT_GT(amplitudeAt(recording.channel(0, 15), 440), kPresent);
}

TEST_F(PipeWireBackendTest, CarriesTheEnginesCaptureDevicesAndCallDetection) {
    spawned.start("mic mic1 440");
    AudioHardware::setShared(std::make_unique<PipeWireAudioHardware>());
    AudioHardware& hardware = AudioHardware::shared();
    const AudioObjectID mic = deviceWithUid(hardware, "mic1");
    {
        const SystemAudioTap tap;
        const AggregateDevice device(tap, mic);
        EXPECT_EQ(device.streamChannels(), (std::vector<int>{1, 2}));
        EXPECT_EQ(device.leadingStreamCount(), 1);
        EXPECT_TRUE(device.leadingStreamsAreMicrophone());
        EXPECT_EQ(device.micName(), "mic1");
        ASSERT_TRUE(tap.format());
        EXPECT_EQ(tap.format()->mSampleRate, kRate);
        EXPECT_EQ(tap.format()->mChannelsPerFrame, 2u);

        // Without a microphone the default speaker leads, with no streams of its own.
        const AggregateDevice speakerLed(tap, std::nullopt);
        EXPECT_EQ(speakerLed.streamChannels(), std::vector<int>{2});
        EXPECT_EQ(speakerLed.leadingStreamCount(), 0);
        EXPECT_FALSE(speakerLed.micName());
        hardware.destroyAggregateDevice(speakerLed.deviceID());
        hardware.destroyAggregateDevice(device.deviceID());
        hardware.destroyProcessTap(tap.tapID());
    }
    const std::string dir = std::getenv("QUILLORA_SANDBOX_DIR");
    const pid_t recorder = spawned.start("record-mic mic1 " + dir + "/engine.wav");
    EXPECT_TRUE(waitUntil([&] {
        const auto clients = CallDetector::microphoneClients();
        return std::any_of(clients.begin(), clients.end(),
                           [&](const MicrophoneClient& client) { return client.pid == recorder; });
    }));
    AudioHardware::setShared(nullptr);
}

namespace {

// A second, bare PipeWire server of this test's own (no session manager), which the test can kill and
// start again. It dies with the test process.
class OwnServer {
public:
    explicit OwnServer(std::string name) : name_(std::move(name)) {}
    ~OwnServer() { stop(); }

    const std::string& name() const { return name_; }
    void start() {
        std::vector<std::string> environment;
        for (char** entry = environ; *entry != nullptr; ++entry) {
            environment.emplace_back(*entry);
        }
        environment.push_back("PIPEWIRE_CORE=" + name_);
        std::vector<char*> envp;
        for (std::string& entry : environment) {
            envp.push_back(entry.data());
        }
        envp.push_back(nullptr);
        std::string program = "setpriv";
        std::string option = "--pdeathsig";
        std::string signal = "KILL";
        std::string daemon = "pipewire";
        char* argv[] = {program.data(), option.data(), signal.data(), daemon.data(), nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        ASSERT_EQ(posix_spawnp(&pid_, "setpriv", &actions, nullptr, argv, envp.data()), 0);
        posix_spawn_file_actions_destroy(&actions);
        const std::string socket = std::string(std::getenv("XDG_RUNTIME_DIR")) + "/" + name_;
        ASSERT_TRUE(waitUntil([&] { return access(socket.c_str(), F_OK) == 0; }));
    }
    void stop() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            pid_ = 0;
        }
    }
    void run(const std::string& arguments) {
        const std::string command = "pw-cli -r " + name_ + " " + arguments + " >/dev/null";
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
    }

private:
    std::string name_;
    pid_t pid_ = 0;
};

// Points new connections of this process at `name` for the life of the scope.
class Remote {
public:
    explicit Remote(const std::string& name) { setenv("PIPEWIRE_REMOTE", name.c_str(), 1); }
    ~Remote() { unsetenv("PIPEWIRE_REMOTE"); }
};

} // namespace

TEST_F(PipeWireBackendTest, SurvivesTheServerGoingAwayAndComingBack) {
    OwnServer server("quillora-test-" + std::to_string(getpid()));
    const Remote remote(server.name());
    PipeWireAudioHardware hardware; // nothing to connect to yet
    uint32_t value = 0;
    uint32_t size = sizeof(value);
    EXPECT_FALSE(hardware.isConnected());
    EXPECT_EQ(hardware.getPropertyData(kAudioObjectSystemObject,
                                       address(kAudioHardwarePropertyDefaultInputDevice), 0, nullptr, &size,
                                       &value),
              kAudioHardwareNotRunningError);
    AudioObjectID tap = kAudioObjectUnknown;
    EXPECT_EQ(hardware.createProcessTap(CATapDescription::stereoGlobalTapButExcludeProcesses({}), &tap),
              kAudioHardwareNotRunningError);

    // The server appears: the next calls connect (they try at most once a second).
    server.start();
    ASSERT_TRUE(waitUntil([&] { return hardware.isConnected(); }, 3000ms));
    server.run("create-node adapter '{ factory.name=support.null-audio-sink node.name=own-spk "
               "media.class=Audio/Sink object.linger=true audio.position=[FL FR] }'");
    const AudioObjectID speaker = deviceWithUid(hardware, "own-spk");
    std::optional<TapAndAggregate> capture;
    capture.emplace(hardware, std::nullopt, std::vector<std::vector<AudioObjectID>>{{}});
    Recording recording;
    std::optional<IOProc> proc;
    proc.emplace(hardware, capture->aggregate, recording);
    proc->start();
    ASSERT_TRUE(proc->runUntil(5));

    // It dies: everything answers "not running", and the callbacks stop.
    server.stop();
    EXPECT_TRUE(waitUntil([&] { return !hardware.isConnected(); }, 2000ms));
    EXPECT_EQ(hardware.getPropertyData(capture->aggregate, address(kAudioDevicePropertyDeviceIsAlive), 0,
                                       nullptr, &size, &value),
              kAudioHardwareNotRunningError);
    const std::size_t stoppedAt = recording.count();
    waitUntil([] { return false; }, 200ms);
    EXPECT_EQ(recording.count(), stoppedAt);

    // It comes back: the old aggregate and speaker are dead, new ones work.
    server.start();
    ASSERT_TRUE(waitUntil([&] { return hardware.isConnected(); }, 3000ms));
    EXPECT_EQ(read<uint32_t>(hardware, capture->aggregate, kAudioDevicePropertyDeviceIsAlive), 0u);
    EXPECT_EQ(read<uint32_t>(hardware, speaker, kAudioDevicePropertyDeviceIsAlive), 0u);
    EXPECT_EQ(hardware.deviceStop(capture->aggregate, proc->id()), kAudioHardwareNoError);
    EXPECT_EQ(hardware.deviceStart(capture->aggregate, proc->id()), kAudioHardwareIllegalOperationError)
        << "its node went with the old connection";
    proc.reset();
    capture.reset();
    capture.emplace(hardware, std::nullopt, std::vector<std::vector<AudioObjectID>>{{}});
    Recording again;
    IOProc fresh(hardware, capture->aggregate, again);
    fresh.start();
    EXPECT_TRUE(fresh.runUntil(5));
}

int main(int argc, char** argv) {
    // Never against a real session: only inside the sandbox the test script starts.
    if (!insideSandbox(argv[0])) {
        return 1;
    }
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    // Speakers shared by every test: a stereo default, a second stereo one and a mono one.
    sandbox("speaker spk1 'Speaker 1'");
    sandbox("speaker spk2 'Speaker 2'");
    sandbox("speaker spkm 'Mono speaker' MONO");
    sandbox("default-sink spk1");
    return RUN_ALL_TESTS();
}
