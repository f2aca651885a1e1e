// The real `quillora` on a private PipeWire sandbox (scripts/audio-sandbox.sh run), microphones, players and
// modules being processes of their own: what only a real server shows (routing, device changes, rates).
#include "LogSince.h"
#include "MediaTestSupport.h"
#include "SandboxSupport.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <fstream>
#include <gtest/gtest.h>
#include <thread>
#include <tuple>

using namespace std::chrono_literals;

namespace {

// 20 periods in the 1024-frame quantum: a copy one or more cycles late adds up, never cancels by chance.
constexpr double kCombTone = 937.5;

// How a run of `quillora` ended: its exit status (-1 if it crashed or hung), its summary, the recording.
struct Recording {
    int exitCode = -1;
    QByteArray output;
    DecodedAudio audio;
    QJsonObject summary = QJsonDocument::fromJson(output).object();

    QString text(const char* key) const { return summary.value(key).toString(); }
    std::string diagnostics() const { return text("diagnostics").toStdString(); }
    double amplitude(int channel, double from, double frequency) const {
        return toneAmplitude(audio.channels.at(static_cast<std::size_t>(channel)),
                             static_cast<std::size_t>(from * 48000), 48000, frequency, 48000);
    }
};

class RecordingEndToEnd : public ::testing::Test {
protected:
    // Runs `quillora ARGUMENTS`, and `meanwhile` while it runs; decodes what it recorded.
    Recording run(
        const QStringList& arguments, const std::function<void()>& meanwhile = [] {}, int exitCode = 0) {
        QProcess process;
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start(QStringLiteral(QUILLORA_BINARY), arguments);
        EXPECT_TRUE(process.waitForStarted());
        meanwhile();
        EXPECT_TRUE(process.waitForFinished(60000)) << "quillora did not finish";
        Recording result{process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
                         process.readAllStandardOutput(),
                         std::filesystem::exists(file_) ? decodeAudioFile(file_) : DecodedAudio{}};
        EXPECT_EQ(result.exitCode, exitCode) << result.output.toStdString();
        return result;
    }
    Recording record(
        int seconds, const std::function<void()>& meanwhile = [] {}, int exitCode = 0) {
        return run({"--record", QString::number(seconds), "--out", QString::fromStdString(file_.string())},
                   meanwhile, exitCode);
    }
    void settings(const std::string& key, const std::string& value) {
        shell("pw-metadata -n settings 0 " + key + " '" + value + "' >/dev/null");
    }
    TemporaryDirectory dir_;
    std::filesystem::path file_ = dir_ / "call.m4a";
};

TEST_F(RecordingEndToEnd, VoiceInTheCentreCallOnItsSidesThroughAnUnplugAndAMoveToAMonoSpeaker) {
    const SandboxProcess second("mic mic2 660 1 0.2");
    SandboxProcess first("mic mic1 440 1 0.2");
    sandbox("default-source mic1");
    const SandboxProcess farEnd("play spk1 1000,1500 3600 far-end 0.3");
    const LogSince log;
    const Recording recording = record(6, [&] {
        std::this_thread::sleep_for(2s);
        first.stop(); // the microphone disappears; the server picks mic2 as the default
        sandbox("default-sink spk2");
        sandbox("move far-end spkm"); // what a desktop does when the user picks other headphones
    });
    sandbox("default-sink spk1");
    EXPECT_EQ(recording.text("microphone"), "mic1") << "the microphone the recording started with";
    EXPECT_TRUE(recording.diagnostics().starts_with("streams=[1, 2] leading=1 mic=true rate=48000.0"))
        << recording.diagnostics();
    EXPECT_EQ(log.count("Microfono cambiato: mic2"), 1u) << log.text();
    ASSERT_GE(recording.audio.seconds(), 5.5);
    // Before: the voice alike on both sides, the call on its own (a loaded machine's gaps hit all sides).
    const double voice = recording.amplitude(0, 0.75, 440);
    EXPECT_GT(voice, 0.1);
    EXPECT_NEAR(recording.amplitude(1, 0.75, 440) / voice, 1.0, 0.05);
    for (const int side : {0, 1}) {
        EXPECT_GT(recording.amplitude(side, 0.75, side == 0 ? 1000 : 1500), 0.15) << side;
        EXPECT_LT(recording.amplitude(side, 0.75, side == 0 ? 1500 : 1000), 0.01) << side;
    }
    // After: the second microphone; on the mono speaker the player's ports are rebuilt and the mixed-down
    // call reaches both sides.
    EXPECT_GT(recording.amplitude(0, 4.5, 660), 0.1);
    EXPECT_LT(recording.amplitude(0, 4.5, 440), 0.01);
    EXPECT_GT(std::min({recording.amplitude(0, 4.5, 1000), recording.amplitude(0, 4.5, 1500),
                        recording.amplitude(1, 4.5, 1000), recording.amplitude(1, 4.5, 1500)}),
              0.05);
}

TEST_F(RecordingEndToEnd, SilenceIsRecordedAsSilenceForTheWholeTime) {
    // No microphone exists and nothing plays: the capture still runs at the graph rate.
    for (const char* name : {"mic1", "mic2", "far-end"}) {
        ASSERT_TRUE(waitUntil([&] { return sandbox(std::string("node-id ") + name).empty(); })) << name;
    }
    const Recording recording = record(4);
    // Every captured block is in the file, at the graph rate all along (but for a start-up delay and the
    // cycles the graph itself lost, which the program reports).
    const double lost = recording.text("lostCycles").toDouble() * 1024 / 48000;
    EXPECT_NEAR(recording.audio.seconds(), recording.text("seconds").toDouble(), 0.03);
    EXPECT_NEAR(recording.audio.seconds() + lost, recording.text("wallSeconds").toDouble(), 0.25);
    EXPECT_LT(std::max(peak(recording.audio.channels.at(0)), peak(recording.audio.channels.at(1))), 1e-4);
}

TEST_F(RecordingEndToEnd, ProbeRunsEveryCaptureItTriesOnTheServer) {
    const SandboxProcess microphone("mic mic1 440 1 0.2");
    sandbox("default-source mic1");
    const auto report = dir_ / "probe.txt";
    const Recording probe = run({"--probe", QString::fromStdString(report.string()), "--record"});
    EXPECT_TRUE(probe.output.isEmpty()) << "the probe only, no recording";
    std::ifstream in(report); // every capture it tries runs (its lines are the unit tests' business)
    int runs = 0;
    for (std::string line; std::getline(in, line);) {
        const auto callbacks = line.find("callbacks=");
        if (callbacks != std::string::npos) {
            ++runs;
            EXPECT_NE(line.find(": create=0 start=0 running=1 callbacks="), std::string::npos) << line;
            EXPECT_GT(std::stoi(line.substr(callbacks + 10)), 50) << line; // of about 70 in 1.5 s
        }
    }
    EXPECT_EQ(runs, 8);
}

TEST_F(RecordingEndToEnd, KeepsPitchAndLengthWhateverRateTheGraphRuns) {
    // The graph, the player's rate, clock.force-rate before the recording, the rate the diagnostics report,
    // clock.force-rate from 2 s on (nullptr: none).
    const std::tuple<const char*, int, const char*, const char*, const char*> cases[] = {
        {"44.1 kHz player alone, 44.1 and 48 kHz allowed", 44100, "0", "rate=44100.0", nullptr},
        {"96 kHz forced", 48000, "96000", "rate=96000.0", nullptr},
        {"48 kHz, then 44.1 kHz from 2 s on", 48000, "0", "rate=48000.0", "44100"},
    };
    for (const auto& [graph, playerRate, force, startRate, switchTo] : cases) {
        SCOPED_TRACE(graph);
        settings("clock.allowed-rates", "[ 44100 48000 ]");
        settings("clock.force-rate", force);
        const SandboxProcess far("play spk1 1000 600 far-end 0.3 " + std::to_string(playerRate));
        const LogSince log;
        std::this_thread::sleep_for(300ms); // the graph settles on its rate
        const char* later = switchTo;       // (clang 14 cannot capture a structured binding)
        const Recording recording = record(4, [&] {
            if (later != nullptr) {
                std::this_thread::sleep_for(2s);
                settings("clock.force-rate", later);
            }
        });
        settings("clock.force-rate", "0");
        settings("clock.allowed-rates", "[ 48000 ]");
        const std::string diagnostics = recording.diagnostics();
        EXPECT_NE(diagnostics.find(startRate), std::string::npos) << diagnostics;
        EXPECT_EQ(log.count("Frequenza della cattura cambiata: 48000 -> 44100 Hz"), switchTo ? 1u : 0u)
            << log.text();
        // As long as the call, but for the cycles the graph lost and the last AAC frame's padding (within
        // 2.5 %: a rate switch has measured up to 1.33 %; a wrong rate is off by 8 %).
        const double wall = recording.text("wallSeconds").toDouble();
        const double lost = std::stod(diagnostics.substr(diagnostics.find("lostCycles=") + 11)) * 1024 /
                            std::stod(diagnostics.substr(diagnostics.find("rate=") + 5));
        EXPECT_NEAR(recording.audio.seconds() - 1024.0 / 48000 + lost, wall, wall * 0.025) << diagnostics;
        // The pitch on both sides of a switch: a tone 1 Hz off cancels itself out over the second measured.
        for (const double from : {0.5, 2.5}) {
            EXPECT_GT(recording.amplitude(0, from, 1000), 0.05) << "from " << from << " s";
        }
    }
}

TEST_F(RecordingEndToEnd, RecordsTheFarEndOnceThroughVirtualSinksThatPlayItOn) {
    // A loopback into a (pass-through) echo canceller, each hosted by a process of its own.
    const std::string config = (dir_ / "echo-cancel.conf").string();
    std::ofstream(config) << R"(context.spa-libs = { audio.convert.* = audioconvert/libspa-audioconvert
                   support.* = support/libspa-support }
context.modules = [
  { name = libpipewire-module-protocol-native } { name = libpipewire-module-client-node }
  { name = libpipewire-module-adapter }
  { name = libpipewire-module-echo-cancel args = { library.name = aec/libspa-aec-null
      sink.props = { node.name = ec-sink } source.props = { node.name = ec-source }
      capture.props = { node.name = ec-capture } playback.props = { node.name = ec-playback } } }
])";
    const SandboxProcess echoCancel("spawn echo-cancel pipewire -c " + config);
    const SandboxProcess loopback(
        "spawn loopback pw-loopback -n lb --capture-props='media.class=Audio/Sink "
        "node.name=lb-sink' --playback ec-sink --playback-props='node.name=lb-play'");
    for (const char* node : {"ec-sink", "ec-playback", "lb-sink", "lb-play"}) {
        sandbox(std::string("wait-node ") + node);
    }
    sandbox("default-sink spk1");
    const SandboxProcess microphone("mic mic1 440"); // the echo canceller plays on only with one
    sandbox("default-source mic1");
    double straight = 0;
    for (const char* sink : {"spk1", "lb-sink"}) {
        const SandboxProcess far("play " + std::string(sink) + " " + std::to_string(kCombTone) +
                                 " 600 far-end 0.3");
        std::this_thread::sleep_for(300ms);
        const Recording recording = record(3); // from 1 s on, settled: 900 whole periods of the tone
        const double level = toneAmplitude(recording.audio.channels.at(0), 48000, 46080, kCombTone, 48000);
        straight = straight > 0 ? straight : level;
        EXPECT_NEAR(20 * std::log10(level / straight), 0.0, 1.0) << sink;
        EXPECT_GT(level, 0.2) << sink;
    }
}

