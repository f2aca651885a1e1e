// The real `quillora` binary recording a private PipeWire sandbox (scripts/audio-sandbox.sh run): players
// and microphones are separate processes fed by sox, and what lands in the file is decoded with FFmpeg and
// measured.

#include "MediaTestSupport.h"
#include "SandboxSupport.h"

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStringList>
#include <chrono>
#include <cmath>
#include <complex>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

constexpr double kRate = 48000;

// A pw-play fed with sine tones by sox: a player into a speaker, or a capture device of its own.
class Player {
public:
    // `properties` are pw-play's -P properties; `target` its --target; one frequency per channel.
    Player(const std::string& properties, const std::string& target, const std::vector<int>& frequencies,
           double amplitude) {
        std::string synth = "synth 3600";
        for (int frequency : frequencies) {
            synth += " sine " + std::to_string(frequency);
        }
        const std::string channels = std::to_string(frequencies.size());
        const std::string script =
            "exec pw-play --format f32 --rate 48000 --channels " + channels + " --target " + target +
            " -P '" + properties + "' - < <(exec sox -q -n -t raw -r 48000 -c " + channels +
            " -e floating-point -b 32 -L - " + synth + " vol " + std::to_string(amplitude) + ")";
        process_.setProgram("bash");
        process_.setArguments({"-c", QString::fromStdString(script)});
        process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process_.start();
        EXPECT_TRUE(process_.waitForStarted()) << script;
    }
    ~Player() { stop(); }
    Player(const Player&) = delete;
    Player& operator=(const Player&) = delete;

    void stop() {
        if (process_.state() != QProcess::NotRunning) {
            process_.terminate();
            if (!process_.waitForFinished(3000)) {
                process_.kill();
                process_.waitForFinished(3000);
            }
        }
    }

private:
    QProcess process_;
};

std::string microphoneProperties(const std::string& name) {
    return "{ media.class=Audio/Source node.name=" + name + " node.description=" + name + " }";
}

bool waitForNode(const std::string& name) {
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (std::chrono::steady_clock::now() < deadline) {
        if (!sandbox("node-id " + name).empty()) {
            return true;
        }
        std::this_thread::sleep_for(20ms);
    }
    return false;
}

bool waitForNodeGone(const std::string& name) {
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (std::chrono::steady_clock::now() < deadline) {
        if (sandbox("node-id " + name).empty()) {
            return true;
        }
        std::this_thread::sleep_for(20ms);
    }
    return false;
}

void setDefaultSource(const std::string& name) {
    sandbox("default-source " + name);
}

struct ProgramRun {
    int exitCode = -1;
    QByteArray standardOutput;
    QJsonObject summary;
};

// Starts `quillora ARGS`; `whileRunning` runs while it records.
ProgramRun runQuillora(const QStringList& arguments, const std::function<void(QProcess&)>& whileRunning = {},
                       int timeoutMs = 120000) {
    QProcess process;
    process.setProgram(QStringLiteral(QUILLORA_BINARY));
    process.setArguments(arguments);
    process.setProcessChannelMode(QProcess::SeparateChannels);
    process.start();
    EXPECT_TRUE(process.waitForStarted());
    if (whileRunning) {
        whileRunning(process);
    }
    EXPECT_TRUE(process.waitForFinished(timeoutMs)) << "quillora did not finish";
    ProgramRun run;
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.standardOutput = process.readAllStandardOutput();
    const QByteArray errors = process.readAllStandardError();
    if (!errors.isEmpty()) {
        std::fprintf(stderr, "%s", errors.constData());
    }
    run.summary = QJsonDocument::fromJson(run.standardOutput).object();
    return run;
}

