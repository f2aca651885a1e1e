#include "QuilloraCore/AggregateDevice.h"
#include "QuilloraCore/CallDetector.h"
#include "QuilloraCore/CoreAudioHelpers.h"
#include "QuilloraCore/SystemAudioTap.h"
#include "SimulatedTestSupport.h"

#include <QThread>
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <future>
#include <unistd.h>

namespace {

using Signal = SimulatedAudioHardware::Signal;
using Operation = SimulatedAudioHardware::Operation;

// Collects what an IO block receives.
struct Collector {
    std::mutex mutex;
    int calls = 0;
    std::vector<std::vector<uint32_t>> layouts; // channels per buffer, per call
    std::vector<std::vector<float>> samples;    // per stream, every call appended
    std::vector<double> sampleTimes;
    std::vector<const void*> firstData;
    bool pointersStable = true;
    bool onTestThread = false;
    std::thread::id testThread = std::this_thread::get_id();

    AudioDeviceIOBlock block() {
        return [this](const AudioTimeStamp*, const AudioBufferList* input, const AudioTimeStamp* inputTime,
                      AudioBufferList*, const AudioTimeStamp*) {
            std::lock_guard lock(mutex);
            ++calls;
            onTestThread = onTestThread || std::this_thread::get_id() == testThread;
            sampleTimes.push_back(inputTime->mSampleTime);
            std::vector<uint32_t> layout;
            samples.resize(std::max<std::size_t>(samples.size(), input->mNumberBuffers));
            for (uint32_t i = 0; i < input->mNumberBuffers; ++i) {
                const AudioBuffer& buffer = input->mBuffers[i];
                layout.push_back(buffer.mNumberChannels);
                const auto* data = static_cast<const float*>(buffer.mData);
                samples[i].insert(samples[i].end(), data, data + buffer.mDataByteSize / sizeof(float));
                if (firstData.size() <= i) {
                    firstData.push_back(buffer.mData);
                } else if (firstData[i] != buffer.mData) {
                    pointersStable = false;
                }
            }
            layouts.push_back(std::move(layout));
        };
    }

