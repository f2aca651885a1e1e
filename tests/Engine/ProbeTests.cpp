// The capture probe on the Simulated backend.
#include "QuilloraCore/CoreAudioHelpers.h"
#include "QuilloraCore/Probe.h"
#include "SimulatedTestSupport.h"

#include <regex>
#include <set>
#include <unistd.h>

namespace {

using Operation = SimulatedAudioHardware::Operation;

// Short enough for a test, long enough for a few real-time cycles of 21 ms.
const Probe::Timing quick{0.12, 0.01};

class ProbeTest : public SimulatedAudioTest {
protected:
    void SetUp() override {
        SimulatedAudioTest::SetUp();
        sim->setClockMode(SimulatedAudioHardware::ClockMode::realTime);
        addOutput("Altoparlanti", "speakers");
    }

    void expectNothingLeft() const {
        EXPECT_EQ(sim->liveTapCount(), 0u);
        EXPECT_EQ(sim->liveAggregateCount(), 0u);
        EXPECT_EQ(sim->ioProcCount(), 0u);
    }
};

// A measure line of a device that worked: created, started, running and called back at least once.
::testing::AssertionResult isHealthyMeasure(const std::string& line, const std::string& label) {
    static const std::regex form(R"((.*): create=0 start=0 running=1 callbacks=([1-9][0-9]*))");
    std::smatch match;
    if (!std::regex_match(line, match, form)) {
        return ::testing::AssertionFailure() << "not a healthy measure line: " << line;
    }
    if (match[1] != label) {
        return ::testing::AssertionFailure() << "label " << match[1] << " instead of " << label;
    }
    return ::testing::AssertionSuccess();
}

TEST_F(ProbeTest, aHealthySystemGivesTenLinesInOrder) {
    addInput("Microfono USB", "usb-mic");
    const std::vector<std::string> lines = Probe::run(quick);

    ASSERT_EQ(lines.size(), 10u);
    EXPECT_TRUE(isHealthyMeasure(lines[0], "mic diretto"));
    EXPECT_EQ(lines[1], "aggregate solo mic: create=0");
    EXPECT_TRUE(isHealthyMeasure(lines[2], "aggregate solo mic"));
    EXPECT_EQ(lines[3], "taps nel sistema: 0");
    const std::vector<std::string> configurations{"globale privato escluso-me",
                                                  "globale pubblico senza esclusioni",
                                                  "globale privato senza esclusioni"};
    for (std::size_t i = 0; i < configurations.size(); ++i) {
        EXPECT_TRUE(isHealthyMeasure(lines[4 + 2 * i], configurations[i] + " solo-tap autostart=true"));
        EXPECT_TRUE(isHealthyMeasure(lines[5 + 2 * i], configurations[i] + " solo-tap autostart=false"));
    }
    expectNothingLeft();

    // What was asked of the audio system.
    const auto taps = sim->tapRequests();
    ASSERT_EQ(taps.size(), 3u);
    const AudioObjectID self = CoreAudio::processObject(static_cast<int32_t>(getpid()));
    EXPECT_EQ(taps[0].processes, std::vector<AudioObjectID>{self});
    EXPECT_TRUE(taps[0].isPrivate);
    EXPECT_TRUE(taps[1].processes.empty());
    EXPECT_FALSE(taps[1].isPrivate);
    EXPECT_TRUE(taps[2].processes.empty());
    EXPECT_TRUE(taps[2].isPrivate);
    for (const auto& tap : taps) {
        EXPECT_TRUE(tap.exclusive && tap.mixdownStereo);
    }

    const auto aggregates = sim->aggregateRequests();
    ASSERT_EQ(aggregates.size(), 7u);
    EXPECT_EQ(aggregates[0].master, "usb-mic");
    ASSERT_EQ(aggregates[0].subdevices.size(), 1u);
    EXPECT_EQ(aggregates[0].subdevices[0].uid, "usb-mic");
    EXPECT_TRUE(aggregates[0].taps.empty());
    EXPECT_EQ(aggregates[0].tapAutoStart, std::nullopt);
    std::set<std::string> uids;
    for (std::size_t i = 0; i < aggregates.size(); ++i) {
        const auto& a = aggregates[i];
        EXPECT_EQ(a.name, "Quillora probe");
        EXPECT_TRUE(a.isPrivate);
        EXPECT_EQ(a.uid.rfind("com.tandrevel.quillora.probe.", 0), 0u) << a.uid;
        uids.insert(a.uid);
        if (i > 0) {
            const auto& tap = taps[(i - 1) / 2];
            EXPECT_EQ(a.tapAutoStart, std::optional<bool>(i % 2 == 1));
            ASSERT_EQ(a.taps.size(), 1u);
            EXPECT_EQ(a.taps[0].uid, tap.uuid);
            EXPECT_TRUE(a.taps[0].drift);
            EXPECT_EQ(a.master, std::nullopt);
            EXPECT_TRUE(a.subdevices.empty());
        }
    }
    EXPECT_EQ(uids.size(), 7u) << "every aggregate gets a fresh uid";
}

TEST_F(ProbeTest, withoutAnInputDeviceTheReportStartsWithTheTapCount) {
    // A tap some other program holds shows in the count.
    CATapDescription other;
    other.uuid = "0A0B0C0D-0000-4000-8000-000000000001";
    AudioObjectID held = 0;
    ASSERT_EQ(sim->createProcessTap(other, &held), kAudioHardwareNoError);

    const std::vector<std::string> lines = Probe::run(quick);
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_EQ(lines[0], "taps nel sistema: 1");
    EXPECT_TRUE(isHealthyMeasure(lines[1], "globale privato escluso-me solo-tap autostart=true"));
    EXPECT_EQ(sim->liveTapCount(), 1u) << "only the other program's tap is left";
    EXPECT_EQ(sim->liveAggregateCount(), 0u);
}

TEST_F(ProbeTest, refusedTapsGiveOneLineEachAndNoMeasurements) {
    sim->injectFault(Operation::createProcessTap, kAudioHardwareIllegalOperationError);
    const std::vector<std::string> lines = Probe::run(quick);
    const std::vector<std::string> expected{
        "taps nel sistema: 0",
        "globale privato escluso-me: create tap 1852797029",
        "globale pubblico senza esclusioni: create tap 1852797029",
        "globale privato senza esclusioni: create tap 1852797029",
    };
    EXPECT_EQ(lines, expected);
    EXPECT_TRUE(sim->aggregateRequests().empty());
    expectNothingLeft();
}

TEST_F(ProbeTest, twoRefusedTapsAndOneWorkingKeepTheOrder) {
    sim->injectFault(Operation::createProcessTap, kAudioHardwareIllegalOperationError, 0, 2);
    const std::vector<std::string> lines = Probe::run(quick);
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0], "taps nel sistema: 0");
    EXPECT_EQ(lines[1], "globale privato escluso-me: create tap 1852797029");
    EXPECT_EQ(lines[2], "globale pubblico senza esclusioni: create tap 1852797029");
    EXPECT_TRUE(isHealthyMeasure(lines[3], "globale privato senza esclusioni solo-tap autostart=true"));
    EXPECT_TRUE(isHealthyMeasure(lines[4], "globale privato senza esclusioni solo-tap autostart=false"));
    expectNothingLeft();
}

