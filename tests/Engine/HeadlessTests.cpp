// The `quillora` program run as a child process on the simulated demonstration system: the summary it
// prints and writes, its exit status, cycles, interrupts and failures.
#include "MediaTestSupport.h"
#include "WaitUntil.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <chrono>
#include <csignal>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>

namespace {

using namespace std::chrono_literals;

const QString tapRefused =
    QStringLiteral("Accesso all'audio di sistema (controlla il permesso «Registrazione "
                   "audio di sistema») non riuscito (OSStatus 1852797029 'nope')");
const QStringList summaryKeys{"callbacks",  "diagnostics", "droppedBlocks", "file",
                              "lostCycles", "micPeakRMS",  "microphone",    "microphoneAllowed",
                              "restarts",   "seconds",     "systemPeakRMS", "wallSeconds"};

bool matches(const QString& text, const QString& pattern) {
    return QRegularExpression(QRegularExpression::anchoredPattern(pattern)).match(text).hasMatch();
}

struct Outcome {
    bool finished = false;
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
    QJsonObject summary;

    double number(const char* key) const { return summary.value(key).toString().toDouble(); }
    QString text(const char* key) const { return summary.value(key).toString(); }
};

class HeadlessTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::umask(022); // the usual one: what must be private, the program makes so
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

