// `quillora --record` on a private PipeWire sandbox whose graph does not run at the configured 48 kHz, or
// changes rate mid-call, and whose far end reaches the speaker through virtual sinks that play their sound
// on (loopback, echo canceller, both stacked). The decoded file must keep the far end's pitch, the call's
// length and the level it has when played straight.

#include "LogSince.h"
#include "MediaTestSupport.h"
#include "SandboxSupport.h"

#include <QProcess>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

constexpr double kTone = 1000;
// 20 periods in the 1024-frame quantum: a copy of it one or more cycles late adds up instead of cancelling
// by chance (1 kHz and a copy one quantum late sum to the level of one).
constexpr double kCombTone = 937.5;

// A module host of this test, stopped when it goes out of scope.
class Background {
public:
    explicit Background(const std::string& command) {
        process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process_.start("bash", {"-c", QString::fromStdString("exec " + command)});
        EXPECT_TRUE(process_.waitForStarted()) << command;
    }
    ~Background() { process_.terminate(), process_.waitForFinished(3000); }

private:
    QProcess process_;
};

// A stereo tone at `rate` into `target`.
std::unique_ptr<SandboxProcess> player(const std::string& target, int rate, double frequency = kTone) {
    return std::make_unique<SandboxProcess>("play " + target + " " + std::to_string(frequency) +
                                            " 600 far-end 0.3 " + std::to_string(rate));
}

void settings(const std::string& key, const std::string& value) {
    shell("pw-metadata -n settings 0 " + key + " '" + value + "' >/dev/null");
}

// Records `seconds` without a microphone into `file`; `meanwhile` runs while it records.
std::pair<ProgramRun, DecodedAudio> record(const std::filesystem::path& file, int seconds,
                                           const std::function<void()>& meanwhile = {}) {
    ProgramRun run = runQuillora(
        {"--record", QString::number(seconds), "--no-mic", "--out", QString::fromStdString(file.string())},
        meanwhile);
    EXPECT_EQ(run.exitCode, 0);
    return {run, decodeAudioFile(file)};
}

// The tone's frequency in samples[begin, begin + length): the strongest between 900 and 1100 Hz, in
// 0.25 Hz steps (a player that stutters on a loaded machine lowers the peak, it does not move it).
double pitch(const std::vector<float>& samples, std::size_t begin, std::size_t length) {
    double best = 0;
    double bestLevel = 0;
    for (double frequency = 900; frequency <= 1100; frequency += 0.25) {
        if (const double level = toneAmplitude(samples, begin, length, frequency, 48000); level > bestLevel) {
            best = frequency;
            bestLevel = level;
        }
    }
    return best;
}

void resetGraphRate() {
    settings("clock.force-rate", "0");
    settings("clock.allowed-rates", "[ 48000 ]");
}

class GraphRateEndToEnd : public ::testing::Test {
protected:
    void TearDown() override { resetGraphRate(); }
    TemporaryDirectory dir_;
};

} // namespace

TEST_F(GraphRateEndToEnd, KeepsPitchAndLengthWhateverRateTheGraphRuns) {
    struct Case {
        const char* graph;
        int playerRate;
        std::function<void()> before; // sets the graph up
        std::function<void()> during; // changes it mid-recording
        const char* startRate;        // what the diagnostics must report
        bool switches;                // the log must show the switch
    };
    const std::vector<Case> cases = {
        {"44.1 kHz player alone, 44.1 and 48 kHz allowed",
         44100,
         [] { settings("clock.allowed-rates", "[ 44100 48000 ]"); },
         {},
         "rate=44100.0",
         false},
        {"96 kHz forced", 48000, [] { settings("clock.force-rate", "96000"); }, {}, "rate=96000.0", false},
        {"48 kHz, then 44.1 kHz from 2 s on",
         48000,
         {},
         [] {
             std::this_thread::sleep_for(2s);
             settings("clock.force-rate", "44100");
         },
         "rate=48000.0",
         true},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.graph);
        if (row.before) {
            row.before();
        }
        const auto far = player("spk1", row.playerRate);
        const LogSince log;
        std::this_thread::sleep_for(300ms); // the graph settles on its rate
        const auto [run, decoded] = record(dir_ / "rate.m4a", 4, row.during);
        resetGraphRate();

        const QString diagnostics = run.text("diagnostics");
        EXPECT_TRUE(diagnostics.contains(row.startRate)) << diagnostics.toStdString();
        const double wall = run.text("wallSeconds").toDouble();
        const double length = decoded.seconds();
        const auto& left = decoded.channels.at(0);
        // Away from the start (links forming) and the end; on both sides of a switch.
        const double early = pitch(left, 24000, 48000);
        const double late = pitch(left, 120000, 48000);
        std::printf("%s: %s; length %.3f s for %.3f s (%+.2f %%), pitch %.2f / %.2f Hz (%+.3f / %+.3f %%)\n",
                    row.graph, diagnostics.toStdString().c_str(), length, wall, 100 * (length / wall - 1),
                    early, late, 100 * (early / kTone - 1), 100 * (late / kTone - 1));
        EXPECT_EQ(log.count("Frequenza della cattura cambiata: 48000 -> 44100 Hz"), row.switches ? 1u : 0u)
            << log.text();
        // The last AAC frame is padded to its full 1024 samples.
        EXPECT_NEAR(length - 1024.0 / 48000, wall, wall * 0.01);
        EXPECT_NEAR(early, kTone, kTone * 0.005);
        EXPECT_NEAR(late, kTone, kTone * 0.005);
    }
}

TEST_F(GraphRateEndToEnd, RecordsTheFarEndOnceThroughVirtualSinksThatPlayItOn) {
    // An echo canceller (the pass-through engine: its playback side is what matters here) hosted by a
    // process of its own, as a desktop's configuration would load it.
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
    const Background echoCancel("pipewire -c " + config);
    const Background loopback("pw-loopback -n lb --capture-props='media.class=Audio/Sink node.name=lb-sink' "
                              "--playback-props='node.name=lb-play'");
    const Background stacked("pw-loopback -n lb2 --capture-props='media.class=Audio/Sink node.name=lb2-sink' "
                             "--playback ec-sink --playback-props='node.name=lb2-play'");
    for (const char* node : {"ec-sink", "ec-playback", "lb-sink", "lb-play", "lb2-sink", "lb2-play"}) {
        sandbox(std::string("wait-node ") + node);
    }
    sandbox("default-sink spk1");
    // The echo canceller only plays on while it has a microphone to clean.
    const std::string microphone = sandbox("mic mic1 440");
    sandbox("default-source mic1");

    double straight = 0;
    for (const char* sink : {"spk1", "lb-sink", "ec-sink", "lb2-sink"}) {
        const auto far = player(sink, 48000, kCombTone);
        std::this_thread::sleep_for(300ms);
        const DecodedAudio decoded = record(dir_ / "sink.m4a", 3).second;
        // From 1 s on, settled: 900 whole periods of the tone.
        const double level = toneAmplitude(decoded.channels.at(0), 48000, 46080, kCombTone, 48000);
        straight = straight > 0 ? straight : level;
        std::printf("far end through %s: level %.4f, %+.2f dB from straight\n", sink, level,
                    20 * std::log10(level / straight));
        EXPECT_NEAR(20 * std::log10(level / straight), 0.0, 1.0) << sink;
        EXPECT_GT(level, 0.2) << sink;
    }
    sandbox("kill " + microphone);
}

int main(int argc, char** argv) {
    return runInsideSandbox(argc, argv, [] {
        sandbox("speaker spk1 'Speaker 1'");
        sandbox("default-sink spk1");
    });
}
