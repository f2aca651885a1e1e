// The `quillora` program run as a child process on the simulated demonstration system.
#include "MediaInspection.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <chrono>
#include <csignal>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <thread>

namespace {

using namespace std::chrono_literals;

const QString tapRefused =
    QStringLiteral("Accesso all'audio di sistema (controlla il permesso «Registrazione "
                   "audio di sistema») non riuscito (OSStatus 1852797029 'nope')");
const QStringList summaryKeys{"callbacks",  "diagnostics",       "file",     "lostCycles", "micPeakRMS",
                              "microphone", "microphoneAllowed", "restarts", "seconds",    "systemPeakRMS",
                              "wallSeconds"};

struct Outcome {
    bool finished = false;
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
    QJsonObject summary;
};

class HeadlessTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(home.isValid());
        environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QUILLORA_AUDIO_BACKEND"), QStringLiteral("simulated"));
        environment.insert(QStringLiteral("HOME"), home.path());
        environment.insert(QStringLiteral("XDG_STATE_HOME"), home.filePath(QStringLiteral("state")));
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"), home.filePath(QStringLiteral("config")));
        environment.remove(QStringLiteral("XDG_MUSIC_DIR"));
        environment.remove(QStringLiteral("QUILLORA_SIMULATED_FAULT"));
    }

    QString path(const QString& name) const { return home.filePath(name); }

    void start(QProcess& process, const QStringList& arguments) const {
        process.setProcessEnvironment(environment);
        process.setWorkingDirectory(home.path());
        process.start(QStringLiteral(QUILLORA_PROGRAM), arguments);
    }

    static Outcome collect(QProcess& process, std::chrono::milliseconds timeout) {
        Outcome run;
        run.finished = process.waitForFinished(static_cast<int>(timeout.count())) &&
                       process.exitStatus() == QProcess::NormalExit;
        if (!run.finished) {
            process.kill();
            process.waitForFinished();
        }
        run.exitCode = process.exitCode();
        run.out = process.readAllStandardOutput();
        run.err = process.readAllStandardError();
        run.summary = QJsonDocument::fromJson(run.out).object();
        return run;
    }

    Outcome execute(const QStringList& arguments, std::chrono::milliseconds timeout = 20s) const {
        QProcess process;
        start(process, arguments);
        return collect(process, timeout);
    }

    QTemporaryDir home;
    QProcessEnvironment environment;
};

// The summary's keys as they appear in the text, which must be the sorted order.
QStringList keysInTextOrder(const QByteArray& json) {
    QStringList keys;
    static const QRegularExpression key(QStringLiteral("^\\s*\"([^\"]+)\"\\s*:"),
                                        QRegularExpression::MultilineOption);
    for (auto it = key.globalMatch(QString::fromUtf8(json)); it.hasNext();) {
        keys << it.next().captured(1);
    }
    return keys;
}

bool matches(const QString& text, const char* pattern) {
    return QRegularExpression(QRegularExpression::anchoredPattern(QString::fromLatin1(pattern)))
        .match(text)
        .hasMatch();
}

// The standard output is the summary file plus one newline, and every value is a string.
void expectWrittenAndPrinted(const Outcome& run, const QString& recording) {
    ASSERT_TRUE(run.out.endsWith("}\n")) << run.out.toStdString();
    QFile file(recording + QStringLiteral(".json"));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << recording.toStdString();
    EXPECT_EQ(file.readAll(), run.out.chopped(1));
    for (auto it = run.summary.begin(); it != run.summary.end(); ++it) {
        EXPECT_TRUE(it.value().isString()) << it.key().toStdString();
    }
}

double number(const QJsonObject& summary, const char* key) {
    return summary.value(key).toString().toDouble();
}

void expectStatisticsFormats(const QJsonObject& summary) {
    EXPECT_TRUE(matches(summary.value("callbacks").toString(), "[0-9]+"));
    EXPECT_TRUE(matches(summary.value("restarts").toString(), "[0-9]+"));
    EXPECT_TRUE(matches(summary.value("seconds").toString(), "[0-9]+\\.[0-9]{2}"));
    EXPECT_TRUE(matches(summary.value("wallSeconds").toString(), "[0-9]+\\.[0-9]{2}"));
    EXPECT_TRUE(matches(summary.value("micPeakRMS").toString(), "[0-9]+\\.[0-9]{5}"));
    EXPECT_TRUE(matches(summary.value("systemPeakRMS").toString(), "[0-9]+\\.[0-9]{5}"));
}

