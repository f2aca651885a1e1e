// The call recorder on the Simulated backend: a whole recording, the failure paths, silence restarts and
// input-device changes.
#include "MediaInspection.h"
#include "QuilloraCore/CallRecorder.h"
#include "QuilloraCore/CoreAudioHelpers.h"
#include "QuilloraCore/Diagnostics.h"
#include "SimulatedTestSupport.h"

#include <QTemporaryDir>
#include <QThread>
#include <csignal>
#include <fstream>
#include <sys/resource.h>
#include <unistd.h>

namespace {

using Operation = SimulatedAudioHardware::Operation;
using Signal = SimulatedAudioHardware::Signal;

constexpr double blockSeconds = 1024.0 / 48000.0;
// 'nope', as the description shows it.
const std::string refused = "(OSStatus 1852797029 'nope')";

class CallRecorderTest : public SimulatedAudioTest {
protected:
    void SetUp() override {
        SimulatedAudioTest::SetUp();
        ASSERT_TRUE(folder.isValid());
        speakers = addOutput("Altoparlanti", "speakers", Signal::tone(440, 0.3f));
        mic = addInput("Microfono USB", "usb-mic", {1}, Signal::tone(220, 0.2f));
        // Lines this test logs come after this one.
        marker = "---- " + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) +
                 " " + std::to_string(++markers);
        Diagnostics::log(marker);
    }

    void TearDown() override {
        recorder.reset(); // before the audio system it uses
        SimulatedAudioTest::TearDown();
    }

    std::filesystem::path output(const std::string& name = "call.m4a") const {
        return std::filesystem::path(folder.path().toStdString()) / name;
    }

    CallRecorder& makeRecorder(const std::string& name = "call.m4a") {
        recorder = std::make_unique<CallRecorder>(output(name), std::nullopt);
        recorder->onEvent = [this](const CallRecorder::Event& event) {
            events.push_back(event);
            eventsOnMainThread =
                eventsOnMainThread && QThread::currentThread() == QCoreApplication::instance()->thread();
            stoppedBeforeFailure =
                stoppedBeforeFailure &&
                (std::holds_alternative<CallRecorder::MicrophoneChanged>(event) || !recorder->isRunning());
        };
        return *recorder;
    }

    // The messages logged since this test began, without their timestamps.
    std::vector<std::string> logged() const {
        Diagnostics::flush();
        std::ifstream file(Diagnostics::fileURL());
        std::vector<std::string> lines;
        bool mine = false;
        for (std::string line; std::getline(file, line);) {
            const std::string message = line.substr(line.find(' ') + 1);
            if (message == marker) {
                mine = true;
            } else if (mine) {
                lines.push_back(message);
            }
        }
        return lines;
    }

    std::size_t loggedCount(const std::string& prefix) const {
        const auto lines = logged();
        return static_cast<std::size_t>(std::count_if(
            lines.begin(), lines.end(), [&](const std::string& line) { return line.rfind(prefix, 0) == 0; }));
    }

    void expectNoAudioObjectsLeft() const {
        EXPECT_EQ(sim->liveTapCount(), 0u);
        EXPECT_EQ(sim->liveAggregateCount(), 0u);
        EXPECT_EQ(sim->ioProcCount(), 0u);
        EXPECT_EQ(sim->listenerCount(), 0u);
    }

    // Whether this process still has the file open.
    static bool isOpen(const std::filesystem::path& file) {
        std::error_code ignored;
        const auto target = std::filesystem::canonical(file, ignored);
        for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", ignored)) {
            if (std::filesystem::read_symlink(entry.path(), ignored) == target) {
                return true;
            }
        }
        return false;
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

    // Runs the event loop for a while so that anything still queued for the main thread arrives.
    static void settle(std::chrono::milliseconds time = std::chrono::milliseconds(100)) {
        const auto until = std::chrono::steady_clock::now() + time;
        waitUntil([&] { return std::chrono::steady_clock::now() >= until; }, time * 2);
    }

    QTemporaryDir folder;
    AudioObjectID speakers = kAudioObjectUnknown;
    AudioObjectID mic = kAudioObjectUnknown;
    std::string marker;
    static inline int markers = 0;
    std::unique_ptr<CallRecorder> recorder;
    std::vector<CallRecorder::Event> events;
    bool eventsOnMainThread = true;
    bool stoppedBeforeFailure = true;
};

