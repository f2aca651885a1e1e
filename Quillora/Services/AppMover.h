#pragma once

#include <QString>
#include <QStringList>
#include <optional>

// Offers, at launch, to move a portable copy of the program (the folder the portable archive unpacks to)
// into ~/Applications/Quillora when it runs from removable media (a USB stick, an SD card) or from where a
// first launch happens before the user has put it anywhere (the download folder, a temporary folder).
// Accepted, it also installs the user's desktop entry and icon, starts the new copy, puts the old one in
// the trash and quits. From there the program updates itself and appears in the application grid.
//
// An installed package is never offered a move: its bundle path is its executable, not a portable folder.
namespace AppMover {

// The installed copy's folder name in ~/Applications.
inline const QString bundleName = QStringLiteral("Quillora");

// Where things are on this system. Tests point these at folders of their own.
struct Places {
    QString home;     // the user's home folder
    QString dataHome; // where the user's desktop entries and icons go (~/.local/share)
    QString userName; // the folder udisks makes for this user under a media root
    // Folders under which removable media are mounted, in search order.
    QStringList mediaRoots;
    // Where an archive is unpacked and run before being put in place: downloads and temporary folders.
    QStringList firstLaunchRoots;

    // $HOME, XDG_DATA_HOME, the login name, "/media" and "/run/media", the download folder, the temporary
    // folder, "/tmp" and "/var/tmp".
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
    // Starts `program` as a new, independent process once this one has ended; false when it could not be
    // started.
    virtual bool launch(const QString& program) = 0;
    // Ends this program once control is back in its event loop.
    virtual void quit() = 0;
};

// Message boxes, QProcess and the application's event loop.
class SystemDesktop final : public Desktop {
public:
    bool confirmMove() override;
    void showFailure(const QString& description) override;
    bool launch(const QString& program) override;
    void quit() override;
};

// `home`/Applications/Quillora
QString destinationPath(const Places& places);

// Whether `folder` is a portable copy: the marker at its top and bin/quillora.
bool isPortableCopy(const QString& folder);

// Whether to offer the move for a program whose bundle path is `bundlePath`: it is a portable copy, it
// lies under a media root or a first-launch root (plain, case-sensitive prefix tests), and it is neither
// inside ~/Applications nor the installed copy itself reached by another path.
bool shouldOffer(const QString& bundlePath, const Places& places);

// A portable copy on a mounted removable volume, if there is one. Each media root is searched in turn:
// first the volumes in the user's own folder (<root>/<user>/<volume>, where udisks mounts them), then
// volumes mounted straight under the root (<root>/<volume>, fstab entries and older systems). Volumes and
// their folders are taken in name order; the first <volume>/<folder> that is a portable copy wins. Other
// users' folders are not searched.
std::optional<QString> originalBundlePath(const Places& places);

enum class Outcome { notOffered, declined, failed, moved };

// The whole offer for a program whose bundle path is `bundlePath`. Accepted, it puts an existing installed
// copy in the trash, copies the portable folder (from a volume when the running copy sits in a first-launch
// folder and a volume has one) into place through a hidden folder renamed when complete, installs the
// user's desktop entry and icon, logs the move, starts the new copy, trashes the running copy once the new
// one has started, and quits. A failure shows the failure alert and leaves the running program as it is.
Outcome offerMove(const QString& bundlePath, const Places& places, Desktop& desktop);

// At launch, on the main thread: offerMove() for this program, on this system, with message boxes.
void offerMoveIfNeeded();

} // namespace AppMover
