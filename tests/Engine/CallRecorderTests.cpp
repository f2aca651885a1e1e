// The call recorder on the Simulated backend: a whole recording, the failure paths, silence restarts and
// input-device changes.
#include "FileSizeLimit.h"
#include "LogSince.h"
#include "MediaTestSupport.h"
#include "QuilloraCore/CallRecorder.h"
#include "QuilloraCore/CoreAudioHelpers.h"
#include "SimulatedTestSupport.h"

#include <QThread>

namespace {

using namespace std::chrono_literals;

constexpr double blockSeconds = 1024.0 / 48000.0;
const std::string refused = "(OSStatus 1852797029 'nope')";

class CallRecorderTest : public SimulatedAudioTest {
protected:
    void SetUp() override {
        SimulatedAudioTest::SetUp();
        addOutput("Altoparlanti", "speakers", Signal::tone(440, 0.3f));
        mic = addInput("Microfono USB", "usb-mic", {1}, Signal::tone(220, 0.2f));
        log.emplace();
    }

    void TearDown() override {
        recorder.reset(); // before the audio system it uses
        SimulatedAudioTest::TearDown();
    }

    std::filesystem::path output(const std::string& name = "call.m4a") const { return folder / name; }

    CallRecorder& makeRecorder(const std::string& name = "call.m4a") {
        recorder = std::make_unique<CallRecorder>(output(name), std::nullopt);
        recorder->onEvent = [this](const CallRecorder::Event& event) {
            events.push_back(event);
            onMainThread = onMainThread && QThread::currentThread() == QCoreApplication::instance()->thread();
            // A failure is reported once the recorder has stopped.
            stoppedBeforeFailure =
                stoppedBeforeFailure &&
                (std::holds_alternative<CallRecorder::MicrophoneChanged>(event) || !recorder->isRunning());
        };
        return *recorder;
    }

    std::size_t loggedCount(const std::string& message) const { return log->count(message); }

    void expectReleased(const std::string& name = "call.m4a") const {
        expectNoAudioObjectsLeft();
        EXPECT_EQ(sim->listenerCount(), 0u);
        std::error_code ignored;
        const auto target = std::filesystem::canonical(output(name), ignored);
        for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", ignored)) {
            EXPECT_NE(std::filesystem::read_symlink(entry.path(), ignored), target) << "still open";
        }
    }

    std::vector<std::string> failures() const {
        std::vector<std::string> messages;
        for (const auto& event : events) {
            if (const auto* failure = std::get_if<CallRecorder::Failure>(&event)) {
                messages.push_back(failure->message);
            }
        }
        return messages;
    }

    TemporaryDirectory folder;
    AudioObjectID mic = kAudioObjectUnknown;
    std::optional<LogSince> log; // what this test logged
    std::unique_ptr<CallRecorder> recorder;
    std::vector<CallRecorder::Event> events;
    bool onMainThread = true;
    bool stoppedBeforeFailure = true;
};

TEST_F(CallRecorderTest, recordsVoiceAndCallAndReleasesEverythingAtStop) {
    CallRecorder& r = makeRecorder();
    EXPECT_EQ(r.stop(), CallRecorder::Stats{}) << "stop before start";
    EXPECT_FALSE(std::filesystem::exists(output())) << "a recorder that never started touches nothing";

    r.start(true);
    r.start(true); // already running: nothing happens
    EXPECT_EQ(sim->tapRequests().size(), 1u);
    EXPECT_EQ(sim->aggregateRequests().size(), 1u);
    EXPECT_TRUE(r.isRunning());
    EXPECT_EQ(r.microphoneName(), "Microfono USB");
    EXPECT_EQ(r.diagnostics(), "streams=[1, 2] leading=1 mic=true rate=48000.0 tapFormat=48000.0Hz 2ch");

    constexpr int blocks = 235; // about 5 s
    sim->runCycles(blocks);
    EXPECT_EQ(r.callbackCount(), blocks);
    const CallRecorder::Stats stats = r.stop();
    EXPECT_NEAR(stats.seconds, blocks * blockSeconds, 1e-9);
    EXPECT_TRUE(stats.hadMicrophone);
    EXPECT_NEAR(stats.micPeakRMS, 0.2 / std::sqrt(2.0), 0.005);
    EXPECT_NEAR(stats.systemPeakRMS, 0.3 / std::sqrt(2.0), 0.005);
    EXPECT_EQ(r.droppedBlocks(), 0u);
    EXPECT_EQ(r.deviceState(), "nessun dispositivo");
    expectReleased();
    EXPECT_EQ(r.stop(), CallRecorder::Stats{}) << "a second stop";

    const DecodedAudio audio = decodeAudioFile(output());
    ASSERT_EQ(audio.channelCount, 2);
    EXPECT_NEAR(audio.seconds(), blocks * blockSeconds, 0.03);
    // The voice in the centre, the call's tone on both sides as played.
    EXPECT_NEAR(toneAmplitude(audio.channels[1], 48000, 96000, 220, 48000), 0.2, 0.02);
    EXPECT_NEAR(toneAmplitude(audio.channels[0], 48000, 96000, 440, 48000), 0.3, 0.02);

    EXPECT_EQ(loggedCount("Cattura avviata: streams=[1, 2] leading=1 mic=true"), 1u);
    EXPECT_EQ(loggedCount("Primo blocco audio dopo "), 1u);
    EXPECT_EQ(loggedCount("Blocchi audio persi"), 0u);
    EXPECT_TRUE(events.empty());
}