// Amplitude of one frequency over [begin, begin + length): the window holds whole periods of every tone
// these tests use (1 s at 48 kHz), so the tones do not leak into each other.
double toneAmplitude(const std::vector<float>& samples, std::size_t begin, std::size_t length,
                     double frequency) {
    std::complex<double> sum = 0;
    for (std::size_t i = 0; i < length && begin + i < samples.size(); ++i) {
        const double phase = 2 * M_PI * frequency * static_cast<double>(i) / kRate;
        sum +=
            static_cast<double>(samples[begin + i]) * std::complex<double>(std::cos(phase), -std::sin(phase));
    }
    return 2 * std::abs(sum) / static_cast<double>(length);
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::filesystem::path logFile() {
    return std::filesystem::path(std::getenv("XDG_STATE_HOME")) / "Quillora" / "quillora.log";
}

class RecordingEndToEnd : public ::testing::Test {
protected:
    TemporaryDirectory dir_;
};

TEST_F(RecordingEndToEnd, RecordsTheVoiceInTheCentreAndTheCallOnItsOwnSides) {
    Player microphone(microphoneProperties("mic1"), "0", {440}, 0.2);
    ASSERT_TRUE(waitForNode("mic1"));
    setDefaultSource("mic1");
    Player farEnd("{ node.name=far-end }", "spk1", {1000, 1500}, 0.3);
    ASSERT_TRUE(waitForNode("far-end"));

    const auto output = dir_ / "call.m4a";
    const ProgramRun run = runQuillora({"--record", "4", "--out", QString::fromStdString(output.string())});
    ASSERT_EQ(run.exitCode, 0) << run.standardOutput.toStdString();

    // The summary: every key, as text, in sorted order; the file beside the recording is the same JSON.
    const QStringList keys = run.summary.keys();
    EXPECT_EQ(keys,
              (QStringList{"callbacks", "diagnostics", "file", "lostCycles", "micPeakRMS", "microphone",
                           "microphoneAllowed", "restarts", "seconds", "systemPeakRMS", "wallSeconds"}));
    for (const QString& key : keys) {
        EXPECT_TRUE(run.summary.value(key).isString()) << key.toStdString();
    }
    EXPECT_EQ(run.summary.value("file").toString().toStdString(), output.string());
    EXPECT_EQ(run.summary.value("microphone").toString(), "mic1");
    EXPECT_EQ(run.summary.value("microphoneAllowed").toString(), "true");
    EXPECT_EQ(run.summary.value("restarts").toString(), "0");
    EXPECT_TRUE(run.summary.value("diagnostics")
                    .toString()
                    .startsWith("streams=[1, 2] leading=1 mic=true rate=48000.0"))
        << run.summary.value("diagnostics").toString().toStdString();
    EXPECT_TRUE(run.summary.value("diagnostics").toString().endsWith("running=1 alive=1 proc=true"));
    EXPECT_NEAR(run.summary.value("wallSeconds").toString().toDouble(), 4.0, 0.05);
    EXPECT_NEAR(run.summary.value("seconds").toString().toDouble(), 4.0, 0.15);
    EXPECT_EQ(run.summary.value("seconds").toString().section('.', 1).size(), 2);
    EXPECT_EQ(run.summary.value("micPeakRMS").toString().section('.', 1).size(), 5);
    EXPECT_NEAR(run.summary.value("micPeakRMS").toString().toDouble(), 0.2 / std::sqrt(2.0), 0.01);
    EXPECT_GT(run.summary.value("callbacks").toString().toInt(), 150);
    QByteArray printed = run.standardOutput;
    ASSERT_TRUE(printed.endsWith('\n'));
    printed.chop(1);
    EXPECT_EQ(readFile(output.string() + ".json"), printed.toStdString());

    const DecodedAudio decoded = decodeAudioFile(output);
    ASSERT_EQ(decoded.channelCount, 2);
    ASSERT_EQ(decoded.sampleRate, 48000);
    ASSERT_GE(decoded.seconds(), 3.5);
    const std::size_t begin = 48000; // a second in, well after the links formed
    const auto& left = decoded.channels[0];
    const auto& right = decoded.channels[1];
    // The voice in the centre: the same on both sides. Far end active, so the leveler stays at unity.
    EXPECT_NEAR(toneAmplitude(left, begin, 48000, 440), 0.2, 0.03);
    EXPECT_NEAR(toneAmplitude(right, begin, 48000, 440), 0.2, 0.03);
    // The call keeps its sides.
    EXPECT_NEAR(toneAmplitude(left, begin, 48000, 1000), 0.3, 0.03);
    EXPECT_NEAR(toneAmplitude(right, begin, 48000, 1500), 0.3, 0.03);
    EXPECT_LT(toneAmplitude(left, begin, 48000, 1500), 0.01);
    EXPECT_LT(toneAmplitude(right, begin, 48000, 1000), 0.01);
}

TEST_F(RecordingEndToEnd, FollowsTheMicrophoneWhenTheDefaultOneIsUnplugged) {
    Player second(microphoneProperties("mic2"), "0", {660}, 0.2);
    ASSERT_TRUE(waitForNode("mic2"));
    auto first = std::make_unique<Player>(microphoneProperties("mic1"), "0", std::vector<int>{440}, 0.2);
    ASSERT_TRUE(waitForNode("mic1"));
    setDefaultSource("mic1");
    Player farEnd("{ node.name=far-end }", "spk1", {1000, 1000}, 0.1);

    const auto output = dir_ / "unplugged.m4a";
    const ProgramRun run =
        runQuillora({"--record", "6", "--out", QString::fromStdString(output.string())}, [&](QProcess&) {
            std::this_thread::sleep_for(2500ms);
            first.reset(); // the microphone disappears; the server picks mic2 as the default
        });
    ASSERT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.summary.value("microphone").toString(), "mic1")
        << "the microphone the recording started with";
    const std::string log = readFile(logFile());
    EXPECT_NE(log.find("Microfono cambiato: mic2"), std::string::npos) << log;

    const DecodedAudio decoded = decodeAudioFile(output);
    ASSERT_GE(decoded.seconds(), 5.5);
    const auto& left = decoded.channels[0];
    EXPECT_GT(toneAmplitude(left, 48000, 48000, 440), 0.1) << "the first microphone before the unplug";
    EXPECT_GT(toneAmplitude(left, 4 * 48000, 48000, 660), 0.1) << "the second one after it";
    EXPECT_LT(toneAmplitude(left, 4 * 48000, 48000, 440), 0.01);
    EXPECT_GT(toneAmplitude(left, 4 * 48000, 48000, 1000), 0.04) << "the call went on all along";
}

