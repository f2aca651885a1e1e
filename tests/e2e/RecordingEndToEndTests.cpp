// The real `quillora` binary recording a private PipeWire sandbox (scripts/audio-sandbox.sh run): players
// and microphones are separate processes, and what lands in the file is decoded and measured.
#include "LogSince.h"
#include "MediaTestSupport.h"
#include "SandboxSupport.h"

#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <thread>

using namespace std::chrono_literals;

namespace {

constexpr std::size_t kSecond = 48000;

// Amplitude of one frequency over one second from `from` seconds in: whole periods of every tone used.
double amplitude(const DecodedAudio& audio, int channel, double from, double frequency) {
    return toneAmplitude(audio.channels.at(static_cast<std::size_t>(channel)),
                         static_cast<std::size_t>(from * kSecond), kSecond, frequency, kSecond);
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class RecordingEndToEnd : public ::testing::Test {
protected:
    QString output(const std::string& name) const { return QString::fromStdString((dir_ / name).string()); }
    TemporaryDirectory dir_;
};

TEST_F(RecordingEndToEnd, RecordsTheVoiceInTheCentreAndTheCallOnItsOwnSides) {
    const SandboxProcess microphone("mic mic1 440 1 0.2");
    sandbox("default-source mic1");
    const SandboxProcess farEnd("play spk1 1000,1500 3600 far-end 0.3");

    const ProgramRun run = runQuillora({"--record", "3", "--out", output("call.m4a")});
    ASSERT_EQ(run.exitCode, 0) << run.standardOutput.toStdString();
    EXPECT_EQ(run.text("file"), output("call.m4a"));
    EXPECT_EQ(run.text("microphone"), "mic1");
    EXPECT_EQ(run.text("restarts"), "0");
    EXPECT_TRUE(run.text("diagnostics").startsWith("streams=[1, 2] leading=1 mic=true rate=48000.0"))
        << run.text("diagnostics").toStdString();
    EXPECT_TRUE(run.text("diagnostics").endsWith("running=1 alive=1 proc=true"));
    EXPECT_NEAR(run.text("wallSeconds").toDouble(), 3.0, 0.05);
    EXPECT_NEAR(run.text("seconds").toDouble(), 3.0, 0.15);
    EXPECT_NEAR(run.text("micPeakRMS").toDouble(), 0.2 / std::sqrt(2.0), 0.01);

    const DecodedAudio decoded = decodeAudioFile(output("call.m4a").toStdString());
    ASSERT_EQ(decoded.channelCount, 2);
    ASSERT_GE(decoded.seconds(), 2.5);
    // The voice in the centre: the same on both sides (the far end is active, so the leveler stays at
    // unity); the call keeps its sides.
    EXPECT_NEAR(amplitude(decoded, 0, 1, 440), 0.2, 0.03);
    EXPECT_NEAR(amplitude(decoded, 1, 1, 440), 0.2, 0.03);
    EXPECT_NEAR(amplitude(decoded, 0, 1, 1000), 0.3, 0.03);
    EXPECT_NEAR(amplitude(decoded, 1, 1, 1500), 0.3, 0.03);
    EXPECT_LT(amplitude(decoded, 0, 1, 1500), 0.01);
    EXPECT_LT(amplitude(decoded, 1, 1, 1000), 0.01);
}

TEST_F(RecordingEndToEnd, FollowsTheMicrophoneWhenTheDefaultOneIsUnplugged) {
    const SandboxProcess second("mic mic2 660 1 0.2");
    SandboxProcess first("mic mic1 440 1 0.2");
    sandbox("default-source mic1");
    const SandboxProcess farEnd("play spk1 1000 3600 far-end 0.1");
    const LogSince log;
    const ProgramRun run = runQuillora({"--record", "5", "--out", output("unplugged.m4a")}, [&] {
        std::this_thread::sleep_for(2s);
        first.stop(); // the microphone disappears; the server picks mic2 as the default
    });
    ASSERT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.text("microphone"), "mic1") << "the microphone the recording started with";
    EXPECT_EQ(log.count("Microfono cambiato: mic2"), 1u) << log.text();

    const DecodedAudio decoded = decodeAudioFile(output("unplugged.m4a").toStdString());
    ASSERT_GE(decoded.seconds(), 4.5);
    EXPECT_GT(amplitude(decoded, 0, 0.5, 440), 0.1) << "the first microphone before the unplug";
    EXPECT_GT(amplitude(decoded, 0, 3.5, 660), 0.1) << "the second one after it";
    EXPECT_LT(amplitude(decoded, 0, 3.5, 440), 0.01);
    EXPECT_GT(amplitude(decoded, 0, 3.5, 1000), 0.04) << "the call went on all along";
}

TEST_F(RecordingEndToEnd, KeepsTheFarEndWhenItMovesToAnotherSpeaker) {
    const SandboxProcess farEnd("play spk1 1000,1500 3600 far-end 0.3");
    const ProgramRun run = runQuillora({"--record", "5", "--no-mic", "--out", output("moved.m4a")}, [] {
        std::this_thread::sleep_for(2s);
        sandbox("default-sink spk2");
        sandbox("move far-end spkm"); // what a desktop does when the user picks other headphones
    });
    sandbox("default-sink spk1");
    ASSERT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.text("microphone"), "nessuno");
    EXPECT_EQ(run.text("microphoneAllowed"), "false");
    const DecodedAudio decoded = decodeAudioFile(output("moved.m4a").toStdString());
    ASSERT_GE(decoded.seconds(), 4.5);
    // Present on its own sides before the move; on a mono speaker the player's ports are rebuilt and the
    // mixed-down call reaches both sides. (A player starved by a loaded machine can leave short gaps, hence
    // "clearly present" rather than an exact level.)
    EXPECT_GT(amplitude(decoded, 0, 0.5, 1000), 0.2) << "before the move";
    EXPECT_GT(amplitude(decoded, 1, 0.5, 1500), 0.2);
    EXPECT_LT(amplitude(decoded, 1, 0.5, 1000), 0.01);
    EXPECT_GT(amplitude(decoded, 0, 3.5, 1000), 0.05) << "after the move";
    EXPECT_GT(amplitude(decoded, 1, 3.5, 1000), 0.05);
}

