// Application names from desktop entries, and the choice of the sound settings program.
#include "Quillora/Services/PlatformServices.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

void write(const QString& dataFolder, const QString& id, const QByteArray& text) {
    ASSERT_TRUE(QDir().mkpath(dataFolder + "/applications"));
    QFile file(dataFolder + "/applications/" + id + ".desktop");
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(text);
}

TEST(DesktopEntries, NamesComeFromTheFirstFolderInTheBestLanguage) {
    QTemporaryDir root;
    const QString home = root.filePath("home"), system = root.filePath("system");
    write(home, "us.zoom.Zoom",
          "[Desktop Entry]\nName=Zoom Workplace\nName[it]=Zoom (it)\nName[it_CH]=Zoom\\sSvizzera\n"
          "Name[de@formal]=Zoom Sie\n[Desktop Action new]\nName[fr]=Nouvelle\n");
    write(home, "org.example.Gone", "[Desktop Entry]\nName=Gone\nHidden=true\n");
    write(system, "org.example.Gone", "[Desktop Entry]\nName=Gone system\n");
    write(system, "us.zoom.Zoom", "[Desktop Entry]\nName=System Zoom\n");
    write(system, "org.example.NoName", "[Desktop Entry]\nType=Application\n");
    const QStringList dirs{root.filePath("missing"), home, system};
    for (const auto& [id, locale, expected] :
         std::vector<std::tuple<QString, QString, std::optional<QString>>>{
             {"us.zoom.Zoom", "it_IT.UTF-8", "Zoom (it)"},
             {"us.zoom.Zoom", "it_CH.UTF-8@euro", "Zoom Svizzera"},
             {"us.zoom.Zoom", "de_AT@formal", "Zoom Sie"},
             {"us.zoom.Zoom", "fr_FR", "Zoom Workplace"}, // a Name of another group is not the application's
             {"org.example.Gone", "C", std::nullopt},
             {"org.example.NoName", "C", std::nullopt},
             {"org.example.Absent", "C", std::nullopt},
             {"../home/applications/us.zoom.Zoom", "C", std::nullopt}}) { // a file name, never a path
        EXPECT_EQ(DesktopEntries::applicationName(id, dirs, locale), expected)
            << id.toStdString() << " " << locale.toStdString();
    }
}

TEST(DesktopEntries, FoldersFollowTheEnvironmentAndIncludeFlatpakExports) {
    const QByteArray saved = qgetenv("XDG_DATA_DIRS");
    qputenv("XDG_DATA_DIRS", "/opt/share:/var/lib/flatpak/exports/share");
    const QStringList dirs = DesktopEntries::applicationDataDirectories();
    qputenv("XDG_DATA_DIRS", saved);
    ASSERT_GE(dirs.size(), 4);
    EXPECT_EQ(dirs.mid(0, 3), (QStringList{qEnvironmentVariable("XDG_DATA_HOME"), "/opt/share",
                                           "/var/lib/flatpak/exports/share"}));
    EXPECT_EQ(dirs.count("/var/lib/flatpak/exports/share"), 1);
    EXPECT_TRUE(dirs.contains(dirs[0] + "/flatpak/exports/share"));
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
