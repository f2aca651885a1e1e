// A recording while the audio server goes away (scripts/audio-sandbox.sh run): the real CallRecorder on the
// real PipeWire backend, in this process, with a microphone and a far end played by separate processes.
// The sandbox script stops and starts the server; the recording is decoded and measured afterwards.

#include "LogSince.h"
#include "MediaTestSupport.h"
#include "SandboxSupport.h"

#include "Platform/Audio/PipeWire/PipeWireAudioHardware.h"
#include "QuilloraCore/CallRecorder.h"

#include <QProcess>
#include <QStringList>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <variant>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr double kRate = 48000;
constexpr int64_t kQuantum = 1024; // the sandbox forces it
constexpr int64_t kAacFrame = 1024;

// Runs the sandbox script without blocking the main thread, so that the recorder's watchdog, listeners and
// events go on meanwhile, as they would in the application. Returns what the script printed.
// `meanwhile` runs at every turn of the wait.
std::string sandboxInBackground(const QStringList& arguments, const std::function<void()>& meanwhile = {}) {
    QProcess process;
    process.setProgram(QStringLiteral(QUILLORA_SANDBOX_SCRIPT));
    process.setArguments(arguments);
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start();
    EXPECT_TRUE(process.waitForStarted());
    EXPECT_TRUE(waitUntil(
        [&] {
            if (meanwhile) {
                meanwhile();
            }
            return process.state() == QProcess::NotRunning;
        },
        30000ms));
    EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(process.exitCode(), 0) << "audio-sandbox.sh " << arguments.join(' ').toStdString();
    return process.readAllStandardOutput().trimmed().toStdString();
}

double amplitudeAt(const std::vector<float>& samples, std::size_t begin, double frequency) {
    return toneAmplitude(samples, begin, 48000, frequency, kRate);
}

class ServerRestart : public ::testing::Test {
protected:
    void TearDown() override {
        stopPlayers();
        if (serverStopped_) {
            sandbox("server-start"); // the next test gets a server again
        }
    }

    // The call: a microphone (a capture device of its own, 440 Hz) that is the default one, and a far end
    // (1000 Hz) playing into the speaker. Players do not reconnect to a new server: they are replaced.
    void startCall() {
        players_.clear();
        players_.push_back(std::make_unique<SandboxProcess>("mic mic1 440"));
        players_.push_back(std::make_unique<SandboxProcess>("play spk1 1000 3600 far-end"));
        sandbox("default-source mic1");
    }
    void stopPlayers() { players_.clear(); }

    void record(CallRecorder& recorder) {
        recorder.onEvent = [this](const CallRecorder::Event& event) {
            const auto* failure = std::get_if<CallRecorder::Failure>(&event);
            events_.push_back(
                failure != nullptr
                    ? "failure: " + failure->message
                    : "microphoneChanged: " +
                          std::get<CallRecorder::MicrophoneChanged>(event).name.value_or("(none)"));
        };
        recorder.start(true);
        ASSERT_TRUE(recorder.isRunning());
        ASSERT_EQ(recorder.microphoneName(), "mic1");
    }

    // Every event, one per line, for failure messages.
    std::string eventList() const {
        std::string text;
        for (const auto& event : events_) {
            text += event + "\n";
        }
        return text;
    }

    TemporaryDirectory dir_;
    std::vector<std::unique_ptr<SandboxProcess>> players_;
    std::vector<std::string> events_;
    bool serverStopped_ = false;
};

