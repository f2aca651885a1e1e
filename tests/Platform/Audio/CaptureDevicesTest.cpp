#include "QuilloraCore/AggregateDevice.h"
#include "QuilloraCore/CallDetector.h"
#include "QuilloraCore/CoreAudioHelpers.h"
#include "QuilloraCore/SystemAudioTap.h"
#include "SimulatedTestSupport.h"

#include <set>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using CaptureDevicesTest = SimulatedAudioTest;
using MicrophoneClientsTest = SimulatedAudioTest;

TEST_F(CaptureDevicesTest, TapIsPrivateStereoAndExcludesOwnProcessWhateverItsLookupGives) {
    const SystemAudioTap tap;
    const CATapDescription description = sim->tapRequests().back();
    const AudioObjectID own = CoreAudio::processObject(static_cast<int32_t>(getpid()));
    EXPECT_EQ(description.processes, std::vector<AudioObjectID>{own});
    EXPECT_TRUE(description.exclusive && description.mixdownStereo && description.isPrivate &&
                description.muteBehavior == CATapDescription::unmuted);
    EXPECT_EQ(tap.uid(), description.uuid);
    const auto format = tap.format();
    EXPECT_TRUE(format && format->mSampleRate == 48000 && format->mChannelsPerFrame == 2);
    sim->setPropertyFailure(tap.tapID(), kAudioTapPropertyFormat);
    EXPECT_FALSE(tap.format().has_value());

    sim->setOwnProcessVisible(false);
    const SystemAudioTap unknown;
    EXPECT_NE(unknown.uid(), tap.uid());
    // The lookup succeeded with 0: that id goes into the list like any other.
    EXPECT_EQ(sim->tapRequests().back().processes, std::vector<AudioObjectID>{kAudioObjectUnknown});
    sim->setPropertyFailure(kAudioObjectSystemObject, kAudioHardwarePropertyTranslatePIDToProcessObject);
    const SystemAudioTap unexcluded;
    EXPECT_TRUE(sim->tapRequests().back().processes.empty());
}

// Who leads the aggregate, and the stream layout it reports, for each microphone and default output.
TEST_F(CaptureDevicesTest, theLeadingDeviceAndTheStreamLayout) {
    enum class Default { output, none, unreadable, headset };
    using Behavior = SimulatedAudioHardware::AggregateBehavior;
    struct Case {
        const char* what;
        std::vector<int> mic; // its streams; none: no microphone
        Default output;
        AudioObjectPropertySelector micFailure;
        Behavior behavior;
        std::vector<int> streams;
        int leading;
        std::optional<std::string> micName, master;
    };
    const Behavior normal, clamped{0ms, std::vector<int>{2}}, never{std::nullopt, {}}, late{200ms, {}};
    const std::string usb = "Microfono USB", unknown = "dispositivo sconosciuto";
    const AudioObjectPropertySelector uid = kAudioDevicePropertyDeviceUID, name = kAudioObjectPropertyName;
    const std::vector<Case> cases{
        {"a microphone leads", {1}, Default::output, 0, normal, {1, 2}, 1, usb, "usb-mic"},
        {"no default output: the tap alone", {}, Default::none, 0, normal, {2}, 0, {}, {}},
        {"unreadable default output", {}, Default::unreadable, 0, normal, {2}, 0, {}, {}},
        {"a headset leads, is no mic", {}, Default::headset, 0, normal, {1, 2}, 1, {}, "headset"},
        {"the tap is never led", {1}, Default::output, 0, clamped, {2}, 0, usb, "usb-mic"},
        {"tap streams never appear", {2, 2}, Default::output, 0, never, {2, 2}, 1, usb, "usb-mic"},
        {"tap streams appear late", {1}, Default::output, 0, late, {1, 2}, 1, usb, "usb-mic"},
        {"unreadable microphone uid", {1}, Default::output, uid, normal, {2}, 0, usb, {}},
        {"unreadable microphone name", {1}, Default::output, name, normal, {1, 2}, 1, unknown, "usb-mic"},
    };
    const AudioObjectID speakers = addOutput("Altoparlanti", "speakers");
    const SystemAudioTap tap;
    std::set<std::string> uids;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sim->clearPropertyFailures();
        sim->setAggregateBehavior(c.behavior);
        sim->setDefaultOutput(c.output == Default::none ? kAudioObjectUnknown : speakers);
        if (c.output == Default::unreadable) {
            sim->setPropertyFailure(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultOutputDevice);
        } else if (c.output == Default::headset) {
            sim->setDefaultOutput(sim->addDevice({"Cuffie", "headset", {1}, {2}, 48000, {}, {}}));
        }
        const auto mic = c.mic.empty() ? std::nullopt : std::optional(addInput(usb, "usb-mic", c.mic));
        if (mic) {
            sim->setPropertyFailure(*mic, c.micFailure); // 0: none
        }
        const auto started = std::chrono::steady_clock::now();
        const AggregateDevice aggregate(tap, mic);
        // Tap streams that never appear are waited for 20 × 50 ms.
        EXPECT_TRUE(c.behavior.tapStreamDelay || std::chrono::steady_clock::now() - started >= 950ms);
        EXPECT_EQ(aggregate.streamChannels(), c.streams);
        EXPECT_EQ(aggregate.leadingStreamCount(), c.leading);
        EXPECT_EQ(aggregate.leadingStreamsAreMicrophone(), mic.has_value());
        EXPECT_EQ(aggregate.micName(), c.micName);
        const AggregateDeviceDescription description = sim->aggregateRequests().back();
        EXPECT_EQ(description.master, c.master);
        ASSERT_EQ(description.subdevices.size(), c.master ? 1u : 0u);
        EXPECT_EQ(c.master ? description.subdevices[0].uid : "", c.master.value_or(""));
        EXPECT_TRUE(description.isPrivate && description.stacked == false &&
                    description.tapAutoStart == false);
        ASSERT_EQ(description.taps.size(), 1u);
        EXPECT_TRUE(description.taps[0].uid == tap.uid() && description.taps[0].drift);
        // Every aggregate gets its own identifier, so a rebuild never collides with the previous one.
        EXPECT_TRUE(uids.insert(description.uid).second);
        if (mic) {
            sim->removeDevice(*mic);
        }
    }
    EXPECT_TRUE(sim->liveAggregateCount() == cases.size() && sim->liveTapCount() == 1u) << "none destroyed";
}

TEST_F(MicrophoneClientsTest, ListsProcessesRunningInputInListOrderWithDefaultsForWhatIsUnreadable) {
    sim->addProcess(100, "com.example.Chat", true);
    sim->addProcess(200, "com.example.Music", false);
    sim->addProcess(300, std::nullopt, true);
    sim->setPropertyFailure(sim->addProcess(400, "com.example.Chat", true), kAudioProcessPropertyPID);
    sim->setPropertyFailure(sim->addProcess(500, "com.example.Meet", true), kAudioProcessPropertyBundleID);
    sim->setPropertyFailure(sim->addProcess(600, "com.example.Other", true),
                            kAudioProcessPropertyIsRunningInput);
    // Not our own process: it is listed, but not capturing.
    const std::vector<MicrophoneClient> expected{
        {100, "com.example.Chat"}, {300, ""}, {0, "com.example.Chat"}, {500, ""}};
    EXPECT_EQ(CallDetector::microphoneClients(), expected);

    sim->setPropertyFailure(kAudioObjectSystemObject, kAudioHardwarePropertyProcessObjectList);
    EXPECT_TRUE(CallDetector::microphoneClients().empty());
}

} // namespace