    static Outcome collect(QProcess& process, std::chrono::milliseconds timeout = 20s) {
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

    Outcome execute(const QStringList& arguments) const {
        QProcess process;
        start(process, arguments);
        return collect(process);
    }

    void makeFile(const QString& name, int mode) const {
        QFile file(path(name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.close();
        ASSERT_EQ(::chmod(QFile::encodeName(file.fileName()).constData(), static_cast<mode_t>(mode)), 0);
    }

    QTemporaryDir home;
    QProcessEnvironment environment;
};

// The permission bits in octal, or "none" when there is nothing at path.
std::string modeOf(const QString& path) {
    struct stat status {};
    if (::stat(QFile::encodeName(path).constData(), &status) != 0) {
        return "none";
    }
    return QString::number(status.st_mode & 07777, 8).toStdString();
}

// The standard output is the summary file plus one newline, every value a string, statistics in their
// formats; the recording decodes to the length the summary gives.
void expectSummaryOf(const Outcome& run, const QString& recording, const QStringList& keys) {
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.summary.keys(), keys);
    EXPECT_EQ(run.out, QJsonDocument(run.summary).toJson()) << "keys sorted, one newline after the object";
    QFile file(recording + QStringLiteral(".json"));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << recording.toStdString();
    EXPECT_EQ(file.readAll(), run.out.chopped(1));
    for (auto it = run.summary.begin(); it != run.summary.end(); ++it) {
        EXPECT_TRUE(it.value().isString()) << it.key().toStdString();
    }
    if (!run.summary.contains("callbacks")) {
        return;
    }
    const std::pair<const char*, const char*> formats[] = {
        {"callbacks", "[0-9]+"},
        {"droppedBlocks", "0"},
        {"lostCycles", "0"},
        {"restarts", "[0-9]+"},
        {"seconds", "[0-9]+\\.[0-9]{2}"},
        {"wallSeconds", "[0-9]+\\.[0-9]{2}"},
        {"micPeakRMS", "[0-9]+\\.[0-9]{5}"},
        {"systemPeakRMS", "[0-9]+\\.[0-9]{5}"},
    };
    for (const auto& [key, format] : formats) {
        EXPECT_TRUE(matches(run.text(key), QString::fromLatin1(format)))
            << key << ": " << run.text(key).toStdString();
    }
    if (run.exitCode == 0) {
        EXPECT_NEAR(decodeAudioFile(recording.toStdString()).seconds(), run.number("seconds"), 0.05);
    }
}

TEST_F(HeadlessTest, recordsTheCallWithoutMicrophoneAndPrintsTheSummary) {
    const Outcome run = execute({"--record", "1", "--out", "a.m4a", "--no-mic"});
    EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
    expectSummaryOf(run, path("a.m4a"), summaryKeys);
    EXPECT_EQ(run.text("file"), path("a.m4a")) << "a relative --out is taken from the working folder";
    EXPECT_EQ(run.text("microphoneAllowed"), "false");
    EXPECT_EQ(run.text("microphone"), "nessuno");
    EXPECT_EQ(run.text("diagnostics"), "streams=[2] leading=0 mic=false rate=48000.0 tapFormat=48000.0Hz 2ch "
                                       "lostCycles=0 running=1 alive=1 proc=true");
    EXPECT_EQ(run.text("restarts"), "0");
    EXPECT_EQ(run.text("micPeakRMS"), "0.00000");
    EXPECT_GT(run.number("systemPeakRMS"), 0.01);
    EXPECT_GE(run.number("wallSeconds"), 1.0);
    EXPECT_LT(run.number("wallSeconds"), 1.5);
    EXPECT_NEAR(run.number("seconds"), 1.0, 0.15);
    EXPECT_NEAR(run.number("callbacks"), 48000 / 1024, 8);
}

// Also under a locale that writes decimal commas (where one can be made): the summary and the log use dots.
TEST_F(HeadlessTest, cyclesMakeShortRecordingsBeforeTheFinalOne) {
    QProcess localedef;
    QDir().mkpath(path("locales"));
    localedef.start("localedef", {"-i", "it_IT", "-f", "UTF-8", path("locales/it_IT.UTF-8")});
    if (localedef.waitForFinished(30000) && localedef.exitCode() == 0) {
        environment.insert("LOCPATH", path("locales"));
        environment.insert("LC_ALL", "it_IT.UTF-8");
    }
    const Outcome run = execute({"--record", "0.5", "--cycles", "3", "--out", path("x.m4a")});
    EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
    QStringList keys = summaryKeys;
    keys.insert(1, "ciclo1");
    keys.insert(2, "ciclo2");
    expectSummaryOf(run, path("x.m4a"), keys);
    EXPECT_EQ(run.text("microphoneAllowed"), "true");
    EXPECT_EQ(run.text("microphone"), "Microfono simulato");
    EXPECT_TRUE(run.text("diagnostics").startsWith("streams=[1, 2] leading=1 mic=true rate=48000.0 "));
    EXPECT_GT(run.number("micPeakRMS"), 0.01);
    for (const char* key : {"ciclo1", "ciclo2"}) {
        EXPECT_TRUE(matches(run.text(key), "callbacks=[1-9][0-9]* restarts=0 seconds=[0-9]+\\.[0-9]{2}"))
            << run.text(key).toStdString();
    }
    for (const char* name : {"x.ciclo1.m4a", "x.ciclo2.m4a", "x.m4a"}) {
        EXPECT_NEAR(decodeAudioFile(path(name).toStdString()).seconds(), 0.5, 0.15) << name;
    }
    EXPECT_FALSE(QFile::exists(path("x.ciclo3.m4a")));
    QFile log(path("state/Quillora/quillora.log"));
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    EXPECT_TRUE(QRegularExpression("Primo blocco audio dopo [0-9]+\\.[0-9]{3} s\n")
                    .match(QString::fromUtf8(log.readAll()))
                    .hasMatch());
}

TEST_F(HeadlessTest, anInterruptEndsTheWaitAndFinishesLikeANormalEnd) {
    for (const int signal : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(signal == SIGINT ? "SIGINT" : "SIGTERM");
        const QString recording = path(QStringLiteral("interrupted%1.m4a").arg(signal));
        QProcess process;
        start(process, {"--record", "60", "--out", recording, "--no-mic"});
        ASSERT_TRUE(process.waitForStarted());
        // The file appears when the recording starts; then let it run for a moment.
        ASSERT_TRUE(waitUntil([&] { return QFile::exists(recording); }, 10s));
        std::this_thread::sleep_for(500ms);
        const auto sent = std::chrono::steady_clock::now();
        ::kill(static_cast<pid_t>(process.processId()), signal);
        const Outcome run = collect(process, 10s);
        EXPECT_LT(std::chrono::steady_clock::now() - sent, 6s); // a 60 s recording, and sanitizers are slow
        EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
        expectSummaryOf(run, recording, summaryKeys);
        EXPECT_GE(run.number("wallSeconds"), 0.3); // the timer starts a little after the file appears
        EXPECT_LT(run.number("wallSeconds"), 4.0);
        EXPECT_NEAR(run.number("seconds"), run.number("wallSeconds"), 0.3);
        EXPECT_FALSE(containsMovieFragments(recording.toStdString())) << "finished into an ordinary MP4";
    }
}

TEST_F(HeadlessTest, aFinalRecordingThatCannotStartIsAnError) {
    environment.insert(QStringLiteral("QUILLORA_SIMULATED_FAULT"), QStringLiteral("tap"));
    const Outcome run = execute({"--record", "0.2", "--cycles", "2", "--out", "e.m4a", "--no-mic"});
    EXPECT_EQ(run.exitCode, 1);
    expectSummaryOf(run, path("e.m4a"), {"ciclo1", "error", "file", "microphoneAllowed"});
    EXPECT_EQ(run.text("error"), tapRefused);
    EXPECT_EQ(run.text("ciclo1"), tapRefused);
}

TEST_F(HeadlessTest, aProbeWithoutItsReportIsRefused) {
    // Whatever other option follows, nothing else runs.
    for (const QStringList& arguments : {QStringList{"--probe"}, QStringList{"--probe", "--help"},
                                         QStringList{"--probe", "--version", "--out", "x.m4a"}}) {
        const Outcome probe = execute(arguments);
        EXPECT_EQ(probe.exitCode, 2) << arguments.join(' ').toStdString();
        EXPECT_TRUE(probe.out.isEmpty()) << probe.out.toStdString();
        EXPECT_TRUE(probe.err.contains("--probe richiede il percorso del report")) << probe.err.toStdString();
        EXPECT_EQ(QDir(home.path()).entryList(QDir::Files), QStringList{});
    }
}

// What holds or describes a call is its owner's only.
TEST_F(HeadlessTest, recordingsSummariesTracksReportAndLogAreTheOwnersOnly) {
    // The default place: the user's (localised) music folder, which does not exist yet, nor do the log's
    // folders; no cycles below two.
    ASSERT_TRUE(QDir().mkpath(path("config")));
    QFile dirs(path("config/user-dirs.dirs"));
    ASSERT_TRUE(dirs.open(QIODevice::WriteOnly) && dirs.write("XDG_MUSIC_DIR=\"$HOME/Musica\"\n") > 0);
    dirs.close();
    const Outcome first = execute({"--record", "0.3", "--cycles", "-1", "--no-mic"});
    const QString recording = first.text("file");
    expectSummaryOf(first, recording, summaryKeys);
    EXPECT_TRUE(matches(recording, QRegularExpression::escape(path("Musica/Quillora/")) +
                                       "Chiamata [0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}\\.[0-9]{2}\\.m4a"))
        << recording.toStdString();
    const QString named = QDir(home.path()).relativeFilePath(recording);

    // A folder the user shares keeps its mode; a summary or report left there from before is rewritten
    // private.
    ASSERT_TRUE(QDir(home.path()).mkdir(QStringLiteral("shared")));
    ASSERT_EQ(::chmod(QFile::encodeName(path("shared")).constData(), 0755), 0);
    makeFile(QStringLiteral("shared/b.m4a.json"), 0644);
    makeFile(QStringLiteral("shared/report.txt"), 0644);
    EXPECT_EQ(
        execute({"--record", "0.5", "--out", "shared/b.m4a", "--debug-tracks", "shared/tracks/b"}).exitCode,
        0);
    environment.insert(QStringLiteral("QUILLORA_SIMULATED_FAULT"), QStringLiteral("tap")); // a short probe
    EXPECT_EQ(execute({"--probe", "shared/report.txt"}).exitCode, 0);
    EXPECT_GT(QFile(path("shared/report.txt")).size(), 0);
    environment.remove(QStringLiteral("QUILLORA_SIMULATED_FAULT"));

    // A recording killed while it is written stays the fragmented file it was being written as.
    QProcess killed;
    start(killed, {"--record", "60", "--out", "shared/k.m4a", "--no-mic"});
    EXPECT_TRUE(waitUntil([&] { return QFile(path("shared/k.m4a")).size() >= 8000; }, 15s));
    killed.kill();
    killed.waitForFinished();
    EXPECT_GT(decodeAudioFile(path("shared/k.m4a").toStdString()).seconds(), 0.0);

    // Everything the runs made, and nothing else (no cycle, no temporary file of a rewrite, no second copy):
    // files 0600, folders 0700, the shared folder as it was.
    QStringList made{"Musica",
                     "Musica/Quillora",
                     named,
                     named + ".json",
                     "state",
                     "state/Quillora",
                     "state/Quillora/quillora.log",
                     "shared/b.m4a",
                     "shared/b.m4a.json",
                     "shared/tracks",
                     "shared/tracks/b",
                     "shared/tracks/b/mic.wav",
                     "shared/tracks/b/system.wav",
                     "shared/report.txt",
                     "shared/k.m4a"};
    QStringList found;
    for (const QString& top : {QStringLiteral("Musica"), QStringLiteral("state"), QStringLiteral("shared")}) {
        found << top;
        EXPECT_EQ(modeOf(path(top)), top == "shared" ? "755" : "700") << top.toStdString();
        QDirIterator entries(path(top), QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                             QDirIterator::Subdirectories);
        while (entries.hasNext()) {
            const QString name = QDir(home.path()).relativeFilePath(entries.next());
            found << name;
            EXPECT_EQ(modeOf(path(name)), QFileInfo(path(name)).isDir() ? "700" : "600")
                << name.toStdString();
        }
    }
    made << "shared";
    made.sort();
    found.sort();
    EXPECT_EQ(found, made);
}

TEST_F(HeadlessTest, fileSystemFailuresAreToldInItalianWithThePath) {
    makeFile(QStringLiteral("blocked"), 0644);
    ASSERT_TRUE(QDir(home.path()).mkdir(QStringLiteral("folder.m4a")));
    const QString blocked = "\"" + path("blocked") + "\"";
    const struct {
        QStringList arguments;
        QString error;
    } cases[] = {
        {{"--out", "blocked/a.m4a"},
         "Impossibile creare la cartella " + blocked + ": esiste già un file con questo nome"},
        {{"--out", "blocked/x/a.m4a"},
         "Impossibile creare la cartella \"" + path("blocked/x") + "\": " + blocked + " non è una cartella"},
        {{"--out", "o.m4a", "--debug-tracks", "blocked"},
         "Impossibile creare la cartella " + blocked + ": esiste già un file con questo nome"},
        {{"--out", "folder.m4a"},
         "Impossibile creare il file audio \"" + path("folder.m4a") + "\": è una cartella"},
    };
    for (const auto& [arguments, error] : cases) {
        const Outcome run = execute(QStringList{"--record", "0.2", "--no-mic"} + arguments);
        EXPECT_EQ(run.exitCode, 1) << arguments.join(' ').toStdString();
        EXPECT_EQ(run.text("error"), error);
        EXPECT_FALSE(run.err.contains("filesystem error")) << run.err.toStdString();
    }
}

} // namespace