TEST_F(CallRecorderTest, recordsVoiceAndCallAndCleansUpAtStop) {
    CallRecorder& r = makeRecorder();
    EXPECT_EQ(r.stop(), CallRecorder::Stats{}) << "stop before start";
    EXPECT_TRUE(sim->tapRequests().empty());
    EXPECT_FALSE(std::filesystem::exists(output())) << "a recorder that never started touches nothing";

    r.start(true);
    EXPECT_TRUE(r.isRunning());
    EXPECT_EQ(r.microphoneName(), "Microfono USB");
    EXPECT_EQ(r.diagnostics(), "streams=[1, 2] leading=1 mic=true rate=48000.0 tapFormat=48000.0Hz 2ch");
    EXPECT_EQ(r.deviceState(), "running=1 alive=1 proc=true");
    EXPECT_EQ(sim->listenerCount(), 1u);

    r.start(true); // already running: nothing happens
    EXPECT_EQ(sim->tapRequests().size(), 1u);
    EXPECT_EQ(sim->aggregateRequests().size(), 1u);

    constexpr int blocks = 235; // about 5 s
    sim->runCycles(blocks);
    EXPECT_EQ(r.callbackCount(), blocks);
    const CallRecorder::Stats stats = r.stop();
    EXPECT_FALSE(r.isRunning());
    EXPECT_NEAR(stats.seconds, blocks * blockSeconds, 1e-9);
    EXPECT_TRUE(stats.hadMicrophone);
    EXPECT_NEAR(stats.micPeakRMS, 0.2 / std::sqrt(2.0), 0.005);
    EXPECT_NEAR(stats.systemPeakRMS, 0.3 / std::sqrt(2.0), 0.005);
    EXPECT_EQ(r.droppedBlocks(), 0u);
    EXPECT_EQ(r.deviceState(), "nessun dispositivo");
    expectNoAudioObjectsLeft();

    EXPECT_EQ(r.stop(), CallRecorder::Stats{}) << "a second stop";

    EXPECT_FALSE(isOpen(output()));
    const MediaInspection media = MediaInspection::of(output());
    EXPECT_TRUE(media.decodes) << media.errors;
    EXPECT_EQ(media.codec, "aac");
    EXPECT_EQ(media.channels, 2);
    EXPECT_EQ(media.sampleRate, 48000);
    EXPECT_NEAR(media.seconds, blocks * blockSeconds, 0.03);

    EXPECT_EQ(loggedCount(
                  "Cattura avviata: streams=[1, 2] leading=1 mic=true rate=48000.0 tapFormat=48000.0Hz 2ch"),
              1u);
    EXPECT_EQ(loggedCount("Primo blocco audio dopo "), 1u);
    EXPECT_EQ(loggedCount("Blocchi audio persi"), 0u);
    EXPECT_TRUE(events.empty());
}

TEST_F(CallRecorderTest, withoutMicrophoneTheOutputDeviceLeadsAndInputChangesAreIgnored) {
    CallRecorder& r = makeRecorder();
    r.start(false);
    EXPECT_EQ(r.microphoneName(), std::nullopt);
    EXPECT_EQ(sim->listenerCount(), 0u);
    EXPECT_EQ(r.diagnostics(), "streams=[2] leading=0 mic=false rate=48000.0 tapFormat=48000.0Hz 2ch");
    const auto requests = sim->aggregateRequests();
    ASSERT_EQ(requests.size(), 1u);
    ASSERT_EQ(requests[0].subdevices.size(), 1u);
    EXPECT_EQ(requests[0].subdevices[0].uid, "speakers");

    const AudioObjectID headset = addInput("Cuffie", "headset");
    ASSERT_TRUE(sim->setDefaultInput(headset));
    sim->runCycles(47);
    settle();
    EXPECT_TRUE(events.empty());
    EXPECT_EQ(sim->aggregateRequests().size(), 1u);

    const CallRecorder::Stats stats = r.stop();
    EXPECT_FALSE(stats.hadMicrophone);
    EXPECT_EQ(stats.micPeakRMS, 0.0f);
    EXPECT_NEAR(stats.seconds, 47 * blockSeconds, 1e-9);
    expectNoAudioObjectsLeft();
}