TEST_F(HeadlessTest, recordsTheCallWithoutMicrophoneAndPrintsTheSummary) {
    const QString recording = path(QStringLiteral("a.m4a"));
    const Outcome run = execute({"--record", "2.5", "--out", "a.m4a", "--no-mic"});
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
    EXPECT_EQ(keysInTextOrder(run.out), summaryKeys);
    expectWrittenAndPrinted(run, recording);
    expectStatisticsFormats(run.summary);

    const QJsonObject& s = run.summary;
    EXPECT_EQ(s.value("file").toString(), recording) << "a relative --out is taken from the working folder";
    EXPECT_EQ(s.value("microphoneAllowed").toString(), "false");
    EXPECT_EQ(s.value("microphone").toString(), "nessuno");
    EXPECT_EQ(
        s.value("diagnostics").toString(),
        "streams=[2] leading=0 mic=false rate=48000.0 tapFormat=48000.0Hz 2ch lostCycles=0 running=1 alive=1 "
        "proc=true");
    EXPECT_EQ(s.value("restarts").toString(), "0");
    EXPECT_EQ(s.value("lostCycles").toString(), "0");
    EXPECT_EQ(s.value("micPeakRMS").toString(), "0.00000");
    EXPECT_GT(number(s, "systemPeakRMS"), 0.01);
    EXPECT_GE(number(s, "wallSeconds"), 2.5);
    EXPECT_LT(number(s, "wallSeconds"), 3.0);
    EXPECT_NEAR(number(s, "seconds"), 2.5, 0.2);
    EXPECT_NEAR(number(s, "callbacks"), 2.5 * 48000 / 1024, 10);

    const MediaInspection media = MediaInspection::of(recording.toStdString());
    EXPECT_TRUE(media.decodes) << media.errors;
    EXPECT_NEAR(media.seconds, number(s, "seconds"), 0.05);
}

TEST_F(HeadlessTest, cyclesMakeShortRecordingsBeforeTheFinalOne) {
    const Outcome run = execute({"--record", "1", "--cycles", "3", "--out", path("x.m4a")});
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
    QStringList expectedKeys = summaryKeys;
    expectedKeys.insert(1, "ciclo1");
    expectedKeys.insert(2, "ciclo2");
    EXPECT_EQ(keysInTextOrder(run.out), expectedKeys);
    expectWrittenAndPrinted(run, path("x.m4a"));
    expectStatisticsFormats(run.summary);

    const QJsonObject& s = run.summary;
    EXPECT_EQ(s.value("microphoneAllowed").toString(), "true");
    EXPECT_EQ(s.value("microphone").toString(), "Microfono simulato");
    EXPECT_EQ(s.value("diagnostics").toString(), "streams=[1, 2] leading=1 mic=true rate=48000.0 "
                                                 "tapFormat=48000.0Hz 2ch lostCycles=0 running=1 alive=1 "
                                                 "proc=true");
    EXPECT_GT(number(s, "micPeakRMS"), 0.01);
    for (const char* key : {"ciclo1", "ciclo2"}) {
        const QString cycle = s.value(key).toString();
        EXPECT_TRUE(matches(cycle, "callbacks=[1-9][0-9]* restarts=0 seconds=[0-9]+\\.[0-9]{2}"))
            << cycle.toStdString();
    }
    for (const char* name : {"x.ciclo1.m4a", "x.ciclo2.m4a", "x.m4a"}) {
        const MediaInspection media = MediaInspection::of(path(name).toStdString());
        EXPECT_TRUE(media.decodes) << name << ": " << media.errors;
        EXPECT_NEAR(media.seconds, 1.0, 0.2) << name;
    }
    EXPECT_FALSE(QFile::exists(path("x.ciclo3.m4a")));
}