TEST_F(RecordingEndToEnd, SilenceIsRecordedAsSilenceForTheWholeTime) {
    // No microphone exists and nothing plays: the capture still runs at the graph rate.
    for (const char* name : {"mic1", "mic2", "far-end"}) {
        ASSERT_TRUE(waitUntil([&] { return sandbox(std::string("node-id ") + name).empty(); })) << name;
    }
    const ProgramRun run = runQuillora({"--record", "6", "--out", output("quiet.m4a")});
    ASSERT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.text("microphone"), "nessuno");
    EXPECT_EQ(run.text("restarts"), "0");
    const DecodedAudio decoded = decodeAudioFile(output("quiet.m4a").toStdString());
    // Every captured block is in the file, and the capture ran at the graph rate all along (a start-up
    // delay on a loaded machine is allowed for; a wrong rate or lost blocks would be far more).
    EXPECT_NEAR(decoded.seconds(), run.text("seconds").toDouble(), 0.03);
    EXPECT_NEAR(decoded.seconds(), run.text("wallSeconds").toDouble(), 0.25) << "as long as the call lasted";
    for (const auto& channel : decoded.channels) {
        EXPECT_LT(peak(channel), 1e-4);
    }
}

TEST_F(RecordingEndToEnd, ProbeReportsAHealthySystem) {
    const SandboxProcess microphone("mic mic1 440 1 0.2");
    sandbox("default-source mic1");
    const auto report = dir_ / "probe.txt";
    const ProgramRun run = runQuillora({"--probe", QString::fromStdString(report.string()), "--record"});
    ASSERT_EQ(run.exitCode, 0);
    EXPECT_TRUE(run.standardOutput.isEmpty()) << "the probe only, no recording";
    const QStringList lines = QString::fromStdString(readFile(report)).split('\n');
    ASSERT_EQ(lines.size(), 11) << readFile(report); // ten lines and the final line feed
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
    return runInsideSandbox(argc, argv, [] {
        sandbox("speaker spk1 'Speaker 1'");
        sandbox("speaker spk2 'Speaker 2'");
        sandbox("speaker spkm 'Mono speaker' MONO");
        sandbox("default-sink spk1");
    });
}