TEST_F(CallRecorderTest, unreadableDeviceValuesShowAsZeroQuestionMarkAnd99) {
    sim->setPropertyFailure(SimulatedAudioHardware::kAnyObject, kAudioDevicePropertyNominalSampleRate);
    sim->setPropertyFailure(SimulatedAudioHardware::kAnyObject, kAudioTapPropertyFormat);
    sim->setPropertyFailure(SimulatedAudioHardware::kAnyObject, kAudioDevicePropertyDeviceIsRunning);
    sim->setPropertyFailure(SimulatedAudioHardware::kAnyObject, kAudioDevicePropertyDeviceIsAlive);
    CallRecorder& r = makeRecorder();
    r.start(true);
    EXPECT_EQ(r.diagnostics(), "streams=[1, 2] leading=1 mic=true rate=0.0 tapFormat=?");
    EXPECT_EQ(r.deviceState(), "running=99 alive=99 proc=true");
    sim->runCycles(20);
    // Without a sample rate the writer has nothing it could do with the blocks.
    EXPECT_EQ(r.stop().seconds, 0.0);
    EXPECT_EQ(r.callbackCount(), 20);
}

TEST_F(CallRecorderTest, refusedTapThrowsThePermissionErrorAndLeavesNothing) {
    sim->injectFault(Operation::createProcessTap, kAudioHardwareIllegalOperationError);
    CallRecorder& r = makeRecorder();
    try {
        r.start(true);
        FAIL() << "start should throw";
    } catch (const CoreAudioError& error) {
        EXPECT_EQ(error.errorDescription(),
                  "Accesso all'audio di sistema (controlla il permesso «Registrazione audio di sistema») non "
                  "riuscito " +
                      refused);
        EXPECT_EQ(error.status(), kAudioHardwareIllegalOperationError);
    }
    EXPECT_FALSE(r.isRunning());
    EXPECT_TRUE(sim->aggregateRequests().empty());
    expectNoAudioObjectsLeft();
    EXPECT_TRUE(std::filesystem::exists(output()));
    EXPECT_FALSE(isOpen(output())) << "the writer is closed";
    EXPECT_EQ(r.stop(), CallRecorder::Stats{});

    // The same recorder can try again once the permission is there.
    sim->clearFaults();
    r.start(true);
    sim->runCycles(10);
    EXPECT_NEAR(r.stop().seconds, 10 * blockSeconds, 1e-9);
    expectNoAudioObjectsLeft();
}

TEST_F(CallRecorderTest, captureStartFailuresThrowAndDestroyTheTap) {
    struct Case {
        Operation operation;
        std::string description;
    };
    const std::vector<Case> cases{
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
        EXPECT_EQ(r.deviceState(), "nessun dispositivo");
        expectNoAudioObjectsLeft();
        EXPECT_FALSE(isOpen(output(name)));
        sim->runCycles(5);
        EXPECT_EQ(r.callbackCount(), 0);
    }
}

TEST_F(CallRecorderTest, aRebuildThatCannotCreateTheAggregateStopsWithOneFailure) {
    for (const bool bySilence : {false, true}) {
        SCOPED_TRACE(bySilence ? "watchdog" : "input change");
        sim->clearFaults();
        events.clear();
        const std::string name = bySilence ? "silence.m4a" : "input.m4a";
        CallRecorder& r = makeRecorder(name);
        r.setWatchdogIntervalForTesting(bySilence ? 30 : 60000);
        r.start(true);
        sim->runCycles(100);
        r.waitForWriter();

        sim->injectFault(Operation::createAggregateDevice, kAudioHardwareIllegalOperationError);
        if (!bySilence) {
            ASSERT_TRUE(sim->setDefaultInput(addInput("Cuffie " + name, "headset-" + name)));
        } // else: no cycles are granted any more, so the device is silent
        ASSERT_TRUE(waitUntil([&] { return !events.empty(); }));
        settle();

        EXPECT_EQ(failures(), std::vector<std::string>{"Riavvio della cattura non riuscito: Creazione del "
                                                       "dispositivo aggregato non riuscito " +
                                                       refused});
        EXPECT_EQ(events.size(), 1u) << "no microphoneChanged for a rebuild that failed";
        EXPECT_TRUE(stoppedBeforeFailure);
        EXPECT_TRUE(eventsOnMainThread);
        EXPECT_FALSE(r.isRunning());
        EXPECT_EQ(r.restartCount(), bySilence ? 1 : 0);
        EXPECT_EQ(r.stop(), CallRecorder::Stats{});
        expectNoAudioObjectsLeft();

        EXPECT_FALSE(isOpen(output(name)));
        const MediaInspection media = MediaInspection::of(output(name));
        EXPECT_TRUE(media.decodes) << media.errors;
        EXPECT_NEAR(media.seconds, 100 * blockSeconds, 0.03) << "everything captured before is in the file";
    }
}

