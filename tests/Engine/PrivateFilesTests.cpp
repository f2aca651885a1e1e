// The `quillora` program under the usual umask 022: what holds or describes a call is its owner's only,
// and file-system failures reach the user in Italian with the path.
#include "MediaTestSupport.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <chrono>
#include <csignal>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>

namespace {

using namespace std::chrono_literals;

// The permission bits in octal, or "none" when there is nothing at path.
std::string modeOf(const QString& path) {
    struct stat status {};
    if (::stat(QFile::encodeName(path).constData(), &status) != 0) {
        return "none";
    }
    return QString::number(status.st_mode & 07777, 8).toStdString();
}

class PrivateFilesTest : public ::testing::Test {
protected:
    void SetUp() override {
        previousMask_ = ::umask(022);
        ASSERT_TRUE(home_.isValid());
        environment_ = QProcessEnvironment::systemEnvironment();
        environment_.insert(QStringLiteral("QUILLORA_AUDIO_BACKEND"), QStringLiteral("simulated"));
        environment_.insert(QStringLiteral("HOME"), home_.path());
        environment_.insert(QStringLiteral("XDG_STATE_HOME"), path(QStringLiteral("state")));
        environment_.insert(QStringLiteral("XDG_CONFIG_HOME"), path(QStringLiteral("config")));
        environment_.remove(QStringLiteral("XDG_MUSIC_DIR"));
        environment_.remove(QStringLiteral("QUILLORA_SIMULATED_FAULT"));
    }
    void TearDown() override { ::umask(previousMask_); }

    QString path(const QString& name) const { return home_.filePath(name); }

    void start(QProcess& process, const QStringList& arguments) const {
        process.setProcessEnvironment(environment_);
        process.setWorkingDirectory(home_.path());
        process.start(QStringLiteral(QUILLORA_PROGRAM), arguments);
    }

    // Runs the program to its end; returns the summary it printed.
    QJsonObject run(const QStringList& arguments, int expectedStatus = 0) const {
        QProcess process;
        start(process, arguments);
        const bool finished = process.waitForFinished(20000) && process.exitStatus() == QProcess::NormalExit;
        const QByteArray errors = process.readAllStandardError();
        EXPECT_TRUE(finished) << arguments.join(' ').toStdString();
        EXPECT_EQ(process.exitCode(), expectedStatus) << errors.toStdString();
        EXPECT_FALSE(errors.contains("filesystem error")) << errors.toStdString();
        return QJsonDocument::fromJson(process.readAllStandardOutput()).object();
    }

    void makeFile(const QString& name, int mode) const {
        QFile file(path(name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.close();
        ASSERT_EQ(::chmod(QFile::encodeName(file.fileName()).constData(), static_cast<mode_t>(mode)), 0);
    }

    QTemporaryDir home_;
    QProcessEnvironment environment_;
    mode_t previousMask_ = 0;
};

TEST_F(PrivateFilesTest, recordingsSummariesTracksReportAndLogAreTheOwnersOnly) {
    // The default place: the music folder and the log's folders do not exist yet.
    const QString recording = run({"--record", "0.3", "--no-mic"}).value("file").toString();
    ASSERT_TRUE(recording.startsWith(path("Music/Quillora/Chiamata "))) << recording.toStdString();
    const QString named = QDir(home_.path()).relativeFilePath(recording);

    // A folder the user shares keeps its mode; a summary left there from before is rewritten private.
    ASSERT_TRUE(QDir(home_.path()).mkdir(QStringLiteral("shared")));
    ASSERT_EQ(::chmod(QFile::encodeName(path("shared")).constData(), 0755), 0);
    makeFile(QStringLiteral("shared/b.m4a.json"), 0644);
    const QJsonObject finished =
        run({"--record", "0.5", "--out", "shared/b.m4a", "--debug-tracks", "shared/tracks/b"});
    for (const char* track : {"shared/tracks/b/mic.wav", "shared/tracks/b/system.wav"}) {
        EXPECT_NEAR(decodeAudioFile(path(track).toStdString()).seconds(),
                    finished.value("seconds").toString().toDouble(), 0.05)
            << track;
    }

    // The probe's report replaces an older, readable one.
    makeFile(QStringLiteral("shared/report.txt"), 0644);
    environment_.insert(QStringLiteral("QUILLORA_SIMULATED_FAULT"), QStringLiteral("tap")); // a short probe
    run({"--probe", "shared/report.txt"});
    EXPECT_GT(QFile(path("shared/report.txt")).size(), 0);
    environment_.remove(QStringLiteral("QUILLORA_SIMULATED_FAULT"));

    // A recording killed while it is written stays the fragmented file it was being written as.
    QProcess killed;
    start(killed, {"--record", "60", "--out", "shared/k.m4a", "--no-mic"});
    const auto deadline = std::chrono::steady_clock::now() + 15s;
    while (QFile(path("shared/k.m4a")).size() < 8000 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(20ms);
    }
    killed.kill();
    killed.waitForFinished();
    EXPECT_GT(decodeAudioFile(path("shared/k.m4a").toStdString()).seconds(), 0.0);

    const std::vector<std::pair<QString, int>> expected{
        {"Music", 0700},
        {"Music/Quillora", 0700},
        {named, 0600},
        {named + ".json", 0600},
        {"state", 0700},
        {"state/Quillora", 0700},
        {"state/Quillora/quillora.log", 0600},
        {"shared", 0755},
        {"shared/b.m4a", 0600},
        {"shared/b.m4a.json", 0600},
        {"shared/tracks", 0700},
        {"shared/tracks/b", 0700},
        {"shared/tracks/b/mic.wav", 0600},
        {"shared/tracks/b/system.wav", 0600},
        {"shared/report.txt", 0600},
        {"shared/k.m4a", 0600},
    };
    QStringList listed;
    for (const auto& [name, mode] : expected) {
        EXPECT_EQ(modeOf(path(name)), QString::number(mode, 8).toStdString()) << name.toStdString();
        listed << name;
    }
    // Nothing else was left behind (no temporary file of a rewrite, no second copy).
    for (const QString& top : {QStringLiteral("Music"), QStringLiteral("shared")}) {
        QDirIterator entries(path(top), QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                             QDirIterator::Subdirectories);
        while (entries.hasNext()) {
            const QString name = QDir(home_.path()).relativeFilePath(entries.next());
            EXPECT_TRUE(listed.contains(name)) << "unexpected " << name.toStdString();
        }
    }
}

TEST_F(PrivateFilesTest, fileSystemFailuresAreToldInItalianWithThePath) {
    makeFile(QStringLiteral("blocked"), 0644);
    ASSERT_TRUE(QDir(home_.path()).mkdir(QStringLiteral("folder.m4a")));
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
        const QJsonObject summary = run(QStringList{"--record", "0.2", "--no-mic"} + arguments, 1);
        EXPECT_EQ(summary.value("error").toString(), error) << arguments.join(' ').toStdString();
    }
}

} // namespace
