#pragma once

#include <QString>
#include <QStringList>
#include <optional>

// Offers, at launch, to copy the program into ~/Applications when it runs from removable media (an
// AppImage opened straight from a USB stick or an SD card) or from a translocated location, then starts
// the new copy and quits. Running from there, the program can update itself and keeps its settings with
// a stable path.
//
// The running program is $APPIMAGE when set, else the executable itself (AppInfo::bundlePath()). The
// installed copy is ~/Applications/Quillora.AppImage.
namespace AppMover {

// The file name of the installed copy and of the copy looked for on removable media.
inline const QString bundleName = QStringLiteral("Quillora.AppImage");

// Where things are on this system. Tests point these at folders of their own.
struct Places {
    QString home;     // the user's home folder
    QString userName; // the folder udisks makes for this user under a media root
    // Folders under which removable media are mounted, in search order.
    QStringList mediaRoots;

    // $HOME, the login name, "/media" and "/run/media".
    static Places system();
};

// What the mover needs from the desktop: the two alerts, starting a program and quitting.
class Desktop {
public:
    virtual ~Desktop() = default;

    // Brings the program to the front and asks whether to move it; true for "Sposta in Applicazioni".
    virtual bool confirmMove() = 0;
    // The failure alert; `description` says what went wrong.
    virtual void showFailure(const QString& description) = 0;
    // Starts `program` as a new, independent process; false when it could not be started.
    virtual bool launch(const QString& program) = 0;
    // Ends this program once control is back in its event loop.
    virtual void quit() = 0;
};

// Message boxes, QProcess and the application's event loop.
class SystemDesktop final : public Desktop {
public:
    bool confirmMove() override;
    void showFailure(const QString& description) override;
    // The new copy does not inherit the variables that describe this running AppImage.
    bool launch(const QString& program) override;
    void quit() override;
};

// `home`/Applications/Quillora.AppImage
QString destinationPath(const Places& places);

// Whether to offer the move for a program running from `bundlePath`: it lies under a media root (plain,
// case-sensitive prefix tests) or its path contains "/AppTranslocation/", and it is neither inside
// ~/Applications nor the installed copy itself reached by another path.
bool shouldOffer(const QString& bundlePath, const Places& places);

// The copy of the program on a mounted removable volume, if there is one. Each media root is searched in
// turn: first the volumes in the user's own folder (<root>/<user>/<volume>, where udisks mounts them),
// then volumes mounted straight under the root (<root>/<volume>, fstab entries and older systems).
// Volumes are taken in name order; the first <volume>/Quillora.AppImage that is a regular file wins.
// Other users' folders are not searched.
std::optional<QString> originalBundlePath(const Places& places);

enum class Outcome { notOffered, declined, failed, moved };

// The whole offer for a program running from `bundlePath`. Accepted, it puts an existing installed copy
// in the trash, copies the program (from the volume when it finds one there) into place, logs the move,
// starts the new copy and quits, whether or not the start succeeded. A failure shows the failure alert
// and leaves the running program as it is.
Outcome offerMove(const QString& bundlePath, const Places& places, Desktop& desktop);

// At launch, on the main thread: offerMove() for this program, on this system, with message boxes.
void offerMoveIfNeeded();

} // namespace AppMover