TEST_F(CallRecorderTest, aSilentDeviceIsRestartedEveryTickAndTheRecordingGoesOn) {
    sim->setClockMode(SimulatedAudioHardware::ClockMode::realTime); // about 47 blocks a second
    CallRecorder& r = makeRecorder();
    r.setWatchdogIntervalForTesting(150);
    r.start(true);
    ASSERT_TRUE(waitUntil([&] { return r.callbackCount() >= 10; }));
    EXPECT_EQ(r.restartCount(), 0);

    sim->setSilent(mic, true);
    ASSERT_TRUE(waitUntil([&] { return r.restartCount() >= 3; }, std::chrono::milliseconds(5000)));
    EXPECT_TRUE(r.isRunning());

    sim->setSilent(mic, false);
    settle(std::chrono::milliseconds(200)); // a tick already under way may still count one more
    const int restarts = r.restartCount();
    const int64_t before = r.callbackCount();
    settle(std::chrono::milliseconds(600));
    EXPECT_EQ(r.restartCount(), restarts) << "audio flows again: no more restarts";
    EXPECT_GT(r.callbackCount(), before);
    EXPECT_EQ(r.deviceState(), "running=1 alive=1 proc=true");
    EXPECT_TRUE(r.stop().seconds > 0.5);
    EXPECT_TRUE(events.empty()) << "silence restarts are not reported as events";

    const auto lines = logged();
    std::vector<std::string> restartLines;
    for (const auto& line : lines) {
        if (line.rfind("Nessun audio", 0) == 0) {
            restartLines.push_back(line);
        }
    }
    ASSERT_EQ(restartLines.size(), static_cast<std::size_t>(restarts));
    for (int n = 1; n <= restarts; ++n) {
        EXPECT_EQ(restartLines[static_cast<std::size_t>(n - 1)],
                  "Nessun audio da 2 s: riavvio la cattura (" + std::to_string(n) + ")");
    }
    EXPECT_EQ(loggedCount("Cattura avviata: "), static_cast<std::size_t>(restarts + 1))
        << "one per capture start";
    EXPECT_EQ(loggedCount("Primo blocco audio dopo "), 1u) << "once per recorder, rebuilds or not";
    expectNoAudioObjectsLeft();
}

TEST_F(CallRecorderTest, followsTheDefaultInputAndSaysWhichMicrophoneItUses) {
    const AudioObjectID headset = addInput("Cuffie", "headset", {1}, Signal::tone(330, 0.1f));
    CallRecorder& r = makeRecorder();
    r.start(true);
    sim->runCycles(20);

    using Changed = CallRecorder::MicrophoneChanged;
    ASSERT_TRUE(sim->setDefaultInput(headset));
    ASSERT_TRUE(waitUntil([&] { return events.size() == 1; }));
    ASSERT_TRUE(std::holds_alternative<Changed>(events[0]));
    EXPECT_EQ(std::get<Changed>(events[0]).name, "Cuffie");
    EXPECT_EQ(r.microphoneName(), "Cuffie");
    EXPECT_EQ(sim->aggregateRequests().back().subdevices.at(0).uid, "headset");
    sim->runCycles(20);

    // Unplugging the headset moves the default back to the USB microphone.
    sim->removeDevice(headset);
    ASSERT_TRUE(waitUntil([&] { return events.size() == 2; }));
    EXPECT_EQ(std::get<Changed>(events[1]).name, "Microfono USB");
    sim->runCycles(20);

    // With no input left the capture goes on with the call alone.
    sim->removeDevice(mic);
    ASSERT_TRUE(waitUntil([&] { return events.size() == 3; }));
    EXPECT_EQ(std::get<Changed>(events[2]).name, std::nullopt);
    EXPECT_EQ(r.microphoneName(), std::nullopt);
    EXPECT_EQ(r.diagnostics(), "streams=[2] leading=0 mic=false rate=48000.0 tapFormat=48000.0Hz 2ch");
    sim->runCycles(20);
    settle();
    EXPECT_EQ(events.size(), 3u);
    EXPECT_TRUE(eventsOnMainThread);
    EXPECT_EQ(r.restartCount(), 0);
    EXPECT_EQ(sim->liveAggregateCount(), 1u) << "each rebuild replaced the aggregate";
    EXPECT_EQ(sim->liveTapCount(), 1u) << "and kept the tap";

    const CallRecorder::Stats stats = r.stop();
    EXPECT_NEAR(stats.seconds, 80 * blockSeconds, 1e-9);
    EXPECT_TRUE(stats.hadMicrophone);
    expectNoAudioObjectsLeft();
    EXPECT_EQ(loggedCount("Cattura avviata: "), 4u);
    const MediaInspection media = MediaInspection::of(output());
    EXPECT_TRUE(media.decodes) << media.errors;
    EXPECT_NEAR(media.seconds, 80 * blockSeconds, 0.03);
}

