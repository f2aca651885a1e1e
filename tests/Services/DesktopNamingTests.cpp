// Which launcher a program belongs to, matched as desktops do, in the best language; tidy names otherwise.
#include "AppTestSupport.h"
#include "Quillora/Services/PlatformServices.h"

namespace {

TEST(DesktopNaming, MatchesProgramsToTheirLaunchersInTheBestLanguage) {
    QTemporaryDir root;
    const QString r = root.path();
    // A vendor folder in /opt: the menu's command is a link to a launcher script beside the real program.
    writeFile(r + "/opt/google/chrome/chrome", "");
    writeFile(r + "/opt/google/chrome/google-chrome", "#!/bin/sh\n");
    ASSERT_TRUE(QFile::link(r + "/opt/google/chrome/google-chrome", r + "/google-chrome-stable"));
    const std::pair<QString, QString> entries[] = {
        {"share/applications/google-chrome", "Name=Google Chrome\nExec=" + r + "/google-chrome-stable %U"},
        {"share/applications/Zoom", "Name=Zoom\nExec=/opt/zoom/ZoomLauncher %U\nStartupWMClass=zoom"},
        {"share/applications/firefox-esr", "Name=Firefox ESR\nExec=/usr/lib/firefox-esr/firefox-esr"},
        {"share/applications/org.telegram.desktop",
         "Name=Telegram Desktop\nExec=env QT_SCALE=1 telegram-desktop -- %u"},
        {"share/applications/telegram-helper",
         "Name=Telegram helper\nNoDisplay=true\nExec=telegram-desktop --helper"},
        {"share/applications/tool", "Name=Some tool\nExec=/usr/bin/true"},
        {"share/applications/us.zoom.Zoom",
         "Name=Zoom Workplace\nName[it]=Zoom (it)\nName[it_CH]=Zoom\\sSvizzera\n"
         "Name[de@formal]=Zoom Sie\n[Desktop Action new]\nName[fr]=Nouvelle"},
        {"share/applications/org.example.Gone", "Name=Gone\nHidden=true"},
        {"snap/applications/org.example.Gone", "Name=Gone system"},
        {"snap/applications/us.zoom.Zoom", "Name=System Zoom"},
        {"snap/applications/org.example.NoName", "Type=Application"},
        {"snap/applications/firefox_firefox",
         "Name=Firefox\nExec=env BAMF_DESKTOP_FILE_HINT=x /snap/bin/firefox %u"},
        {"snap/applications/teams-app_teams", "Name=Teams\nExec=/snap/bin/teams-app"},
        {"flatpak/applications/org.signal.Signal",
         "Name=Signal\nExec=/usr/bin/flatpak run org.signal.Signal"},
    };
    for (const auto& [path, text] : entries) {
        writeFile(r + "/" + path + ".desktop", ("[Desktop Entry]\n" + text + "\n").toUtf8());
    }
    const QStringList folders{r + "/missing", r + "/share", r + "/snap", r + "/flatpak"};

    struct Case {
        const char* identifier;
        QString executable;
        std::optional<QString> name;
        const char* locale = "C";
    };
    const Case cases[] = {
        {"chrome", r + "/opt/google/chrome/chrome", "Google Chrome"}, // launcher beside the program
        {"chrome", "", std::nullopt},                                 // nothing ties "chrome" to it alone
        {"zoom", "", "Zoom"},                                         // StartupWMClass
        {"firefox-esr", "", "Firefox ESR"},                           // the entry named after it
        {"firefox", "", "Firefox"},                                   // Snap's "<snap>_<app>"
        {"electron", "/snap/teams-app/12/electron", "Teams"},         // runs from the snap's folder
        {"org.signal.Signal", "", "Signal"},                          // Flatpak id
        {"telegram-desktop", "", "Telegram Desktop"},                 // Exec program, visible entry first
        {"mystery", "/usr/bin/env", std::nullopt},                    // /usr/bin is everyone's folder
        {"pw-thing", "", std::nullopt},
        {"us.zoom.Zoom", "", "Zoom (it)", "it_IT.UTF-8"}, // the first folder's entry, in the best language
        {"us.zoom.Zoom", "", "Zoom Svizzera", "it_CH.UTF-8@euro"},
        {"us.zoom.Zoom", "", "Zoom Sie", "de_AT@formal"},
        {"us.zoom.Zoom", "", "Zoom Workplace", "fr_FR"}, // a Name of another group is not the application's
        {"org.example.Gone", "", std::nullopt},          // hidden, and it shadows the later folder's
        {"org.example.NoName", "", std::nullopt},
        {"../share/applications/us.zoom.Zoom", "", std::nullopt}, // a file name, never a path
    };
    for (const Case& c : cases) {
        EXPECT_EQ(DesktopEntries::applicationName(c.identifier, folders, c.locale, c.executable), c.name)
            << c.identifier << " " << c.executable.toStdString() << " " << c.locale;
    }
}

TEST(DesktopNaming, TidiesProgramNamesWhenNothingMatches) {
    const std::pair<const char*, const char*> cases[] = {{"chrome", "Chrome"},
                                                         {"firefox-esr", "Firefox ESR"},
                                                         {"google-chrome-stable", "Google Chrome"},
                                                         {"teams_for_linux", "Teams For Linux"},
                                                         {"org.telegram.desktop", "Desktop"},
                                                         {"com.example..App.", "App"},
                                                         {"...", "..."}};
    for (const auto& [identifier, tidy] : cases) {
        EXPECT_EQ(DesktopEntries::tidyProgramName(identifier), tidy) << identifier;
    }
}

TEST(DesktopNaming, EntryFoldersAndTheSoundSettingsProgram) {
    const QByteArray saved = qgetenv("XDG_DATA_DIRS");
    qputenv("XDG_DATA_DIRS", "/opt/share:/var/lib/flatpak/exports/share");
    const QStringList dirs = DesktopEntries::applicationDataDirectories();
    qputenv("XDG_DATA_DIRS", saved);
    EXPECT_EQ(dirs.mid(0, 3), (QStringList{qEnvironmentVariable("XDG_DATA_HOME"), "/opt/share",
                                           "/var/lib/flatpak/exports/share"}));
    EXPECT_EQ(dirs.count("/var/lib/flatpak/exports/share"), 1);
    EXPECT_TRUE(dirs.contains(dirs[0] + "/flatpak/exports/share"));

    const std::pair<QStringList, std::optional<QStringList>> cases[] = {
        {{"pavucontrol", "gnome-control-center"}, QStringList{"gnome-control-center", "sound"}},
        {{"pavucontrol", "systemsettings"}, QStringList{"systemsettings", "kcm_pulseaudio"}},
        {{"pavucontrol"}, QStringList{"pavucontrol"}},
        {{}, std::nullopt},
    };
    for (const auto& [installed, command] : cases) {
        const QStringList& present = installed; // clang 14 cannot capture a structured binding
        EXPECT_EQ(soundSettingsCommand([&](const QString& program) { return present.contains(program); }),
                  command);
    }
}

} // namespace