    int callCount() {
        std::lock_guard lock(mutex);
        return calls;
    }
};

// Channel `channel` of an interleaved stream.
std::vector<float> channelOf(const std::vector<float>& interleaved, std::size_t channels,
                             std::size_t channel) {
    std::vector<float> result;
    for (std::size_t i = channel; i < interleaved.size(); i += channels) {
        result.push_back(interleaved[i]);
    }
    return result;
}

// Frequency from rising zero crossings.
double frequencyOf(const std::vector<float>& samples, double rate) {
    int crossings = 0;
    for (std::size_t i = 1; i < samples.size(); ++i) {
        if (samples[i - 1] < 0 && samples[i] >= 0) {
            ++crossings;
        }
    }
    return crossings * rate / static_cast<double>(samples.size());
}

float peakOf(const std::vector<float>& samples) {
    float peak = 0;
    for (float sample : samples) {
        peak = std::max(peak, std::fabs(sample));
    }
    return peak;
}

class SimulatedHardwareTest : public SimulatedAudioTest {
protected:
    AudioDeviceIOProcID startCollecting(AudioObjectID device, Collector& collector) {
        AudioDeviceIOProcID proc = 0;
        EXPECT_EQ(sim->createIOProcIDWithBlock(device, collector.block(), &proc), kAudioHardwareNoError);
        EXPECT_EQ(sim->deviceStart(device, proc), kAudioHardwareNoError);
        return proc;
    }
};

TEST_F(SimulatedHardwareTest, AggregateDeliversMicrophoneThenTapStreams) {
    sim->setBufferFrames(480);
    const AudioObjectID mic = addInput("Microfono USB", "usb-mic", {1}, Signal::tone(440, 0.5f));
    addOutput("Altoparlanti", "speakers", Signal::tone(1000, 0.25f));
    const SystemAudioTap tap;
    const AggregateDevice aggregate(tap, mic);

    Collector collector;
    const AudioDeviceIOProcID proc = startCollecting(aggregate.deviceID(), collector);
    EXPECT_EQ(CoreAudio::value<uint32_t>(aggregate.deviceID(), kAudioDevicePropertyDeviceIsRunning,
                                         kAudioObjectPropertyScopeGlobal, 9),
              1u);
    EXPECT_EQ(CoreAudio::value<uint32_t>(mic, kAudioDevicePropertyDeviceIsRunning,
                                         kAudioObjectPropertyScopeGlobal, 9),
              1u);
    sim->runCycles(50);
    EXPECT_EQ(sim->deviceStop(aggregate.deviceID(), proc), kAudioHardwareNoError);
    EXPECT_EQ(CoreAudio::value<uint32_t>(aggregate.deviceID(), kAudioDevicePropertyDeviceIsRunning,
                                         kAudioObjectPropertyScopeGlobal, 9),
              0u);

    std::lock_guard lock(collector.mutex);
    ASSERT_EQ(collector.calls, 50);
    EXPECT_FALSE(collector.onTestThread);
    EXPECT_TRUE(collector.pointersStable);
    for (const auto& layout : collector.layouts) {
        ASSERT_EQ(layout, (std::vector<uint32_t>{1, 2}));
    }
    EXPECT_EQ(collector.sampleTimes[0], 0.0);
    EXPECT_EQ(collector.sampleTimes[49], 49 * 480.0);

    const std::vector<float>& voice = collector.samples[0];
    ASSERT_EQ(voice.size(), 50u * 480u);
    EXPECT_NEAR(frequencyOf(voice, 48000), 440, 440 * 0.02);
    EXPECT_NEAR(peakOf(voice), 0.5f, 0.01f);

    const std::vector<float> left = channelOf(collector.samples[1], 2, 0);
    const std::vector<float> right = channelOf(collector.samples[1], 2, 1);
    ASSERT_EQ(left.size(), 50u * 480u);
    EXPECT_EQ(left, right);
    EXPECT_NEAR(frequencyOf(left, 48000), 1000, 1000 * 0.02);
    EXPECT_NEAR(peakOf(left), 0.25f, 0.01f);
}

TEST_F(SimulatedHardwareTest, SilentOrUnpluggedDevices) {
    const AudioObjectID mic = addInput("Microfono USB", "usb-mic", {1}, Signal::tone(300, 0.5f));
    const SystemAudioTap tap;
    const AggregateDevice aggregate(tap, mic);
    Collector direct;
    Collector aggregated;
    startCollecting(mic, direct);
    startCollecting(aggregate.deviceID(), aggregated);

    // A silent device stops calling back, and so does every aggregate it leads.
    sim->setSilent(mic, true);
    sim->runCycles(10);
    EXPECT_EQ(direct.callCount(), 0);
    EXPECT_EQ(aggregated.callCount(), 0);
    sim->setSilent(mic, false);
    sim->runCycles(10);
    EXPECT_EQ(direct.callCount(), 10);
    EXPECT_EQ(aggregated.callCount(), 10);

    // Unplugged: its own procedure stops, the aggregate keeps going with silence where the voice was.
    sim->removeDevice(mic);
    std::size_t before = 0;
    {
        std::lock_guard lock(aggregated.mutex);
        before = aggregated.samples[0].size();
    }
    sim->runCycles(5);
    EXPECT_EQ(direct.callCount(), 10);
    std::lock_guard lock(aggregated.mutex);
    EXPECT_EQ(aggregated.calls, 15);
    const std::vector<float> after(aggregated.samples[0].begin() + static_cast<std::ptrdiff_t>(before),
                                   aggregated.samples[0].end());
    EXPECT_EQ(peakOf(after), 0.0f);
    EXPECT_EQ(CoreAudio::value<uint32_t>(mic, kAudioDevicePropertyDeviceIsAlive,
                                         kAudioObjectPropertyScopeGlobal, 9),
              0u);
}

TEST_F(SimulatedHardwareTest, ProceduresStopAndGoWithTheirDevice) {
    const AudioObjectID mic = addInput("Microfono USB", "usb-mic", {1});
    const SystemAudioTap tap;
    const AggregateDevice aggregate(tap, mic);
    const AudioObjectID device = aggregate.deviceID();

    sim->injectFault(Operation::createIOProc, kAudioHardwareUnspecifiedError, 0, 1);
    sim->injectFault(Operation::deviceStart, kAudioHardwareIllegalOperationError, 0, 1);
    Collector collector;
    AudioDeviceIOProcID proc = 0;
    EXPECT_EQ(sim->createIOProcIDWithBlock(device, collector.block(), &proc), kAudioHardwareUnspecifiedError);
    ASSERT_EQ(sim->createIOProcIDWithBlock(device, collector.block(), &proc), kAudioHardwareNoError);
    EXPECT_EQ(sim->deviceStart(device, proc), kAudioHardwareIllegalOperationError);
    ASSERT_EQ(sim->deviceStart(device, proc), kAudioHardwareNoError);
    sim->runCycles(3);
    EXPECT_EQ(sim->deviceStop(device, proc), kAudioHardwareNoError);
    sim->runCycles(3);
    EXPECT_EQ(collector.callCount(), 3);

    EXPECT_EQ(sim->deviceStart(device, proc), kAudioHardwareNoError);
    EXPECT_EQ(sim->destroyAggregateDevice(device), kAudioHardwareNoError);
    sim->runCycles(3);
    EXPECT_EQ(collector.callCount(), 3);
    EXPECT_EQ(sim->ioProcCount(), 0u);
    EXPECT_EQ(sim->destroyIOProcID(device, proc), kAudioHardwareBadObjectError);
    EXPECT_EQ(sim->destroyAggregateDevice(device), kAudioHardwareBadObjectError);
    EXPECT_EQ(sim->destroyProcessTap(tap.tapID()), kAudioHardwareNoError);
    EXPECT_EQ(sim->destroyProcessTap(tap.tapID()), kAudioHardwareBadObjectError);
}

TEST_F(SimulatedHardwareTest, DefaultInputListenerRunsOnTheMainThread) {
    const AudioObjectID builtIn = addInput("Microfono interno", "built-in", {1});
    const AudioObjectID usb = addInput("Microfono USB", "usb-mic", {1});
    QCoreApplication::processEvents(); // drop the notices of the set-up

    struct Call {
        bool onMainThread;
        AudioObjectPropertySelector selector;
    };
    std::vector<Call> calls;
    const AudioObjectPropertyAddress address{kAudioHardwarePropertyDefaultInputDevice};
    AudioObjectPropertyListenerID listener = 0;
    ASSERT_EQ(sim->addPropertyListenerBlock(
                  kAudioObjectSystemObject, address,
                  [&](uint32_t count, const AudioObjectPropertyAddress* addresses) {
                      calls.push_back({QThread::currentThread() == QCoreApplication::instance()->thread(),
                                       count == 1 ? addresses[0].mSelector : 0});
                  },
                  &listener),
              kAudioHardwareNoError);
    const auto defaultInput = [] {
        return CoreAudio::value<AudioObjectID>(kAudioObjectSystemObject,
                                               kAudioHardwarePropertyDefaultInputDevice,
                                               kAudioObjectPropertyScopeGlobal, 0);
    };

    std::thread([&] { EXPECT_TRUE(sim->setDefaultInput(usb)); }).join();
    ASSERT_TRUE(waitUntil([&] { return calls.size() == 1; }));
    EXPECT_TRUE(calls[0].onMainThread);
    EXPECT_EQ(calls[0].selector, kAudioHardwarePropertyDefaultInputDevice);
    EXPECT_EQ(defaultInput(), usb);

    // Unplugging the default microphone moves the default to the one left, and says so.
    sim->removeDevice(usb);
    ASSERT_TRUE(waitUntil([&] { return calls.size() == 2; }));
    EXPECT_TRUE(calls[1].onMainThread);
    EXPECT_EQ(defaultInput(), builtIn);
    EXPECT_FALSE(sim->setDefaultInput(usb));

    sim->removeDevice(builtIn);
    ASSERT_TRUE(waitUntil([&] { return calls.size() == 3; }));
    EXPECT_EQ(defaultInput(), kAudioObjectUnknown);

    // A change still queued when the listener is removed is not delivered.
    const AudioObjectID third = addInput("Microfono Bluetooth", "bt-mic", {1});
    EXPECT_EQ(defaultInput(), third);
    EXPECT_EQ(sim->removePropertyListenerBlock(kAudioObjectSystemObject, address, listener),
              kAudioHardwareNoError);
    EXPECT_EQ(sim->removePropertyListenerBlock(kAudioObjectSystemObject, address, listener),
              kAudioHardwareIllegalOperationError);
    QCoreApplication::processEvents();
    EXPECT_EQ(calls.size(), 3u);
    EXPECT_EQ(sim->listenerCount(), 0u);
}

TEST_F(SimulatedHardwareTest, AccessRequestAnswersOnAnotherThread) {
    const auto ask = [&] {
        std::promise<std::pair<bool, bool>> answer; // granted, on the main thread
        sim->requestAccess([&](bool granted) {
            answer.set_value({granted, QThread::currentThread() == QCoreApplication::instance()->thread()});
        });
        return answer.get_future().get();
    };

    EXPECT_EQ(sim->authorizationStatus(), AVAuthorizationStatusAuthorized);
    EXPECT_EQ(ask(), std::make_pair(true, false));

    sim->setAuthorizationStatus(AVAuthorizationStatusNotDetermined);
    sim->setGrantOnRequest(false);
    EXPECT_EQ(ask(), std::make_pair(false, false));
    EXPECT_EQ(sim->authorizationStatus(), AVAuthorizationStatusDenied);
    // Once denied, the answer stays no without asking again.
    sim->setGrantOnRequest(true);
    EXPECT_EQ(ask(), std::make_pair(false, false));
    EXPECT_EQ(sim->accessRequests(), 3);
}

TEST_F(SimulatedHardwareTest, SystemListsAndAStoppedSystem) {
    const AudioObjectID first = addInput("Microfono", "mic", {1});
    const AudioObjectID second = addOutput("Altoparlanti", "speakers");
    const SystemAudioTap tapA;
    const SystemAudioTap tapB;

    const AudioObjectPropertyAddress taps{kAudioHardwarePropertyTapList};
    uint32_t size = 0;
    ASSERT_EQ(sim->getPropertyDataSize(kAudioObjectSystemObject, taps, 0, nullptr, &size),
              kAudioHardwareNoError);
    EXPECT_EQ(size / 4, 2u);

    // A list read into a short buffer gets the entries that fit.
    const AudioObjectPropertyAddress devices{kAudioHardwarePropertyDevices};
    AudioObjectID one = 0;
    size = sizeof(one);
    ASSERT_EQ(sim->getPropertyData(kAudioObjectSystemObject, devices, 0, nullptr, &size, &one),
              kAudioHardwareNoError);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(one, first);
    std::vector<AudioObjectID> all(4, 0);
    size = 16;
    ASSERT_EQ(sim->getPropertyData(kAudioObjectSystemObject, devices, 0, nullptr, &size, all.data()),
              kAudioHardwareNoError);
    EXPECT_EQ(size, 8u); // aggregates are not listed
    EXPECT_EQ(all[1], second);

    Collector collector;
    startCollecting(first, collector);
    sim->setStopped(true);
    sim->runCycles(3);
    EXPECT_EQ(collector.callCount(), 0);
    EXPECT_EQ(sim->getPropertyDataSize(kAudioObjectSystemObject, taps, 0, nullptr, &size),
              kAudioHardwareNotRunningError);
    EXPECT_THROW(SystemAudioTap(), CoreAudioError);
    sim->setStopped(false);
    sim->runCycles(3);
    EXPECT_EQ(collector.callCount(), 3);
}

TEST_F(SimulatedHardwareTest, RealTimeClockKeepsThePace) {
    sim->setBufferFrames(480); // 10 ms at 48 kHz
    const AudioObjectID mic = addInput("Microfono", "mic", {1});
    Collector collector;
    startCollecting(mic, collector);
    sim->setClockMode(SimulatedAudioHardware::ClockMode::realTime);
    const auto started = std::chrono::steady_clock::now();
    sim->runCycles(10);
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(80));
    EXPECT_GE(collector.callCount(), 10);
}

