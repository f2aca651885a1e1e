// Quitting the graphical program in the middle of a recording, with the program running as a child
// process on the simulated audio system in a home of its own: by SIGTERM, and through its event loop. Either
// way the recording must be finished (an ordinary, decodable MP4 as long as what was recorded) and the
// log must say how it ended.
#include "MediaTestSupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <cmath>
#include <csignal>
#include <optional>

namespace {

struct StopLine {
    double written = 0;    // seconds the writer received
    double sinceStart = 0; // seconds from the start to the stop
};

// The program in a home of its own; its log and recordings folder are inside.
class Child {
public:
    explicit Child(std::optional<int> quitAfterMs) {
        QVERIFY(dir_.isValid());
        for (const char* folder : {"home", "state", "config", "data", "cache", "runtime"}) {
            QVERIFY(QDir().mkpath(dir_.filePath(folder)));
        }
        QVERIFY(QFile::setPermissions(dir_.filePath("runtime"),
                                      QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        QFile info(dir_.filePath("Info.ini"));
        QVERIFY(info.open(QIODevice::WriteOnly));
        // No feed address: the first update check stays off the network.
        info.write("CFBundleShortVersionString=9.9\nCFBundleVersion=990\n");
        info.close();

        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("HOME", dir_.filePath("home"));
        environment.insert("XDG_STATE_HOME", dir_.filePath("state"));
        environment.insert("XDG_CONFIG_HOME", dir_.filePath("config"));
        environment.insert("XDG_DATA_HOME", dir_.filePath("data"));
        environment.insert("XDG_CACHE_HOME", dir_.filePath("cache"));
        environment.insert("XDG_RUNTIME_DIR", dir_.filePath("runtime"));
        environment.insert("QT_QPA_PLATFORM", "offscreen");
        environment.insert("QUILLORA_AUDIO_BACKEND", "simulated");
        environment.insert("QUILLORA_INFO_INI", info.fileName());
        for (const char* name : {"DBUS_SESSION_BUS_ADDRESS", "APPIMAGE", "QUILLORA_SIMULATED_FAULT"}) {
            environment.remove(name);
        }
        if (quitAfterMs) {
            environment.insert("QUILLORA_TEST_QUIT_AFTER_MS", QString::number(*quitAfterMs));
        }
        process_.setProcessEnvironment(environment);
        process_.setProcessChannelMode(QProcess::MergedChannels);
        process_.start(QStringLiteral(QUILLORA_QUIT_DRIVER), {});
        QVERIFY2(process_.waitForStarted(10000), qPrintable(process_.errorString()));
    }

    ~Child() {
        if (process_.state() != QProcess::NotRunning) {
            process_.kill();
            process_.waitForFinished(5000);
        }
    }

    QProcess& process() { return process_; }
    QString log() const {
        QFile file(dir_.filePath("state/Quillora/quillora.log"));
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }
    QStringList recordings() const {
        QDir folder(dir_.filePath("home/Music/Quillora"));
        QStringList paths;
        for (const QString& name : folder.entryList({"*.m4a"}, QDir::Files)) {
            paths.append(folder.filePath(name));
        }
        return paths;
    }
    // Waits (the child keeps running) until the log holds `text`.
    bool waitForLog(const QString& text, int timeoutMs) {
        QElapsedTimer clock;
        clock.start();
        while (!log().contains(text)) {
            if (clock.elapsed() > timeoutMs || process_.state() == QProcess::NotRunning) {
                return false;
            }
            process_.waitForFinished(10);
        }
        return true;
    }
    QString output() { return QString::fromLocal8Bit(process_.readAll()); }

private:
    QTemporaryDir dir_;
    QProcess process_;
};

std::optional<StopLine> stopLine(const QString& log) {
    static const QRegularExpression pattern(
        QStringLiteral(" Stop: ([0-9]+\\.[0-9]{2}) s scritti, ([0-9]+\\.[0-9]{2}) s dall'avvio, riavvii 0, "
                       "guadagno voce [0-9]+\\.[0-9]\n"));
    const QRegularExpressionMatch match = pattern.match(log);
    if (!match.hasMatch()) {
        return std::nullopt;
    }
    return StopLine{match.captured(1).toDouble(), match.captured(2).toDouble()};
}

double rms(const std::vector<float>& samples) {
    double sum = 0;
    for (const float sample : samples) {
        sum += static_cast<double>(sample) * sample;
    }
    return samples.empty() ? 0 : std::sqrt(sum / static_cast<double>(samples.size()));
}

// The one recording is finished, playable and `written` seconds long.
void checkRecording(const Child& child, double written) {
    const QStringList files = child.recordings();
    QCOMPARE(files.size(), 1);
    const std::filesystem::path file = files.first().toStdString();
    QVERIFY2(!containsMovieFragments(file), "the recording was finished into an ordinary MP4");
    DecodedAudio audio;
    try {
        audio = decodeAudioFile(file);
    } catch (const std::exception& error) {
        QFAIL(error.what());
    }
    QCOMPARE(audio.codecName, std::string("aac"));
    QCOMPARE(audio.sampleRate, 48000);
    QCOMPARE(audio.channelCount, 2);
    QVERIFY2(std::abs(audio.seconds() - written) < 0.1,
             qPrintable(QStringLiteral("decoded %1 s, written %2 s").arg(audio.seconds()).arg(written)));
    // The simulated voices are in it, not silence.
    QVERIFY2(rms(audio.channels[0]) > 0.01, qPrintable(QString::number(rms(audio.channels[0]))));
}

} // namespace

class QuitDuringRecordingTests : public QObject {
    Q_OBJECT

private slots:
    void terminationSignalSavesTheRecording();
    void quittingTheEventLoopSavesTheRecording();
};

void QuitDuringRecordingTests::terminationSignalSavesTheRecording() {
    Child child(std::nullopt);
    QVERIFY2(child.waitForLog(QStringLiteral(" Cattura avviata: "), 20000), qPrintable(child.output()));
    QElapsedTimer recording;
    recording.start();
    QTest::qWait(3000);
    QCOMPARE(::kill(static_cast<pid_t>(child.process().processId()), SIGTERM), 0);
    const double measured = static_cast<double>(recording.elapsed()) / 1000;
    QVERIFY(child.process().waitForFinished(30000));
    QCOMPARE(child.process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(child.process().exitCode(), 0);

    const std::optional<StopLine> stop = stopLine(child.log());
    QVERIFY2(stop, qPrintable(child.log()));
    // The log line came when the capture had already started, so the recording is a little longer than
    // what the test measured, never shorter; the writer may be a block behind the clock.
    QVERIFY2(stop->sinceStart >= measured - 0.05 && stop->sinceStart < measured + 1.5,
             qPrintable(
                 QStringLiteral("%1 s since the start, %2 s measured").arg(stop->sinceStart).arg(measured)));
    QVERIFY2(std::abs(stop->written - stop->sinceStart) < 0.5, qPrintable(child.log()));
    checkRecording(child, stop->written);
}

void QuitDuringRecordingTests::quittingTheEventLoopSavesTheRecording() {
    Child child(2500);
    QVERIFY(child.process().waitForFinished(30000));
    QCOMPARE(child.process().exitStatus(), QProcess::NormalExit);
    QVERIFY2(child.process().exitCode() == 0, qPrintable(child.output()));

    const std::optional<StopLine> stop = stopLine(child.log());
    QVERIFY2(stop, qPrintable(child.log()));
    // The program quits 2.5 s after asking for the recording, which starts a little later.
    QVERIFY2(stop->sinceStart >= 1.5 && stop->sinceStart <= 4.0, qPrintable(child.log()));
    QVERIFY2(std::abs(stop->written - stop->sinceStart) < 0.5, qPrintable(child.log()));
    checkRecording(child, stop->written);
}

QTEST_GUILESS_MAIN(QuitDuringRecordingTests)
#include "QuitDuringRecordingTests.moc"