TEST_F(HeadlessTest, aCycleCountBelowTwoOrNotANumberGivesOneRecording) {
    for (const char* count : {"0", "-1", "abc"}) {
        SCOPED_TRACE(count);
        const Outcome run =
            execute({"--record", "0.2", "--cycles", count, "--out", path("z.m4a"), "--no-mic"});
        ASSERT_TRUE(run.finished);
        EXPECT_EQ(run.exitCode, 0);
        EXPECT_EQ(keysInTextOrder(run.out), summaryKeys);
    }
    EXPECT_TRUE(QDir(home.path()).entryList({QStringLiteral("*ciclo*")}).isEmpty());
}

TEST_F(HeadlessTest, anInterruptEndsTheWaitAndFinishesLikeANormalEnd) {
    for (const int signal : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(signal == SIGINT ? "SIGINT" : "SIGTERM");
        const QString recording = path(QStringLiteral("interrupted%1.m4a").arg(signal));
        QProcess process;
        start(process, {"--record", "60", "--out", recording, "--no-mic"});
        ASSERT_TRUE(process.waitForStarted());
        // The file appears when the recording starts; then let it run for about a second.
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (!QFile::exists(recording) && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(10ms);
        }
        std::this_thread::sleep_for(1s);
        const auto sent = std::chrono::steady_clock::now();
        ::kill(static_cast<pid_t>(process.processId()), signal);
        const Outcome run = collect(process, 10s);
        const double exitDelay =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - sent).count();
        ASSERT_TRUE(run.finished);
        EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
        EXPECT_LT(exitDelay, 3.0);
        EXPECT_EQ(keysInTextOrder(run.out), summaryKeys);
        expectWrittenAndPrinted(run, recording);
        expectStatisticsFormats(run.summary);
        const double wall = number(run.summary, "wallSeconds");
        EXPECT_GE(wall, 0.9);
        EXPECT_LT(wall, 5.0);
        EXPECT_NEAR(number(run.summary, "seconds"), wall, 0.3);

        const MediaInspection media = MediaInspection::of(recording.toStdString());
        EXPECT_TRUE(media.decodes) << media.errors;
        EXPECT_NEAR(media.seconds, number(run.summary, "seconds"), 0.05);
    }
}