TEST_F(SimulatedHardwareTest, DemoSystem) {
    AudioHardware::setShared(SimulatedAudioHardware::makeDemo());
    const AudioObjectID mic =
        CoreAudio::value<AudioObjectID>(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultInputDevice,
                                        kAudioObjectPropertyScopeGlobal, 0);
    const AudioObjectID speakers =
        CoreAudio::value<AudioObjectID>(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultOutputDevice,
                                        kAudioObjectPropertyScopeGlobal, 0);
    EXPECT_EQ(AudioHardware::shared().backendName(), "simulated");
    EXPECT_EQ(CoreAudio::string(mic, kAudioObjectPropertyName), "Microfono simulato");
    EXPECT_EQ(CoreAudio::string(speakers, kAudioObjectPropertyName), "Altoparlanti simulati");
    EXPECT_EQ(CoreAudio::inputStreamChannels(mic), std::vector<int>{1});
    EXPECT_TRUE(CoreAudio::inputStreamChannels(speakers).empty());

    // Both sides speak, and not at the same moments all the time.
    Collector collector;
    const SystemAudioTap tap;
    const AggregateDevice aggregate(tap, mic);
    AudioDeviceIOProcID proc = 0;
    ASSERT_EQ(AudioHardware::shared().createIOProcIDWithBlock(aggregate.deviceID(), collector.block(), &proc),
              kAudioHardwareNoError);
    ASSERT_EQ(AudioHardware::shared().deviceStart(aggregate.deviceID(), proc), kAudioHardwareNoError);
    ASSERT_TRUE(waitUntil([&] { return collector.callCount() >= 5; }));
    AudioHardware::shared().destroyIOProcID(aggregate.deviceID(), proc);
    std::lock_guard lock(collector.mutex);
    EXPECT_EQ(collector.layouts[0], (std::vector<uint32_t>{1, 2}));
}