TEST_F(RecordingEndToEnd, GoesOnThroughAServerRestartAndEndsWithOneFailureWhenTheServerStaysAway) {
    std::vector<std::unique_ptr<SandboxProcess>> call;
    const auto startCall = [&] { // its players do not reconnect to a new server: they are replaced
        call.clear();
        call.push_back(std::make_unique<SandboxProcess>("mic mic1 440"));
        call.push_back(std::make_unique<SandboxProcess>("play spk1 1000 3600 far-end"));
        sandbox("default-source mic1");
    };
    startCall();
    const auto started = std::chrono::steady_clock::now();
    double stoppedAt = 0;
    const Recording recording = record(
        30,
        [&] {
            std::this_thread::sleep_for(2s);
            sandbox("restart");
            startCall();
            std::this_thread::sleep_for(6s); // the watchdog rebuilds 2 to 4 s after the server's end
            sandbox("server-stop");
            stoppedAt = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        },
        1);
    EXPECT_TRUE(recording.text("error").startsWith("Riavvio della cattura non riuscito: "))
        << recording.text("error").toStdString();
    EXPECT_GE(recording.text("restarts").toInt(), 1);
    EXPECT_LT(recording.text("wallSeconds").toDouble(), 20) << "the wait ends with the recording";
    // One finished file of every captured block: both sides before the restart and at the end, no gap filled.
    EXPECT_FALSE(containsMovieFragments(file_));
    EXPECT_NEAR(recording.audio.frames(), recording.text("callbacks").toDouble() * 1024, 2048);
    ASSERT_GT(recording.audio.seconds(), 4.0);
    for (const double at : {0.5, recording.audio.seconds() - 1}) {
        EXPECT_GT(recording.amplitude(0, at, 440), 0.1) << "the microphone at " << at << " s";
        EXPECT_GT(recording.amplitude(0, at, 1000), 0.1) << "the far end at " << at << " s";
    }
    EXPECT_LT(recording.audio.seconds(), stoppedAt - 1.5);
    sandbox("server-start"); // the last test: the server went away for good
}

} // namespace

int main(int argc, char** argv) {
    return runInsideSandbox(argc, argv, [] {
        sandbox("speaker spk1 'Speaker 1'");
        sandbox("speaker spk2 'Speaker 2'");
        sandbox("speaker spkm 'Mono speaker' MONO");
        sandbox("default-sink spk1");
    });
}
