#pragma once

#include <QString>
#include <QStringList>
#include <QUrl>
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

// The Name of the application `<id>.desktop`, localised for `locale` ("it_IT@euro" tries it_IT@euro,
// it_IT, it@euro, it, then the plain Name). None when no folder has the entry, when it is hidden, or when
// it has no Name.
std::optional<QString> applicationName(const QString& id, const QStringList& dataDirectories,
                                       const QString& locale);

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
    // The user-visible name of the installed application with this identifier, if any.
    virtual std::optional<QString> applicationName(const std::string& identifier) = 0;

    static std::unique_ptr<PlatformServices> desktop();
};