// The demonstration's call application: in the call watch's list from the start, gone once its time is up;
// an identifier with a colon but no duration after it is taken whole.
TEST_F(SimulatedHardwareTest, DemoSystemCallApplication) {
    const auto callersWith = [](const char* setting) {
        setenv("QUILLORA_SIMULATED_CALL", setting, 1);
        AudioHardware::setShared(SimulatedAudioHardware::makeDemo());
        unsetenv("QUILLORA_SIMULATED_CALL");
        return CallDetector::microphoneClients();
    };
    const std::vector<MicrophoneClient> steady = callersWith("org.example.Conferenza");
    ASSERT_EQ(steady.size(), 1u);
    EXPECT_EQ(steady[0].bundleID, "org.example.Conferenza");
    EXPECT_NE(steady[0].pid, static_cast<int32_t>(getpid()));
    EXPECT_EQ(CallDetector::callApps(steady, static_cast<int32_t>(getpid())),
              std::vector<std::string>{"org.example.Conferenza"});

    const std::vector<MicrophoneClient> brief = callersWith("org.example.Conferenza:0.3");
    ASSERT_EQ(brief.size(), 1u);
    EXPECT_EQ(brief[0].bundleID, "org.example.Conferenza");
    EXPECT_TRUE(waitUntil([] { return CallDetector::microphoneClients().empty(); }));

    const std::vector<MicrophoneClient> odd = callersWith("org.example:Conferenza");
    ASSERT_EQ(odd.size(), 1u);
    EXPECT_EQ(odd[0].bundleID, "org.example:Conferenza");
    EXPECT_EQ(callersWith("org.example.Conferenza:0").size(), 0u);
}

