// Quitting the graphical program in the middle of a recording (SIGTERM, which ends its event loop as a
// session's end does), the program running as a child process on the simulated audio system in a home of
// its own: the recording is finished into an ordinary MP4 as long as what was written. (The command line's
// own signal handling is the headless tests'; this is the windowed program's quit path.)
#include "MediaTestSupport.h"
#include "Services/AppTestSupport.h"

#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <csignal>
#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;

TEST(QuitDuringRecording, TerminationSignalSavesTheRecording) {
    QTemporaryDir dir;
    const InfoIni info({"CFBundleShortVersionString=9.9", "CFBundleVersion=990"}); // no feed: no network
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DBUS_SESSION_BUS_ADDRESS", "APPIMAGE", "QUILLORA_SIMULATED_FAULT"}) {
        environment.remove(name);
    }
    // A home of its own: each folder is named after its variable.
    for (const char* name : {"HOME", "XDG_STATE_HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME",
                             "XDG_RUNTIME_DIR"}) {
        ASSERT_TRUE(QDir().mkpath(dir.filePath(name)));
        environment.insert(name, dir.filePath(name));
    }
    QFile::setPermissions(dir.filePath("XDG_RUNTIME_DIR"),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    environment.insert("QT_QPA_PLATFORM", "offscreen");
    environment.insert("QUILLORA_AUDIO_BACKEND", "simulated");
    QProcess child;
    child.setProcessEnvironment(environment);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(QUILLORA_QUIT_DRIVER, {});
    ASSERT_TRUE(child.waitForStarted(10000)) << child.errorString().toStdString();
    const auto log = [&] {
        QFile file(dir.filePath("XDG_STATE_HOME/Quillora/quillora.log"));
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    };
    ASSERT_TRUE(waitUntil([&] { return log().contains(" Cattura avviata: "); }, 20s));
    ASSERT_EQ(child.state(), QProcess::Running) << child.readAll().toStdString();
    child.waitForFinished(2500);
    ::kill(static_cast<pid_t>(child.processId()), SIGTERM);
    ASSERT_TRUE(child.waitForFinished(30000));
    EXPECT_EQ(child.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(child.exitCode(), 0) << child.readAll().toStdString();

    static const QRegularExpression stop(" Stop: ([0-9.]+) s scritti, ([0-9.]+) s dall'avvio");
    const QRegularExpressionMatch match = stop.match(log());
    ASSERT_TRUE(match.hasMatch()) << log().toStdString();
    const double written = match.captured(1).toDouble();
    EXPECT_GT(match.captured(2).toDouble(), 1.5);
    EXPECT_NEAR(written, match.captured(2).toDouble(), 0.5);
    const QStringList files = QDir(dir.filePath("HOME/Music/Quillora")).entryList({"*.m4a"}, QDir::Files);
    ASSERT_EQ(files.size(), 1);
    const std::filesystem::path file = dir.filePath("HOME/Music/Quillora/" + files.first()).toStdString();
    EXPECT_FALSE(containsMovieFragments(file)) << "the recording was not finished into an ordinary MP4";
    EXPECT_NEAR(decodeAudioFile(file).seconds(), written, 0.1);
}

} // namespace