// Makes every write beyond `bytes` into a file fail with EFBIG (instead of killing the process) for as
// long as it lives.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        previousHandler_ = std::signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &previous_);
        rlimit limited = previous_;
        limited.rlim_cur = bytes;
        active_ = setrlimit(RLIMIT_FSIZE, &limited) == 0;
    }
    ~FileSizeLimit() { lift(); }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

    bool active() const { return active_; }
    void lift() {
        if (active_) {
            setrlimit(RLIMIT_FSIZE, &previous_);
            active_ = false;
        }
        if (previousHandler_ != SIG_ERR) {
            std::signal(SIGXFSZ, previousHandler_);
            previousHandler_ = SIG_ERR;
        }
    }

private:
    rlimit previous_{};
    bool active_ = false;
    void (*previousHandler_)(int) = SIG_ERR;
};

TEST_F(CallRecorderTest, aWriteFailureStopsTheRecordingWithOneFailureAndWritesNothingMore) {
    CallRecorder& r = makeRecorder();
    r.start(true);
    sim->runCycles(50);
    r.waitForWriter();
    const auto healthySize = std::filesystem::file_size(output());

    std::uintmax_t sizeAtFailure = 0;
    {
        // The recording file reaches the limit after a few seconds of audio; the log file stays far below.
        FileSizeLimit limit(healthySize + 64 * 1024);
        ASSERT_TRUE(limit.active());
        sim->runCycles(500); // about 10 s: every block after the limit would fail
        r.waitForWriter();
        EXPECT_TRUE(r.isRunning()) << "the recorder stops on the main thread, not on the writer queue";
        ASSERT_TRUE(waitUntil([&] { return !events.empty(); }));
        settle();
        sizeAtFailure = std::filesystem::file_size(output());
    }

    const auto messages = failures();
    ASSERT_EQ(messages.size(), 1u) << "one failure for hundreds of blocks that could not be written";
    EXPECT_EQ(messages[0].rfind("Errore di scrittura: ", 0), 0u) << messages[0];
    EXPECT_GT(messages[0].size(), std::string("Errore di scrittura: ").size());
    EXPECT_EQ(events.size(), 1u);
    EXPECT_TRUE(stoppedBeforeFailure);
    EXPECT_TRUE(eventsOnMainThread);
    EXPECT_FALSE(r.isRunning());
    expectNoAudioObjectsLeft();
    EXPECT_FALSE(isOpen(output()));
    EXPECT_LE(sizeAtFailure, healthySize + 64 * 1024);
    EXPECT_GT(sizeAtFailure, healthySize);

    // With room again nothing more reaches the file: the recording is over.
    sim->runCycles(50);
    settle();
    EXPECT_EQ(std::filesystem::file_size(output()), sizeAtFailure);
    EXPECT_EQ(r.stop(), CallRecorder::Stats{});
    EXPECT_EQ(failures().size(), 1u);
    const MediaInspection media = MediaInspection::of(output());
    // The write that failed may have left a partial last packet (decoders stop there); everything
    // before it can be read.
    EXPECT_EQ(media.codec, "aac") << media.errors;
    EXPECT_GT(media.seconds, 1.0) << media.errors;
}

TEST_F(CallRecorderTest, releasingARunningRecorderFinishesTheFile) {
    CallRecorder& r = makeRecorder();
    r.start(true);
    sim->runCycles(47);
    recorder.reset();
    expectNoAudioObjectsLeft();
    const MediaInspection media = MediaInspection::of(output());
    EXPECT_TRUE(media.decodes) << media.errors;
    EXPECT_NEAR(media.seconds, 47 * blockSeconds, 0.03);
}

} // namespace
