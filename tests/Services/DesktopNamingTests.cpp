// Which installed application a program that uses the microphone belongs to, found the way desktops match
// a window to its launcher, and the tidy name used when none matches.
#include "Quillora/Services/PlatformServices.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

void write(const QString& path, const QString& text) {
    ASSERT_TRUE(QDir().mkpath(QFileInfo(path).path()));
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(text.toUtf8());
}

TEST(DesktopNaming, MatchesProgramsToTheirLaunchers) {
    QTemporaryDir root;
    ASSERT_TRUE(root.isValid());
    const QString r = root.path();
    const QString apps = r + "/share/applications/";
    // A vendor folder in /opt: the menu's command is a link to a launcher script beside the real program.
    write(r + "/opt/google/chrome/chrome", "");
    write(r + "/opt/google/chrome/google-chrome", "#!/bin/sh\n");
    ASSERT_TRUE(QFile::link(r + "/opt/google/chrome/google-chrome", r + "/google-chrome-stable"));
    write(apps + "google-chrome.desktop",
          "[Desktop Entry]\nName=Google Chrome\nExec=" + r + "/google-chrome-stable %U\n");
    write(apps + "Zoom.desktop",
          "[Desktop Entry]\nName=Zoom\nExec=/opt/zoom/ZoomLauncher %U\nStartupWMClass=zoom\n");
    write(apps + "firefox-esr.desktop",
          "[Desktop Entry]\nName=Firefox ESR\nExec=/usr/lib/firefox-esr/firefox-esr\n");
    write(apps + "org.telegram.desktop.desktop",
          "[Desktop Entry]\nName=Telegram Desktop\nExec=env QT_SCALE=1 telegram-desktop -- %u\n");
    write(apps + "telegram-helper.desktop",
          "[Desktop Entry]\nName=Telegram helper\nNoDisplay=true\nExec=telegram-desktop --helper\n");
    write(apps + "tool.desktop", "[Desktop Entry]\nName=Some tool\nExec=/usr/bin/true\n");
    write(r + "/snap/applications/firefox_firefox.desktop",
          "[Desktop Entry]\nName=Firefox\nExec=env BAMF_DESKTOP_FILE_HINT=x /snap/bin/firefox %u\n");
    write(r + "/snap/applications/teams-app_teams.desktop",
          "[Desktop Entry]\nName=Teams\nExec=/snap/bin/teams-app\n");
    write(r + "/flatpak/applications/org.signal.Signal.desktop",
          "[Desktop Entry]\nName=Signal\nExec=/usr/bin/flatpak run org.signal.Signal\n");
    const QStringList folders{r + "/share", r + "/snap", r + "/flatpak"};

    struct Case {
        const char* identifier;
        QString executable;
        std::optional<QString> name;
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
    };
    for (const Case& c : cases) {
        EXPECT_EQ(DesktopEntries::applicationName(c.identifier, folders, "C", c.executable), c.name)
            << c.identifier << " " << c.executable.toStdString();
    }
}

TEST(DesktopNaming, TidiesProgramNamesWhenNothingMatches) {
    const std::pair<const char*, const char*> cases[] = {
        {"chrome", "Chrome"},
        {"firefox-esr", "Firefox ESR"},
        {"google-chrome-stable", "Google Chrome"},
        {"teams_for_linux", "Teams For Linux"},
        {"org.telegram.desktop", "Desktop"},
        {"com.example..App.", "App"},
        {"...", "..."},
    };
    for (const auto& [identifier, tidy] : cases) {
        EXPECT_EQ(DesktopEntries::tidyProgramName(identifier), tidy) << identifier;
    }
}

} // namespace
