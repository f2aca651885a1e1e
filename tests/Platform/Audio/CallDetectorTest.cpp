#include "QuilloraCore/CallDetector.h"
#include "SimulatedTestSupport.h"

namespace {

using MicrophoneClientsTest = SimulatedAudioTest;

TEST_F(MicrophoneClientsTest, ListsProcessesRunningInputInListOrder) {
    sim->addProcess(100, "com.example.Chat", true);
    sim->addProcess(200, "com.example.Music", false);
    sim->addProcess(300, std::nullopt, true);
    sim->addProcess(400, "org.example.Browser", true);

    // Our own process object is in the list too, but not capturing.
    const std::vector<MicrophoneClient> expected{
        {100, "com.example.Chat"}, {300, ""}, {400, "org.example.Browser"}};
    EXPECT_EQ(CallDetector::microphoneClients(), expected);
}

TEST_F(MicrophoneClientsTest, UnreadablePropertiesGiveDefaultsOrSkip) {
    const AudioObjectID noPid = sim->addProcess(100, "com.example.Chat", true);
    const AudioObjectID noBundle = sim->addProcess(200, "com.example.Meet", true);
    const AudioObjectID noRunningState = sim->addProcess(300, "com.example.Other", true);
    sim->setPropertyFailure(noPid, kAudioProcessPropertyPID);
    sim->setPropertyFailure(noBundle, kAudioProcessPropertyBundleID);
    sim->setPropertyFailure(noRunningState, kAudioProcessPropertyIsRunningInput);

    const std::vector<MicrophoneClient> expected{{0, "com.example.Chat"}, {200, ""}};
    EXPECT_EQ(CallDetector::microphoneClients(), expected);
}

TEST_F(MicrophoneClientsTest, EmptyWhenNothingCapturesOrTheListIsUnreadable) {
    const AudioObjectID chat = sim->addProcess(100, "com.example.Chat", false);
    EXPECT_TRUE(CallDetector::microphoneClients().empty());

    sim->setProcessRunningInput(chat, true);
    ASSERT_EQ(CallDetector::microphoneClients().size(), 1u);

    sim->setPropertyFailure(kAudioObjectSystemObject, kAudioHardwarePropertyProcessObjectList);
    EXPECT_TRUE(CallDetector::microphoneClients().empty());

    sim->clearPropertyFailures();
    sim->removeProcess(chat);
    sim->setOwnProcessVisible(false);
    EXPECT_TRUE(CallDetector::microphoneClients().empty());
}

} // namespace
