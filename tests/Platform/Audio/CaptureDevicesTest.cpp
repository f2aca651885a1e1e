#include "QuilloraCore/AggregateDevice.h"
#include "QuilloraCore/CoreAudioHelpers.h"
#include "QuilloraCore/SystemAudioTap.h"
#include "SimulatedTestSupport.h"

#include <unistd.h>

namespace {

class CaptureDevicesTest : public SimulatedAudioTest {
protected:
    void SetUp() override {
        SimulatedAudioTest::SetUp();
        speakers = addOutput("Altoparlanti", "speakers");
    }

    AudioObjectID speakers = kAudioObjectUnknown;
};

TEST_F(CaptureDevicesTest, TapIsPrivateStereoAndExcludesOwnProcess) {
    const SystemAudioTap tap;
    EXPECT_EQ(tap.tapID(), sim->lastTap());
    const SystemAudioTap second;

    const std::vector<CATapDescription> requests = sim->tapRequests();
    ASSERT_EQ(requests.size(), 2u);
    const CATapDescription& description = requests[0];
    const AudioObjectID own = CoreAudio::processObject(static_cast<int32_t>(getpid()));
    EXPECT_EQ(description.processes, std::vector<AudioObjectID>{own});
    EXPECT_TRUE(description.exclusive);
    EXPECT_TRUE(description.mixdownStereo);
    EXPECT_EQ(description.muteBehavior, CATapDescription::unmuted);
    EXPECT_TRUE(description.isPrivate);

    EXPECT_EQ(tap.uid(), description.uuid);
    EXPECT_NE(tap.uid(), second.uid());

    const auto format = tap.format();
    ASSERT_TRUE(format.has_value());
    EXPECT_EQ(format->mSampleRate, 48000.0);
    EXPECT_EQ(format->mChannelsPerFrame, 2u);

    sim->setPropertyFailure(tap.tapID(), kAudioTapPropertyFormat);
    EXPECT_FALSE(tap.format().has_value());
}

TEST_F(CaptureDevicesTest, TapWhenOwnProcessIsUnknownOrLookupFails) {
    sim->setOwnProcessVisible(false);
    const SystemAudioTap unknown;
    // The lookup succeeded with 0: that id goes into the list like any other.
    EXPECT_EQ(sim->tapRequests().back().processes, std::vector<AudioObjectID>{kAudioObjectUnknown});

    sim->setPropertyFailure(kAudioObjectSystemObject, kAudioHardwarePropertyTranslatePIDToProcessObject);
    const SystemAudioTap unexcluded;
    EXPECT_TRUE(sim->tapRequests().back().processes.empty());
    EXPECT_EQ(sim->liveTapCount(), 2u);
}

TEST_F(CaptureDevicesTest, MicrophoneLeadsTheTap) {
    const AudioObjectID mic = addInput("Microfono USB", "usb-mic", {1});
    const SystemAudioTap tap;
    const AggregateDevice aggregate(tap, mic);

    EXPECT_EQ(aggregate.deviceID(), sim->lastAggregate());
    EXPECT_EQ(aggregate.streamChannels(), (std::vector<int>{1, 2}));
    EXPECT_EQ(aggregate.leadingStreamCount(), 1);
    EXPECT_TRUE(aggregate.leadingStreamsAreMicrophone());
    EXPECT_EQ(aggregate.micName(), "Microfono USB");

    const auto requests = sim->aggregateRequests();
    ASSERT_EQ(requests.size(), 1u);
    const AggregateDeviceDescription& description = requests[0];
    EXPECT_TRUE(description.isPrivate);
    EXPECT_EQ(description.stacked, std::optional<bool>(false));
    EXPECT_EQ(description.tapAutoStart, std::optional<bool>(false));
    ASSERT_EQ(description.taps.size(), 1u);
    EXPECT_EQ(description.taps[0].uid, tap.uid());
    EXPECT_TRUE(description.taps[0].drift);
    EXPECT_EQ(description.master, std::optional<std::string>("usb-mic"));
    ASSERT_EQ(description.subdevices.size(), 1u);
    EXPECT_EQ(description.subdevices[0].uid, "usb-mic");

    // Every aggregate gets its own identifier, so a rebuild never collides with the previous one.
    const AggregateDevice rebuilt(tap, mic);
    EXPECT_NE(sim->aggregateRequests().back().uid, description.uid);
    // Neither wrapper destroys what it created.
    EXPECT_EQ(sim->liveAggregateCount(), 2u);
    EXPECT_EQ(sim->liveTapCount(), 1u);
}

TEST_F(CaptureDevicesTest, WithoutMicrophoneTheDefaultOutputLeads) {
    const SystemAudioTap tap;
    const AggregateDevice aggregate(tap, std::nullopt);
    EXPECT_EQ(aggregate.streamChannels(), std::vector<int>{2});
    EXPECT_EQ(aggregate.leadingStreamCount(), 0);
    EXPECT_FALSE(aggregate.leadingStreamsAreMicrophone());
    EXPECT_FALSE(aggregate.micName().has_value());
    const AggregateDeviceDescription description = sim->aggregateRequests().back();
    EXPECT_EQ(description.master, std::optional<std::string>("speakers"));
    ASSERT_EQ(description.subdevices.size(), 1u);
    EXPECT_EQ(description.subdevices[0].uid, "speakers");

    // No default output at all: the aggregate holds only the tap.
    sim->setDefaultOutput(kAudioObjectUnknown);
    const AggregateDevice tapOnly(tap, std::nullopt);
    EXPECT_EQ(tapOnly.streamChannels(), std::vector<int>{2});
    EXPECT_FALSE(sim->aggregateRequests().back().master.has_value());
    EXPECT_TRUE(sim->aggregateRequests().back().subdevices.empty());

    // An unreadable default output counts as none.
    sim->setDefaultOutput(speakers);
    sim->setPropertyFailure(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultOutputDevice);
    const AggregateDevice unreadable(tap, std::nullopt);
    EXPECT_TRUE(sim->aggregateRequests().back().subdevices.empty());
}

TEST_F(CaptureDevicesTest, HeadsetOutputStreamsLeadButAreNotTheMicrophone) {
    SimulatedAudioHardware::DeviceConfig headset;
    headset.name = "Cuffie";
    headset.uid = "headset";
    headset.inputStreams = {1};
    headset.outputStreams = {2};
    sim->setDefaultOutput(sim->addDevice(headset));

    const SystemAudioTap tap;
    const AggregateDevice aggregate(tap, std::nullopt);
    EXPECT_EQ(aggregate.streamChannels(), (std::vector<int>{1, 2}));
    EXPECT_EQ(aggregate.leadingStreamCount(), 1);
    EXPECT_FALSE(aggregate.leadingStreamsAreMicrophone());
    EXPECT_FALSE(aggregate.micName().has_value());
}

TEST_F(CaptureDevicesTest, LeadingCountIsClampedToLeaveTheSystemAudio) {
    const AudioObjectID mic = addInput("Microfono USB", "usb-mic", {1});
    const SystemAudioTap tap;

    SimulatedAudioHardware::AggregateBehavior oneStream;
    oneStream.reportedStreams = std::vector<int>{2};
    sim->setAggregateBehavior(oneStream);
    const AggregateDevice single(tap, mic);
    EXPECT_EQ(single.streamChannels(), std::vector<int>{2});
    EXPECT_EQ(single.leadingStreamCount(), 0);
    EXPECT_TRUE(single.leadingStreamsAreMicrophone());
}

TEST_F(CaptureDevicesTest, TapStreamsThatNeverAppearEndTheWaitAfterTwentyReads) {
    // A two-stream microphone whose aggregate never shows more than those two streams.
    const AudioObjectID mic = addInput("Interfaccia", "interface", {2, 2});
    const SystemAudioTap tap;
    SimulatedAudioHardware::AggregateBehavior never;
    never.tapStreamDelay = std::nullopt;
    sim->setAggregateBehavior(never);

    const auto started = std::chrono::steady_clock::now();
    const AggregateDevice aggregate(tap, mic);
    const auto waited = std::chrono::steady_clock::now() - started;

    EXPECT_GE(waited, std::chrono::milliseconds(950)); // 20 × 50 ms
    EXPECT_EQ(aggregate.streamChannels(), (std::vector<int>{2, 2}));
    EXPECT_EQ(aggregate.leadingStreamCount(), 1);
}

TEST_F(CaptureDevicesTest, TapStreamsThatAppearLateAreWaitedFor) {
    const AudioObjectID mic = addInput("Microfono USB", "usb-mic", {1});
    const SystemAudioTap tap;
    SimulatedAudioHardware::AggregateBehavior late;
    late.tapStreamDelay = std::chrono::milliseconds(200);
    sim->setAggregateBehavior(late);

    const AggregateDevice aggregate(tap, mic);
    EXPECT_EQ(aggregate.streamChannels(), (std::vector<int>{1, 2}));
    EXPECT_EQ(aggregate.leadingStreamCount(), 1);
}

TEST_F(CaptureDevicesTest, UnreadableMicrophoneUIDOrName) {
    const AudioObjectID mic = addInput("Microfono USB", "usb-mic", {1});
    const SystemAudioTap tap;

    sim->setPropertyFailure(mic, kAudioDevicePropertyDeviceUID);
    const AggregateDevice withoutUID(tap, mic);
    EXPECT_EQ(withoutUID.streamChannels(), std::vector<int>{2});
    EXPECT_EQ(withoutUID.leadingStreamCount(), 0);
    EXPECT_TRUE(withoutUID.leadingStreamsAreMicrophone());
    EXPECT_EQ(withoutUID.micName(), "Microfono USB");
    EXPECT_FALSE(sim->aggregateRequests().back().master.has_value());
    EXPECT_TRUE(sim->aggregateRequests().back().subdevices.empty());

    sim->clearPropertyFailures();
    sim->setPropertyFailure(mic, kAudioObjectPropertyName);
    const AggregateDevice withoutName(tap, mic);
    EXPECT_EQ(withoutName.micName(), "dispositivo sconosciuto");
    EXPECT_EQ(withoutName.leadingStreamCount(), 1);
}

} // namespace
