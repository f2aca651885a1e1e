// The capture probe on the Simulated backend: what it asks of the audio system, and one line per
// measurement or failure, in order.
#include "QuilloraCore/CoreAudioHelpers.h"
#include "QuilloraCore/Probe.h"
#include "SimulatedTestSupport.h"

#include <regex>
#include <unistd.h>

namespace {

// Short enough for a test, long enough for a few real-time cycles of 21 ms.
const Probe::Timing quick{0.12, 0.01};
const std::string mic = "mic diretto", micAggregate = "aggregate solo mic", tapCount = "taps nel sistema: ";
const std::string configurations[] = {"globale privato escluso-me", "globale pubblico senza esclusioni",
                                      "globale privato senza esclusioni"};

class ProbeTest : public SimulatedAudioTest {
protected:
    void SetUp() override {
        SimulatedAudioTest::SetUp();
        sim->setClockMode(SimulatedAudioHardware::ClockMode::realTime);
        addOutput("Altoparlanti", "speakers");
    }
};

// The report against the expected lines, where "LABEL ok" stands for a device that was created, started,
// ran and called back at least once.
void expectLines(const std::vector<std::string>& lines, const std::vector<std::string>& expected) {
    ASSERT_EQ(lines.size(), expected.size());
    static const std::regex healthy(R"((.*): create=0 start=0 running=1 callbacks=[1-9][0-9]*)");
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string& want = expected[i];
        if (want.ends_with(" ok")) {
            std::smatch match;
            EXPECT_TRUE(std::regex_match(lines[i], match, healthy) &&
                        match[1] == want.substr(0, want.size() - 3))
                << lines[i] << " is not " << want;
        } else {
            EXPECT_EQ(lines[i], want);
        }
    }
}

std::string soloTap(const std::string& configuration, bool autostart) {
    return configuration + " solo-tap autostart=" + (autostart ? "true" : "false");
}

// Each case against the report's lines; whatever failed, nothing the probe made is left behind.
TEST_F(ProbeTest, everyConfigurationGivesALineInOrderAndFailuresBecomeLines) {
    struct Case {
        std::string name;
        std::function<void()> arrange;
        std::vector<std::string> expected;
    };
    std::vector<std::string> healthy{mic + " ok", micAggregate + ": create=0", micAggregate + " ok",
                                     tapCount + "0"};
    std::vector<std::string> heldTap{tapCount + "1"};
    for (const auto& configuration : configurations) {
        for (const bool autostart : {true, false}) {
            healthy.push_back(soloTap(configuration, autostart) + " ok");
            heldTap.push_back(soloTap(configuration, autostart) + " ok");
        }
    }
    const std::string nope = "1852797029", failedStart = ": create=0 start=2003329396 running=0 callbacks=0";
    const std::vector<Case> cases{
        {"no microphone, a tap another program holds",
         [this] {
             CATapDescription other;
             other.uuid = "0A0B0C0D-0000-4000-8000-000000000001";
             AudioObjectID held = 0;
             ASSERT_EQ(sim->createProcessTap(other, &held), kAudioHardwareNoError);
         },
         heldTap},
        {"every tap refused",
         [this] { sim->injectFault(Operation::createProcessTap, kAudioHardwareIllegalOperationError); },
         {tapCount + "0", configurations[0] + ": create tap " + nope,
          configurations[1] + ": create tap " + nope, configurations[2] + ": create tap " + nope}},
        {"aggregates refused, starts failing, own process unknown",
         [this] {
             addInput("Microfono USB", "usb-mic");
             sim->injectFault(Operation::createAggregateDevice, kAudioHardwareIllegalOperationError, 0, 2);
             sim->injectFault(Operation::deviceStart, kAudioHardwareUnspecifiedError, 1, -1);
             sim->setOwnProcessVisible(false);
         },
         {mic + " ok", micAggregate + ": create=" + nope, tapCount + "0",
          configurations[0] + ": create aggregate " + nope, soloTap(configurations[0], false) + failedStart,
          soloTap(configurations[1], true) + failedStart, soloTap(configurations[1], false) + failedStart,
          soloTap(configurations[2], true) + failedStart, soloTap(configurations[2], false) + failedStart}},
        {"a healthy system", [this] { addInput("Microfono USB", "usb-mic"); }, healthy},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        c.arrange();
        expectLines(Probe::run(quick), c.expected);
        EXPECT_EQ(sim->liveAggregateCount(), 0u);
        EXPECT_EQ(sim->ioProcCount(), 0u);
        EXPECT_EQ(sim->liveTapCount(), c.expected.front() == tapCount + "1" ? 1u : 0u);
    }

    // What the healthy run asked for: three taps (private and leaving us out, public, private), then the
    // microphone alone and each tap twice, with and without starting it with the aggregate.
    const auto taps = sim->tapRequests();
    ASSERT_EQ(taps.size(), 3u);
    EXPECT_EQ(taps[0].processes,
              std::vector<AudioObjectID>{CoreAudio::processObject(static_cast<int32_t>(getpid()))});
    EXPECT_TRUE(taps[0].isPrivate && !taps[1].isPrivate && taps[2].isPrivate);
    EXPECT_TRUE(taps[1].processes.empty() && taps[2].processes.empty());
    const auto aggregates = sim->aggregateRequests();
    ASSERT_EQ(aggregates.size(), 7u);
    EXPECT_EQ(aggregates[0].master, "usb-mic");
    EXPECT_TRUE(aggregates[0].taps.empty());
    for (std::size_t i = 1; i < aggregates.size(); ++i) {
        EXPECT_EQ(aggregates[i].tapAutoStart, std::optional<bool>(i % 2 == 1));
        ASSERT_EQ(aggregates[i].taps.size(), 1u);
        EXPECT_EQ(aggregates[i].taps[0].uid, taps[(i - 1) / 2].uuid);
        EXPECT_TRUE(aggregates[i].subdevices.empty());
        EXPECT_NE(aggregates[i].uid, aggregates[i - 1].uid);
    }
}

} // namespace
