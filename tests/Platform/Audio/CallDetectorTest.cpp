#include "QuilloraCore/CallDetector.h"
#include "SimulatedTestSupport.h"

namespace {

using MicrophoneClientsTest = SimulatedAudioTest;

TEST_F(MicrophoneClientsTest, ListsProcessesRunningInputInListOrderWithDefaultsForWhatIsUnreadable) {
    EXPECT_TRUE(CallDetector::microphoneClients().empty()) << "our own process is listed, but not capturing";
    sim->addProcess(100, "com.example.Chat", true);
    sim->addProcess(200, "com.example.Music", false);
    sim->addProcess(300, std::nullopt, true);
    sim->setPropertyFailure(sim->addProcess(400, "com.example.Chat", true), kAudioProcessPropertyPID);
    sim->setPropertyFailure(sim->addProcess(500, "com.example.Meet", true), kAudioProcessPropertyBundleID);
    sim->setPropertyFailure(sim->addProcess(600, "com.example.Other", true),
                            kAudioProcessPropertyIsRunningInput);
    const std::vector<MicrophoneClient> expected{
        {100, "com.example.Chat"}, {300, ""}, {0, "com.example.Chat"}, {500, ""}};
    EXPECT_EQ(CallDetector::microphoneClients(), expected);

    sim->setPropertyFailure(kAudioObjectSystemObject, kAudioHardwarePropertyProcessObjectList);
    EXPECT_TRUE(CallDetector::microphoneClients().empty());
}

} // namespace