TEST_F(CallRecorderTest, withoutMicrophoneTheOutputDeviceLeadsAndInputChangesAreIgnored) {
    CallRecorder& r = makeRecorder();
    r.start(false);
    EXPECT_EQ(sim->aggregateRequests().at(0).subdevices.at(0).uid, "speakers");
    ASSERT_TRUE(sim->setDefaultInput(addInput("Cuffie", "headset")));
    sim->runCycles(47);
    runEventsFor(100ms);
    EXPECT_TRUE(events.empty());
    EXPECT_EQ(sim->aggregateRequests().size(), 1u);
    const CallRecorder::Stats stats = r.stop();
    EXPECT_FALSE(stats.hadMicrophone);
    EXPECT_NEAR(stats.seconds, 47 * blockSeconds, 1e-9);
}

TEST_F(CallRecorderTest, aStartThatFailsThrowsReleasesEverythingAndCanBeRetried) {
    struct Case {
        Operation operation;
        std::string description;
    };
    const std::vector<Case> cases{
        {Operation::createProcessTap, "Accesso all'audio di sistema (controlla il permesso «Registrazione "
                                      "audio di sistema») non riuscito " +
                                          refused},
        {Operation::createAggregateDevice, "Creazione del dispositivo aggregato non riuscito " + refused},
        {Operation::createIOProc, "Creazione della callback audio non riuscito " + refused},
        {Operation::deviceStart, "Avvio della cattura audio non riuscito " + refused},
    };
    int index = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.description);
        sim->clearFaults();
        sim->injectFault(c.operation, kAudioHardwareIllegalOperationError);
        const std::string name = "start" + std::to_string(++index) + ".m4a";
        CallRecorder& r = makeRecorder(name);
        try {
            r.start(true);
            ADD_FAILURE() << "start should throw";
        } catch (const CoreAudioError& error) {
            EXPECT_EQ(error.errorDescription(), c.description);
        }
        EXPECT_FALSE(r.isRunning());
        expectReleased(name);
        sim->runCycles(5);
        EXPECT_EQ(r.callbackCount(), 0);
        EXPECT_EQ(r.stop(), CallRecorder::Stats{});

        // The same recorder records once the audio system lets it.
        sim->clearFaults();
        r.start(true);
        sim->runCycles(10);
        EXPECT_NEAR(r.stop().seconds, 10 * blockSeconds, 1e-9);
        expectReleased(name);
    }
}

// (A rebuild by the watchdog that fails is proven on the real server, through the program.)
TEST_F(CallRecorderTest, aRebuildThatFailsStopsWithOneFailureAndKeepsWhatWasRecorded) {
    CallRecorder& r = makeRecorder();
    r.setWatchdogIntervalForTesting(60000); // the input change, not the silence after the last cycle
    r.start(true);
    sim->runCycles(100);
    r.waitForWriter();

    sim->injectFault(Operation::createAggregateDevice, kAudioHardwareIllegalOperationError);
    ASSERT_TRUE(sim->setDefaultInput(addInput("Cuffie", "headset")));
    ASSERT_TRUE(waitUntil([&] { return !events.empty(); }));
    runEventsFor(100ms);

    EXPECT_EQ(failures(), std::vector<std::string>{"Riavvio della cattura non riuscito: Creazione del "
                                                   "dispositivo aggregato non riuscito " +
                                                   refused});
    EXPECT_EQ(events.size(), 1u) << "no microphoneChanged for a rebuild that failed";
    EXPECT_TRUE(stoppedBeforeFailure);
    EXPECT_TRUE(onMainThread);
    EXPECT_EQ(r.stop(), CallRecorder::Stats{});
    expectReleased();
    EXPECT_NEAR(decodeAudioFile(output()).seconds(), 100 * blockSeconds, 0.03)
        << "everything captured before is in the file";
}

