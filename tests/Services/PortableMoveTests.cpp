// The installation mover on real files in a temporary home: each place a portable copy is run from, the
// desktop entry it writes (checked by desktop-file-validate), and failures that keep the running copy.
#include "AppTestSupport.h"

#include "Quillora/Services/AppInfo.h"
#include "Quillora/Services/AppMover.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSettings>
#include <gtest/gtest.h>

namespace {

class FakeDesktop final : public AppMover::Desktop {
public:
    bool confirmMove() override {
        ++asked;
        return accept;
    }
    void showFailure(const QString& description) override { failures.append(description); }
    bool launch(const QString& program) override {
        launched.append(program);
        return true;
    }
    void quit() override { ++quits; }

    bool accept = true;
    int asked = 0;
    int quits = 0;
    QStringList failures;
    QStringList launched;
};

class PortableMove : public testing::Test {
protected:
    void SetUp() override {
        // A space in the home folder: the entry's Exec must quote it.
        const QString root = dir.path();
        places = {root + "/my home",
                  root + "/my home/.local/share",
                  "u",
                  {root + "/media", root + "/run/media"},
                  {root + "/my home/Downloads", root + "/tmp"}};
        qputenv("XDG_DATA_HOME", places.dataHome.toUtf8()); // the trash
    }

    // A portable copy at `folder` (relative to the test's root) whose Info.ini names `version`.
    QString copy(const QString& folder, const QString& version) {
        const QDir at(dir.filePath(folder));
        const auto write = [&](const QString& name, const QByteArray& bytes) {
            writeFile(at.filePath(name), bytes);
        };
        write(AppInfo::portableMarker, {});
        write("bin/quillora", "#!/bin/sh\n");
        write("share/quillora/Info.ini", "CFBundleShortVersionString=" + version.toUtf8() + "\n");
        QFile entry(QUILLORA_SOURCE_DIR "/packaging/com.tandrevel.Quillora.desktop");
        EXPECT_TRUE(entry.open(QIODevice::ReadOnly));
        write("share/applications/com.tandrevel.Quillora.desktop", entry.readAll());
        write("share/icons/hicolor/scalable/apps/com.tandrevel.Quillora.svg", "<svg/>");
        return at.path();
    }

    static QString installedVersion(const QString& folder) {
        const QString info = AppInfo::infoFilePathFor(folder + "/bin/quillora");
        EXPECT_TRUE(QFile::exists(info)) << info.toStdString();
        return QSettings(info, QSettings::IniFormat).value("CFBundleShortVersionString").toString();
    }

    QTemporaryDir dir;
    AppMover::Places places;
    FakeDesktop desktop;
};

TEST_F(PortableMove, EachFirstLaunchPlaceMovesTheWholeFolder) {
    const QString destination = places.home + "/Applications/Quillora";
    const QString entry = places.dataHome + "/applications/com.tandrevel.Quillora.desktop";
    const QString folders[] = {"media/u/USB/quillora-1.1-amd64", "run/media/u/SD/Quillora",
                               "my home/Downloads/quillora-1.3-amd64", "tmp/quillora-1.4-amd64"};
    int version = 0;
    for (const QString& folder : folders) {
        SCOPED_TRACE(folder.toStdString());
        const QString running = copy(folder, QString("1.%1").arg(++version));
        desktop.launched.clear();
        ASSERT_EQ(AppMover::offerMove(running, places, desktop), AppMover::Outcome::moved);
        EXPECT_TRUE(desktop.failures.isEmpty()) << desktop.failures.join(", ").toStdString();
        EXPECT_EQ(installedVersion(destination), QString("1.%1").arg(version));
        EXPECT_EQ(AppInfo::portableFolder(destination + "/bin/quillora"), destination);
        EXPECT_EQ(desktop.launched, QStringList{destination + "/bin/quillora"});
        EXPECT_FALSE(QFile::exists(running)); // in the trash
        EXPECT_EQ(QProcess::execute("desktop-file-validate", {entry}), 0);
        QFile text(entry);
        ASSERT_TRUE(text.open(QIODevice::ReadOnly));
        EXPECT_TRUE(text.readAll().contains("\nExec=\"" + destination.toUtf8() + "/bin/quillora\"\n"));
        EXPECT_TRUE(
            QFile::exists(places.dataHome + "/icons/hicolor/scalable/apps/com.tandrevel.Quillora.svg"));
    }
    EXPECT_EQ(desktop.quits, 4);
    // Every earlier installed copy went to the trash, not away: three replaced, four running copies.
    EXPECT_EQ(QDir(places.dataHome + "/Trash/files").count() - 2, 7u);
    // Run from where it now is, it is not offered again.
    EXPECT_EQ(AppMover::offerMove(destination, places, desktop), AppMover::Outcome::notOffered);
}

TEST_F(PortableMove, OnlyAPortableCopyInAFirstLaunchPlaceIsOffered) {
    QString notPortable = copy("my home/Downloads/unpacked", "1.0");
    QFile::remove(notPortable + "/" + AppInfo::portableMarker);
    for (const QString& path : {copy("my home/Projects/quillora-1.0-amd64", "1.0"), notPortable,
                                QStringLiteral("/usr/bin/quillora"), dir.filePath("media/u/USB/missing")}) {
        EXPECT_EQ(AppMover::offerMove(path, places, desktop), AppMover::Outcome::notOffered)
            << path.toStdString();
    }
    EXPECT_EQ(desktop.asked, 0);
}

TEST_F(PortableMove, ACopyInDownloadsIsTakenFromTheVolumeItCameFrom) {
    const QString running = copy("my home/Downloads/quillora-2.0-amd64", "2.0-downloaded");
    copy("media/u/USB/quillora-2.0-amd64", "2.0-volume");
    ASSERT_EQ(AppMover::offerMove(running, places, desktop), AppMover::Outcome::moved);
    EXPECT_EQ(installedVersion(places.home + "/Applications/Quillora"), "2.0-volume");
}

TEST_F(PortableMove, FailuresKeepTheRunningCopy) {
    const QString running = copy("media/u/USB/quillora-1.0-amd64", "1.0");
    desktop.accept = false;
    EXPECT_EQ(AppMover::offerMove(running, places, desktop), AppMover::Outcome::declined);

    // ~/Applications cannot be made; then the user's entries folder cannot be written.
    desktop.accept = true;
    QDir().mkpath(places.home);
    QFile blocker(places.home + "/Applications");
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    EXPECT_EQ(AppMover::offerMove(running, places, desktop), AppMover::Outcome::failed);
    QFile::remove(places.home + "/Applications");
    QDir().mkpath(places.dataHome);
    QFile entries(places.dataHome + "/applications");
    ASSERT_TRUE(entries.open(QIODevice::WriteOnly));
    entries.close();
    EXPECT_EQ(AppMover::offerMove(running, places, desktop), AppMover::Outcome::failed);

    EXPECT_EQ(desktop.failures.size(), 2);
    EXPECT_TRUE(desktop.launched.isEmpty());
    EXPECT_EQ(desktop.quits, 0);
    EXPECT_EQ(installedVersion(running), "1.0");
    EXPECT_TRUE(AppMover::isPortableCopy(running));
}

} // namespace