TEST_F(ProbeTest, failuresOfAggregatesAndDevicesBecomeStatusesInTheLines) {
    addInput("Microfono USB", "usb-mic");
    // The microphone aggregate and the first tap aggregate are refused; every IO procedure after the
    // direct microphone fails to start; the probe's own process is unknown to the audio system.
    sim->injectFault(Operation::createAggregateDevice, kAudioHardwareIllegalOperationError, 0, 2);
    sim->injectFault(Operation::deviceStart, kAudioHardwareUnspecifiedError, 1, -1);
    sim->setOwnProcessVisible(false);
    const std::vector<std::string> lines = Probe::run(quick);

    ASSERT_EQ(lines.size(), 9u);
    EXPECT_TRUE(isHealthyMeasure(lines[0], "mic diretto"));
    EXPECT_EQ(lines[1], "aggregate solo mic: create=1852797029");
    EXPECT_EQ(lines[2], "taps nel sistema: 0");
    EXPECT_EQ(lines[3], "globale privato escluso-me: create aggregate 1852797029");
    EXPECT_EQ(lines[4],
              "globale privato escluso-me solo-tap autostart=false: create=0 start=2003329396 running=0 "
              "callbacks=0");
    EXPECT_EQ(lines[8],
              "globale privato senza esclusioni solo-tap autostart=false: create=0 start=2003329396 "
              "running=0 callbacks=0");
    EXPECT_TRUE(sim->tapRequests().at(0).processes.empty())
        << "nothing to exclude when the process is unknown";
    expectNothingLeft();
}

} // namespace
