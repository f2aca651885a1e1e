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

using Outcome = AppMover::Outcome;

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
    int asked = 0, quits = 0;
    QStringList failures, launched;
};

class PortableMove : public testing::Test {
protected:
    void SetUp() override { qputenv("XDG_DATA_HOME", places.dataHome.toUtf8()); } // the trash

    // A portable copy at `folder` (relative to the test's root) whose Info.ini names `version`.
    QString copy(const QString& folder, const QString& version, bool marked = true) {
        const QDir at(dir.filePath(folder));
        if (marked) {
            writeFile(at.filePath(AppInfo::portableMarker), {});
        }
        writeFile(at.filePath("bin/quillora"), "#!/bin/sh\n");
        writeFile(at.filePath("share/quillora/Info.ini"),
                  "CFBundleShortVersionString=" + version.toUtf8() + "\n");
        QFile entry(QUILLORA_SOURCE_DIR "/packaging/com.tandrevel.Quillora.desktop");
        EXPECT_TRUE(entry.open(QIODevice::ReadOnly));
        writeFile(at.filePath("share/applications/com.tandrevel.Quillora.desktop"), entry.readAll());
        writeFile(at.filePath("share/icons/hicolor/scalable/apps/com.tandrevel.Quillora.svg"), "<svg/>");
        return at.path();
    }
    static QString installedVersion(const QString& folder) {
        const QString info = AppInfo::infoFilePathFor(folder + "/bin/quillora");
        return QSettings(info, QSettings::IniFormat).value("CFBundleShortVersionString", "none").toString();
    }
    void block(const QString& path) { writeFile(path, "a file where a folder should be"); }

    QTemporaryDir dir;
    const QString root = dir.path(), home = root + "/my home"; // a space: the entry's Exec must quote it
    AppMover::Places places{home,
                            home + "/.local/share",
                            "u",
                            {root + "/media", root + "/run/media"},
                            {home + "/Downloads", root + "/tmp"}};
    const QString destination = home + "/Applications/Quillora";
    FakeDesktop desktop;
};

TEST_F(PortableMove, EachFirstLaunchPlaceMovesTheWholeFolder) {
    const QString entry = places.dataHome + "/applications/com.tandrevel.Quillora.desktop";
    int version = 0;
    for (const QString folder : {"media/u/USB/quillora-1.1-amd64", "run/media/u/SD/Quillora",
                                 "my home/Downloads/quillora-1.3-amd64", "tmp/quillora-1.4-amd64"}) {
        SCOPED_TRACE(folder.toStdString());
        const QString running = copy(folder, QString("1.%1").arg(++version));
        desktop.launched.clear();
        ASSERT_EQ(AppMover::offerMove(running, places, desktop), Outcome::moved);
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
    EXPECT_EQ(AppMover::offerMove(destination, places, desktop), Outcome::notOffered);
}

TEST_F(PortableMove, OfferedOnlyForAPortableCopyInAFirstLaunchPlaceAndFailuresKeepIt) {
    const QString sd = copy("run/media/u/SD/quillora-1.0-amd64", "1.0"); // a later media root
    struct Case {
        const char* name;
        QString running;
        std::function<void()> setUp;
        Outcome outcome;
    };
    const Case cases[] = {
        {"a folder of the user's", copy("my home/Projects/quillora-1.0-amd64", "1.0"), [] {},
         Outcome::notOffered},
        {"not marked portable", copy("my home/Downloads/unpacked", "1.0", false), [] {}, Outcome::notOffered},
        {"installed by the system", "/usr/bin/quillora", [] {}, Outcome::notOffered},
        {"gone", dir.filePath("media/u/USB/missing"), [] {}, Outcome::notOffered},
        {"declined", sd, [&] { desktop.accept = false; }, Outcome::declined},
        {"~/Applications cannot be made", sd, [&] { block(home + "/Applications"); }, Outcome::failed},
        {"the entries folder cannot be written", sd,
         [&] {
             QFile::remove(home + "/Applications");
             block(places.dataHome + "/applications");
         },
         Outcome::failed},
    };
    for (const Case& c : cases) {
        c.setUp();
        EXPECT_EQ(AppMover::offerMove(c.running, places, desktop), c.outcome) << c.name;
        desktop.accept = true;
    }
    EXPECT_EQ(desktop.asked, 3);
    EXPECT_EQ(desktop.failures.size(), 2);
    EXPECT_TRUE(desktop.launched.isEmpty());
    EXPECT_EQ(desktop.quits, 0);
    EXPECT_EQ(installedVersion(sd), "1.0");
    EXPECT_TRUE(AppMover::isPortableCopy(sd));

    // A copy in Downloads is taken from the volume it came from (the first media root first).
    QFile::remove(places.dataHome + "/applications");
    copy("media/u/USB/quillora-2.0-amd64", "2.0-volume");
    ASSERT_EQ(
        AppMover::offerMove(copy("my home/Downloads/quillora-2.0-amd64", "2.0-downloaded"), places, desktop),
        Outcome::moved);
    EXPECT_EQ(installedVersion(destination), "2.0-volume");
}

} // namespace