TEST_F(CallRecorderTest, aSilentDeviceIsRestartedEveryTickAndTheRecordingGoesOn) {
    sim->setClockMode(SimulatedAudioHardware::ClockMode::realTime); // about 47 blocks a second
    CallRecorder& r = makeRecorder();
    r.setWatchdogIntervalForTesting(100);
    r.start(true);
    ASSERT_TRUE(waitUntil([&] { return r.callbackCount() >= 10; }));
    EXPECT_EQ(r.restartCount(), 0);

    sim->setSilent(mic, true);
    ASSERT_TRUE(waitUntil([&] { return r.restartCount() >= 3; }));
    EXPECT_TRUE(r.isRunning());
    sim->setSilent(mic, false);
    runEventsFor(150ms); // a tick already under way may still count one more
    const int restarts = r.restartCount();
    const int64_t before = r.callbackCount();
    runEventsFor(400ms);
    EXPECT_EQ(r.restartCount(), restarts) << "audio flows again: no more restarts";
    EXPECT_GT(r.callbackCount(), before);
    EXPECT_GT(r.stop().seconds, 0.3);
    EXPECT_TRUE(events.empty()) << "silence restarts are not reported as events";

    EXPECT_EQ(loggedCount("Nessun audio da 2 s: riavvio la cattura (" + std::to_string(restarts) + ")"), 1u);
    EXPECT_EQ(loggedCount("Nessun audio"), static_cast<std::size_t>(restarts));
    EXPECT_EQ(loggedCount("Cattura avviata: "), static_cast<std::size_t>(restarts + 1));
    EXPECT_EQ(loggedCount("Primo blocco audio dopo "), 1u) << "once per recorder, rebuilds or not";
    expectReleased();
}

TEST_F(CallRecorderTest, followsTheDefaultInputAndSaysWhichMicrophoneItUses) {
    const AudioObjectID headset = addInput("Cuffie", "headset", {1}, Signal::tone(330, 0.1f));
    CallRecorder& r = makeRecorder();
    r.start(true);
    sim->runCycles(20);

    using Changed = CallRecorder::MicrophoneChanged;
    const auto changedTo = [&](std::size_t count, std::optional<std::string> name) {
        EXPECT_TRUE(waitUntil([&] { return events.size() == count; }));
        ASSERT_TRUE(std::holds_alternative<Changed>(events.back()));
        EXPECT_EQ(std::get<Changed>(events.back()).name, name);
        EXPECT_EQ(r.microphoneName(), name);
        sim->runCycles(20);
    };
    ASSERT_TRUE(sim->setDefaultInput(headset));
    changedTo(1, "Cuffie");
    EXPECT_EQ(sim->aggregateRequests().back().subdevices.at(0).uid, "headset");
    sim->removeDevice(headset); // the default goes back to the USB microphone
    changedTo(2, "Microfono USB");
    sim->removeDevice(mic); // no input left: the call alone
    changedTo(3, std::nullopt);
    EXPECT_EQ(r.diagnostics(), "streams=[2] leading=0 mic=false rate=48000.0 tapFormat=48000.0Hz 2ch");
    runEventsFor(100ms);
    EXPECT_EQ(events.size(), 3u);
    EXPECT_TRUE(onMainThread);
    EXPECT_EQ(r.restartCount(), 0);
    EXPECT_EQ(sim->liveAggregateCount(), 1u) << "each rebuild replaced the aggregate";
    EXPECT_EQ(sim->liveTapCount(), 1u) << "and kept the tap";

    EXPECT_EQ(loggedCount("Cattura avviata: "), 4u);
    // Released while running, the recorder finishes the file as a stop would.
    recorder.reset();
    expectReleased();
    EXPECT_FALSE(containsMovieFragments(output()));
    EXPECT_NEAR(decodeAudioFile(output()).seconds(), 80 * blockSeconds, 0.03);
}

TEST_F(CallRecorderTest, aWriteFailureStopsTheRecordingWithOneFailureAndWritesNothingMore) {
    CallRecorder& r = makeRecorder();
    r.start(true);
    sim->runCycles(50);
    r.waitForWriter();
    const auto healthySize = std::filesystem::file_size(output());

    std::uintmax_t sizeAtFailure = 0;
    {
        // The recording reaches the limit after a few seconds of audio; the log file stays far below.
        FileSizeLimit limit(healthySize + 64 * 1024);
        ASSERT_TRUE(limit.active());
        sim->runCycles(500); // about 10 s: every block after the limit would fail
        r.waitForWriter();
        EXPECT_TRUE(r.isRunning()) << "the recorder stops on the main thread, not on the writer queue";
        ASSERT_TRUE(waitUntil([&] { return !events.empty(); }));
        runEventsFor(100ms);
        sizeAtFailure = std::filesystem::file_size(output());
    }
    const auto messages = failures();
    ASSERT_EQ(events.size(), 1u) << "one failure for hundreds of blocks that could not be written";
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_TRUE(messages[0].starts_with("Errore di scrittura: ")) << messages[0];
    EXPECT_NE(messages[0].find(output().string()), std::string::npos) << "says which file";
    EXPECT_TRUE(stoppedBeforeFailure);
    EXPECT_TRUE(onMainThread);
    expectReleased();
    EXPECT_GT(sizeAtFailure, healthySize);

    // With room again nothing more reaches the file: the recording is over.
    sim->runCycles(50);
    runEventsFor(100ms);
    EXPECT_EQ(std::filesystem::file_size(output()), sizeAtFailure);
    EXPECT_EQ(r.stop(), CallRecorder::Stats{});
    EXPECT_EQ(failures().size(), 1u);
    // Readable up to the write that failed (its partial packet is where decoding stops).
    EXPECT_GT(decodeAudioFile(output()).seconds(), 1.0);
}

} // namespace