TEST_F(RecordingEndToEnd, KeepsTheFarEndWhenTheDefaultOutputChanges) {
    sandbox("default-sink spk1");
    Player farEnd("{ node.name=far-end }", "spk1", {1000, 1500}, 0.3);
    ASSERT_TRUE(waitForNode("far-end"));
    const auto output = dir_ / "switched.m4a";
    const ProgramRun run = runQuillora(
        {"--record", "6", "--no-mic", "--out", QString::fromStdString(output.string())}, [&](QProcess&) {
            std::this_thread::sleep_for(2500ms);
            sandbox("default-sink spk2");
            sandbox("move far-end spk2"); // what a desktop does when the user picks other headphones
        });
    sandbox("default-sink spk1");
    ASSERT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.summary.value("microphone").toString(), "nessuno");
    EXPECT_EQ(run.summary.value("microphoneAllowed").toString(), "false");
    const DecodedAudio decoded = decodeAudioFile(output);
    ASSERT_GE(decoded.seconds(), 5.5);
    // Present on its own sides before and after the switch (a player starved by a loaded machine can
    // leave short gaps, hence "clearly present" rather than an exact level).
    EXPECT_GT(toneAmplitude(decoded.channels[0], 48000, 48000, 1000), 0.2) << "before the switch";
    EXPECT_GT(toneAmplitude(decoded.channels[0], 4 * 48000, 48000, 1000), 0.2) << "after the switch";
    EXPECT_GT(toneAmplitude(decoded.channels[1], 4 * 48000, 48000, 1500), 0.2);
    EXPECT_LT(toneAmplitude(decoded.channels[1], 4 * 48000, 48000, 1000), 0.01);
}

TEST_F(RecordingEndToEnd, SilenceIsRecordedAsSilenceForTheWholeTime) {
    // No microphone exists and nothing plays: the capture still runs at the graph rate.
    for (const char* name : {"mic1", "mic2", "far-end"}) {
        ASSERT_TRUE(waitForNodeGone(name)) << name << " is still there";
    }
    const auto output = dir_ / "quiet.m4a";
    const ProgramRun run = runQuillora({"--record", "20", "--out", QString::fromStdString(output.string())});
    ASSERT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.summary.value("microphone").toString(), "nessuno");
    EXPECT_EQ(run.summary.value("restarts").toString(), "0");
    const double wall = run.summary.value("wallSeconds").toString().toDouble();
    const DecodedAudio decoded = decodeAudioFile(output);
    EXPECT_NEAR(decoded.seconds(), wall, wall * 0.005) << "the file is as long as the call lasted\n"
                                                       << readFile(logFile());
    float peak = 0;
    for (const auto& channel : decoded.channels) {
        for (float sample : channel) {
            peak = std::max(peak, std::fabs(sample));
        }
    }
    EXPECT_LT(peak, 1e-4);
}

