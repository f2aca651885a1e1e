// Application names from desktop entries, and the choice of the sound settings program.
#include "Quillora/Services/PlatformServices.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

class DesktopEntriesTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(root.isValid()); }

    QString folder(const QString& name) const { return root.path() + QLatin1Char('/') + name; }

    void write(const QString& dataFolder, const QString& id, const QByteArray& text) {
        ASSERT_TRUE(QDir().mkpath(dataFolder + QStringLiteral("/applications")));
        QFile file(dataFolder + QStringLiteral("/applications/") + id + QStringLiteral(".desktop"));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(text);
    }

    QTemporaryDir root;
};

TEST_F(DesktopEntriesTest, NameIsLocalisedFromMostToLeastSpecific) {
    write(folder("a"), "us.zoom.Zoom",
          "[Desktop Entry]\nType=Application\nName=Zoom Workplace\nName[it]=Zoom (it)\n"
          "Name[it_CH]=Zoom\\sSvizzera\nName[de@formal]=Zoom Sie\n"
          "[Desktop Action new]\nName=New meeting\nName[fr]=Nouvelle\n");
    const QStringList dirs{folder("a")};
    EXPECT_EQ(DesktopEntries::applicationName("us.zoom.Zoom", dirs, "it_IT.UTF-8"), "Zoom (it)");
    EXPECT_EQ(DesktopEntries::applicationName("us.zoom.Zoom", dirs, "it_CH.UTF-8@euro"), "Zoom Svizzera");
    EXPECT_EQ(DesktopEntries::applicationName("us.zoom.Zoom", dirs, "de_AT@formal"), "Zoom Sie");
    EXPECT_EQ(DesktopEntries::applicationName("us.zoom.Zoom", dirs, "C"), "Zoom Workplace");
    // A Name in another group is not the application's.
    EXPECT_EQ(DesktopEntries::applicationName("us.zoom.Zoom", dirs, "fr_FR"), "Zoom Workplace");
}

TEST_F(DesktopEntriesTest, FirstFolderWinsAndHiddenEntriesNameNothing) {
    write(folder("home"), "org.example.Chat", "[Desktop Entry]\nName=Chat di casa\n");
    write(folder("system"), "org.example.Chat", "[Desktop Entry]\nName=Chat\n");
    write(folder("home"), "org.example.Gone", "[Desktop Entry]\nName=Gone\nHidden=true\n");
    write(folder("system"), "org.example.Gone", "[Desktop Entry]\nName=Gone system\n");
    write(folder("system"), "org.example.NoName", "[Desktop Entry]\nType=Application\n");
    const QStringList dirs{folder("missing"), folder("home"), folder("system")};
    EXPECT_EQ(DesktopEntries::applicationName("org.example.Chat", dirs, "C"), "Chat di casa");
    EXPECT_EQ(DesktopEntries::applicationName("org.example.Gone", dirs, "C"), std::nullopt);
    EXPECT_EQ(DesktopEntries::applicationName("org.example.NoName", dirs, "C"), std::nullopt);
    EXPECT_EQ(DesktopEntries::applicationName("org.example.Absent", dirs, "C"), std::nullopt);
    // An identifier is a file name, never a path.
    EXPECT_EQ(DesktopEntries::applicationName("../home/applications/org.example.Chat", dirs, "C"),
              std::nullopt);
}

TEST_F(DesktopEntriesTest, FoldersFollowTheEnvironmentAndIncludeFlatpakExports) {
    const QByteArray savedDirs = qgetenv("XDG_DATA_DIRS");
    qputenv("XDG_DATA_DIRS", "/opt/share:/usr/share");
    const QStringList dirs = DesktopEntries::applicationDataDirectories();
    ASSERT_GE(dirs.size(), 5);
    EXPECT_EQ(dirs[0], QString::fromLocal8Bit(qgetenv("XDG_DATA_HOME")));
    EXPECT_EQ(dirs[1], "/opt/share");
    EXPECT_EQ(dirs[2], "/usr/share");
    EXPECT_TRUE(dirs.contains("/var/lib/flatpak/exports/share"));
    EXPECT_TRUE(dirs.contains(dirs[0] + "/flatpak/exports/share"));
    qputenv("XDG_DATA_DIRS", "/usr/share:/var/lib/flatpak/exports/share");
    EXPECT_EQ(DesktopEntries::applicationDataDirectories().count("/var/lib/flatpak/exports/share"), 1);
    qputenv("XDG_DATA_DIRS", savedDirs);
}

TEST(SoundSettingsCommand, TakesTheFirstProgramThatExists) {
    const auto only = [](QStringList present) {
        return [present](const QString& program) { return present.contains(program); };
    };
    EXPECT_EQ(soundSettingsCommand(only({"pavucontrol", "gnome-control-center"})),
              (QStringList{"gnome-control-center", "sound"}));
    EXPECT_EQ(soundSettingsCommand(only({"pavucontrol", "systemsettings"})),
              (QStringList{"systemsettings", "kcm_pulseaudio"}));
    EXPECT_EQ(soundSettingsCommand(only({"pavucontrol"})), QStringList{"pavucontrol"});
    EXPECT_EQ(soundSettingsCommand(only({})), std::nullopt);
}

} // namespace