TEST_F(HeadlessTest, theProbeRunsAloneAndAProbeWithoutPathFallsThrough) {
    // Refused taps keep the probe short: only the microphone is measured.
    environment.insert(QStringLiteral("QUILLORA_SIMULATED_FAULT"), QStringLiteral("tap"));
    const Outcome probe = execute({"--probe", "out.txt", "--record", "1"});
    ASSERT_TRUE(probe.finished);
    EXPECT_EQ(probe.exitCode, 0);
    EXPECT_TRUE(probe.out.isEmpty()) << "no recording, no summary";
    EXPECT_FALSE(QFile::exists(path("Music")));
    QFile report(path("out.txt"));
    ASSERT_TRUE(report.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(report.readAll());
    EXPECT_TRUE(matches(text, "mic diretto: create=0 start=0 running=1 callbacks=[1-9][0-9]*\n"
                              "aggregate solo mic: create=0\n"
                              "aggregate solo mic: create=0 start=0 running=1 callbacks=[1-9][0-9]*\n"
                              "taps nel sistema: 0\n"
                              "globale privato escluso-me: create tap 1852797029\n"
                              "globale pubblico senza esclusioni: create tap 1852797029\n"
                              "globale privato senza esclusioni: create tap 1852797029\n"))
        << text.toStdString();

    environment.remove(QStringLiteral("QUILLORA_SIMULATED_FAULT"));
    const Outcome recording = execute({"--record", "0.2", "--out", "p.m4a", "--no-mic", "--probe"});
    ASSERT_TRUE(recording.finished);
    EXPECT_EQ(recording.exitCode, 0);
    EXPECT_EQ(keysInTextOrder(recording.out), summaryKeys);
    EXPECT_TRUE(QFile::exists(path("p.m4a")));
}

TEST_F(HeadlessTest, aFinalRecordingThatCannotStartIsAnError) {
    environment.insert(QStringLiteral("QUILLORA_SIMULATED_FAULT"), QStringLiteral("tap"));
    const Outcome run = execute({"--record", "0.2", "--cycles", "2", "--out", "e.m4a", "--no-mic"});
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(keysInTextOrder(run.out), (QStringList{"ciclo1", "error", "file", "microphoneAllowed"}));
    expectWrittenAndPrinted(run, path("e.m4a"));
    EXPECT_EQ(run.summary.value("error").toString(), tapRefused);
    EXPECT_EQ(run.summary.value("ciclo1").toString(), tapRefused);

    environment.insert(QStringLiteral("QUILLORA_SIMULATED_FAULT"), QStringLiteral("aggregate"));
    const Outcome aggregate = execute({"--record", "0.2", "--out", "f.m4a"});
    EXPECT_EQ(aggregate.exitCode, 1);
    EXPECT_EQ(aggregate.summary.value("error").toString(),
              "Creazione del dispositivo aggregato non riuscito (OSStatus 1852797029 'nope')");
    EXPECT_EQ(aggregate.summary.value("microphoneAllowed").toString(), "true");
}

TEST_F(HeadlessTest, aRecordingThatFailsOnItsWayEndsEarlyAndIsAnError) {
    // The child may write 24 KiB per file: the recording runs out after a few seconds of audio.
    QProcess process;
    process.setChildProcessModifier([] {
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{};
        getrlimit(RLIMIT_FSIZE, &limit);
        limit.rlim_cur = 24 * 1024;
        setrlimit(RLIMIT_FSIZE, &limit);
    });
    start(process, {"--record", "30", "--out", "w.m4a", "--no-mic"});
    const Outcome run = collect(process, 20s);
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 1);
    expectWrittenAndPrinted(run, path("w.m4a"));
    QStringList expectedKeys = summaryKeys;
    expectedKeys.insert(2, "error");
    EXPECT_EQ(keysInTextOrder(run.out), expectedKeys);
    EXPECT_TRUE(run.summary.value("error").toString().startsWith("Errore di scrittura: "))
        << run.summary.value("error").toString().toStdString();
    EXPECT_LT(number(run.summary, "wallSeconds"), 15.0) << "the wait ends with the recording";
    EXPECT_TRUE(run.summary.value("diagnostics").toString().endsWith(" nessun dispositivo"));
    const MediaInspection media = MediaInspection::of(path("w.m4a").toStdString());
    // Readable up to the write that failed (its partial packet is where decoders stop).
    EXPECT_EQ(media.codec, "aac") << media.errors;
    EXPECT_GT(media.seconds, 0.5) << media.errors;
}

TEST_F(HeadlessTest, withoutOutThePathIsANewNameInTheRecordingsFolder) {
    const Outcome run = execute({"--record", "0.2", "--no-mic"});
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 0);
    const QString file = run.summary.value("file").toString();
    EXPECT_TRUE(matches(file, (QRegularExpression::escape(path("Music/Quillora/")) +
                               "Chiamata [0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}\\.[0-9]{2}\\.m4a")
                                  .toLatin1()
                                  .constData()))
        << file.toStdString();
    EXPECT_TRUE(QFile::exists(file));
    EXPECT_TRUE(QFile::exists(file + ".json"));
}

TEST_F(HeadlessTest, debugTracksGoIntoTheirFolder) {
    const Outcome run = execute({"--record", "0.5", "--out", "d.m4a", "--debug-tracks", "tracks"});
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 0);
    for (const char* name : {"tracks/mic.wav", "tracks/system.wav"}) {
        const MediaInspection media = MediaInspection::of(path(name).toStdString());
        EXPECT_TRUE(media.decodes) << name << ": " << media.errors;
        EXPECT_NEAR(media.seconds, number(run.summary, "seconds"), 0.05) << name;
    }
}

TEST_F(HeadlessTest, helpVersionAndAProbeWithoutItsReport) {
    const Outcome help = execute({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_TRUE(help.out.contains("--record [SECONDS]"));
    const Outcome version = execute({"--version"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_TRUE(matches(QString::fromUtf8(version.out), "quillora [0-9]+\\.[0-9]+\\.[0-9]+\n"));
    const Outcome probe = execute({"--probe"});
    EXPECT_EQ(probe.exitCode, 2);
    EXPECT_TRUE(probe.out.isEmpty());
    EXPECT_TRUE(probe.err.contains("--probe")) << probe.err.toStdString();
}

} // namespace