TEST_F(RecordingEndToEnd, CtrlCFinishesTheRecordingAndTheSummary) {
    Player farEnd("{ node.name=far-end }", "spk1", {1000, 1500}, 0.3);
    const auto output = dir_ / "interrupted.m4a";
    const auto started = std::chrono::steady_clock::now();
    const ProgramRun run = runQuillora({"--record", "60", "--out", QString::fromStdString(output.string())},
                                       [](QProcess& process) {
                                           std::this_thread::sleep_for(2s);
                                           ::kill(static_cast<pid_t>(process.processId()), SIGINT);
                                       });
    EXPECT_LT(std::chrono::steady_clock::now() - started, 10s);
    ASSERT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.summary.keys().size(), 10);
    // The wait began once the capture ran, a moment after the process started.
    const double wall = run.summary.value("wallSeconds").toString().toDouble();
    EXPECT_GT(wall, 0.2);
    EXPECT_LT(wall, 2.1);
    EXPECT_TRUE(std::filesystem::exists(output.string() + ".json"));
    const DecodedAudio decoded = decodeAudioFile(output);
    EXPECT_FALSE(containsMovieFragments(output)) << "finished into an ordinary MP4";
    EXPECT_NEAR(decoded.seconds(), run.summary.value("seconds").toString().toDouble(), 0.05);
    EXPECT_GT(toneAmplitude(decoded.channels[0], 4800, 12000, 1000), 0.15);
}

TEST_F(RecordingEndToEnd, ProbeReportsAHealthySystem) {
    Player microphone(microphoneProperties("mic1"), "0", {440}, 0.2);
    ASSERT_TRUE(waitForNode("mic1"));
    setDefaultSource("mic1");
    const auto report = dir_ / "probe.txt";
    const ProgramRun run = runQuillora({"--probe", QString::fromStdString(report.string()), "--record"});
    ASSERT_EQ(run.exitCode, 0);
    EXPECT_TRUE(run.standardOutput.isEmpty()) << "the probe only, no recording";
    const QStringList lines = QString::fromStdString(readFile(report)).split('\n');
    ASSERT_EQ(lines.size(), 11) << readFile(report); // ten lines and the final line feed
    EXPECT_EQ(lines.last(), "");
    const QStringList labels{"mic diretto",
                             "aggregate solo mic: create=0",
                             "aggregate solo mic",
                             "taps nel sistema: 0",
                             "globale privato escluso-me solo-tap autostart=true",
                             "globale privato escluso-me solo-tap autostart=false",
                             "globale pubblico senza esclusioni solo-tap autostart=true",
                             "globale pubblico senza esclusioni solo-tap autostart=false",
                             "globale privato senza esclusioni solo-tap autostart=true",
                             "globale privato senza esclusioni solo-tap autostart=false"};
    for (int i = 0; i < labels.size(); ++i) {
        const QString& line = lines.at(i);
        if (i == 1 || i == 3) {
            EXPECT_EQ(line, labels.at(i));
            continue;
        }
        EXPECT_TRUE(line.startsWith(labels.at(i) + ": create=0 start=0 running=1 callbacks="))
            << line.toStdString();
        // 1.5 s at 1024 frames per cycle is about 70 callbacks.
        EXPECT_GT(line.section("callbacks=", 1).toInt(), 50) << line.toStdString();
    }
}

} // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    const char* sandboxDir = std::getenv("QUILLORA_SANDBOX_DIR");
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (sandboxDir == nullptr || runtime == nullptr || std::string(runtime).rfind(sandboxDir, 0) != 0) {
        std::fprintf(stderr, "run me inside a private sandbox: scripts/audio-sandbox.sh run -- %s\n",
                     argv[0]);
        return 2;
    }
    sandbox("speaker spk1 'Speaker 1'");
    sandbox("speaker spk2 'Speaker 2'");
    sandbox("default-sink spk1");
    return RUN_ALL_TESTS();
}
