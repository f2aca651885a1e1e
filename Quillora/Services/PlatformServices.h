#pragma once

#include <QString>
#include <QStringList>
#include <QUrl>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

// Application names from the desktop entries installed on this system.
namespace DesktopEntries {

// Where `<id>.desktop` files are looked up, first match wins: $XDG_DATA_HOME (~/.local/share), then
// $XDG_DATA_DIRS (/usr/local/share:/usr/share), then the Flatpak export folders when not already listed.
// Each entry is a data folder; the entries sit in its "applications" subfolder.
QStringList applicationDataDirectories();

// The messages locale of this process (LC_ALL, LC_MESSAGES, LANG, in that order), e.g. "it_IT.UTF-8".
QString messagesLocale();

// The Name, localised for `locale` ("it_IT@euro" tries it_IT@euro, it_IT, it@euro, it, then the plain
// Name), of the application that `id` (a Flatpak or application id, or the program's name as the audio
// layer reports it) belongs to, found as desktops match a window to its launcher: the entry `<id>.desktop`
// when there is one (a hidden one or one without a Name then means none); else the entry whose
// StartupWMClass is `id`, or Snap's "<snap>_<id>" entry or one of the snap that `executable` runs from;
// else the entry whose Exec program is called `id`, or is `executable` (the process's program file, may
// be empty), or is a launcher beside it in the application's own folder. Visible entries win over those
// hidden from the menus. None when nothing matches.
std::optional<QString> applicationName(const QString& id, const QStringList& dataDirectories,
                                       const QString& locale, const QString& executable = {});

// A presentable form of a program name for when no installed application matches: the last dot-separated
// piece, words split at '-' and '_', release words ("bin", "stable"…) dropped, each word capitalised:
// "google-chrome-stable" -> "Google Chrome", "org.example.chat" -> "Chat".
QString tidyProgramName(const QString& identifier);

} // namespace DesktopEntries

// The sound settings program: the first of gnome-control-center, systemsettings and pavucontrol that
// `exists`, with its arguments; none when there is none.
std::optional<QStringList> soundSettingsCommand(const std::function<bool(const QString& program)>& exists);

// The desktop operations the application model uses. The program talks to the real desktop; tests record
// the requests instead.
class PlatformServices {
public:
    virtual ~PlatformServices() = default;

    // Opens a folder or address with the desktop's default handler.
    virtual void openLocation(const QUrl& location) = 0;
    // Shows the file selected in the file browser (or, failing that, opens its folder).
    virtual void revealFile(const std::filesystem::path& file) = 0;
    // Opens the desktop's sound settings, where the microphone is chosen and allowed; nothing when none.
    virtual void openSoundSettings() = 0;
    // The short alert sound that comes with an announcement; nothing when sounds are unavailable.
    virtual void playAlertSound() = 0;
    // The user-visible name of the installed application with this identifier, if any; `pid` (0 when
    // unknown) is one of its processes.
    virtual std::optional<QString> applicationName(const std::string& identifier, int32_t pid) = 0;

    static std::unique_ptr<PlatformServices> desktop();
};