TEST_F(ServerRestart, RecordingGoesOnWhenTheServerIsBackAndEndsWithOneFailureWhenItStaysAway) {
    startCall();
    const LogSince log;
    const auto output = dir_ / "restart.m4a";
    CallRecorder recorder(output, std::nullopt);
    record(recorder);
    const auto started = Clock::now();
    runEventsFor(2s);
    const int64_t callbacksBefore = recorder.callbackCount();
    ASSERT_GT(callbacksBefore, 60);

    // The watchdog needs a whole interval without audio before it rebuilds: 2 to 4 s after the server's
    // end, by when the server, its session manager and the devices are back.
    const long awayMs = std::stol(sandboxInBackground({"restart"}));
    startCall();
    ASSERT_TRUE(waitUntil([&] { return recorder.restartCount() >= 1; }, 6000ms))
        << "away for " << awayMs << " ms\n"
        << log.text() << eventList();
    ASSERT_TRUE(recorder.isRunning()) << "away for " << awayMs << " ms\n" << log.text() << eventList();
    const int64_t callbacksAfterRebuild = recorder.callbackCount();
    runEventsFor(2s);
    EXPECT_GT(recorder.callbackCount(), callbacksAfterRebuild + 60) << "callbacks from the new capture";
    EXPECT_TRUE(recorder.isRunning());
    EXPECT_EQ(recorder.microphoneName(), "mic1");
    for (const auto& event : events_) {
        // At most the microphone coming back after a rebuild that found none yet.
        EXPECT_EQ(event, "microphoneChanged: mic1");
    }
    const std::string lines = log.text();
    EXPECT_EQ(log.count("Nessun audio da 2 s: riavvio la cattura (1)"), 1u) << lines;
    EXPECT_EQ(log.count("Nessun audio da 2 s: riavvio la cattura ("),
              static_cast<std::size_t>(recorder.restartCount()));
    EXPECT_NE(lines.find("Cattura avviata: streams=[1, 2] leading=1 mic=true rate=48000.0",
                         lines.find("Nessun audio da 2 s")),
              std::string::npos)
        << "a capture with the microphone on the new server\n"
        << lines;
    EXPECT_EQ(log.count("Primo blocco audio dopo "), 1u);

    // Now the server goes for good. When the last block arrived, as seen from here (to within a callback
    // and a turn of the wait):
    int64_t callbacks = recorder.callbackCount();
    auto lastBlock = Clock::now();
    const std::size_t eventsBefore = events_.size();
    sandboxInBackground({"server-stop"}, [&] {
        if (const int64_t count = recorder.callbackCount(); count != callbacks) {
            callbacks = count;
            lastBlock = Clock::now();
        }
    });
    serverStopped_ = true;
    ASSERT_EQ(recorder.callbackCount(), callbacks) << "the server is gone: no more blocks";
    ASSERT_TRUE(waitUntil([&] { return !recorder.isRunning(); }, 8000ms)) << log.text();
    runEventsFor(4500ms); // long enough for two more watchdog ticks, had the watchdog survived
    EXPECT_EQ(recorder.callbackCount(), callbacks);
    ASSERT_EQ(events_.size(), eventsBefore + 1) << eventList() << log.text();
    EXPECT_EQ(events_.back().rfind("failure: Riavvio della cattura non riuscito: ", 0), 0u) << events_.back();
    EXPECT_EQ(recorder.deviceState(), "nessun dispositivo");
    EXPECT_EQ(recorder.stop(), CallRecorder::Stats{}) << "already stopped";

    // One closed, finished file holding every block captured, without a hole where the server was away:
    // both sides before the restart and after it.
    EXPECT_FALSE(containsMovieFragments(output));
    const DecodedAudio decoded = decodeAudioFile(output);
    ASSERT_EQ(decoded.channelCount, 2);
    const auto captured = callbacks * kQuantum;
    EXPECT_LE(std::llabs(static_cast<long long>(decoded.frames()) - captured), 2 * kAacFrame)
        << "decoded " << decoded.frames() << " frames, captured " << captured;
    const std::size_t after = decoded.frames() - 48000; // the last second: the new capture
    ASSERT_GT(after, static_cast<std::size_t>(callbacksBefore * kQuantum));
    for (const std::size_t at : {std::size_t{24000}, after}) {
        EXPECT_GT(amplitudeAt(decoded.channels[0], at, 440), 0.1)
            << "the microphone at " << at / kRate << " s";
        EXPECT_GT(amplitudeAt(decoded.channels[0], at, 1000), 0.1) << "the far end at " << at / kRate << " s";
    }
    // The time without a server is simply missing: the file is shorter than the call by about that much.
    EXPECT_LT(decoded.seconds(), std::chrono::duration<double>(lastBlock - started).count() - 1.5);
}

} // namespace

int main(int argc, char** argv) {
    return runInsideSandbox(
        argc, argv,
        [] {
            sandbox("speaker spk1 'Speaker 1'");
            sandbox("default-sink spk1");
            AudioHardware::setShared(std::make_unique<PipeWireAudioHardware>());
        },
        [] { AudioHardware::setShared(nullptr); });
}