TEST(SimulatedSignalTest, VoicePausesBetweenPhrases) {
    const Signal voice = Signal::voice(150, 0.3f);
    float speaking = 0;
    float pause = 0;
    for (int i = 0; i < 48000; ++i) {
        speaking = std::max(speaking, std::fabs(voice.at(0.5 + i / 96000.0))); // 0.5 s to 1.0 s
        pause = std::max(pause, std::fabs(voice.at(2.6 + i / 96000.0)));       // 2.6 s to 3.1 s
    }
    EXPECT_GT(speaking, 0.1f);
    EXPECT_LE(speaking, 0.3f);
    EXPECT_EQ(pause, 0.0f);
    // Shifted by 1.8 s, a voice talks in those pauses (the demo's other side does).
    const Signal otherSide = Signal::voice(220, 0.2f, 1.8);
    float answer = 0;
    for (int i = 0; i < 48000; ++i) {
        answer = std::max(answer, std::fabs(otherSide.at(2.6 + i / 96000.0)));
    }
    EXPECT_GT(answer, 0.1f);
}

TEST_F(SimulatedHardwareTest, ConfigurationWhileTheClockRuns) {
    sim->setBufferFrames(256);
    const AudioObjectID mic = addInput("Microfono", "mic", {1}, Signal::tone(440, 0.5f));
    addOutput("Altoparlanti", "speakers", Signal::tone(660, 0.5f));
    const SystemAudioTap tap;
    const AggregateDevice aggregate(tap, mic);
    std::atomic<int> calls{0};
    AudioDeviceIOProcID proc = 0;
    ASSERT_EQ(sim->createIOProcIDWithBlock(
                  aggregate.deviceID(),
                  [&](const AudioTimeStamp*, const AudioBufferList* input, const AudioTimeStamp*,
                      AudioBufferList*, const AudioTimeStamp*) {
                      // Blocks may read properties while the test thread reconfigures.
                      if (input->mNumberBuffers == 2 && CoreAudio::inputStreamChannels(mic).size() == 1) {
                          ++calls;
                      }
                  },
                  &proc),
              kAudioHardwareNoError);
    ASSERT_EQ(sim->deviceStart(aggregate.deviceID(), proc), kAudioHardwareNoError);

    sim->grantCycles(2000);
    for (int i = 0; i < 200; ++i) {
        const AudioObjectID extra = addInput("Altro", "extra-" + std::to_string(i), {2});
        sim->setInputSignal(mic, Signal::tone(400 + i, 0.5f));
        sim->setDefaultInput(i % 2 == 0 ? extra : mic);
        sim->removeDevice(extra);
        AudioDeviceIOProcID other = 0;
        ASSERT_EQ(sim->createIOProcIDWithBlock(
                      mic, [](auto...) {}, &other),
                  kAudioHardwareNoError);
        sim->deviceStart(mic, other);
        sim->destroyIOProcID(mic, other);
    }
    sim->runCycles(0);
    EXPECT_EQ(sim->cyclesRun(), 2000u);
    EXPECT_EQ(calls.load(), 2000);
    QCoreApplication::processEvents();
}

} // namespace
