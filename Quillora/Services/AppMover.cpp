#include "Quillora/Services/AppMover.h"

#include "Quillora/Services/AppInfo.h"
#include "Quillora/Services/DesktopEntry.h"
#include "Quillora/Services/UpdateInstaller.h"
#include "QuilloraCore/Diagnostics.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QPushButton>
#include <QStandardPaths>
#include <QStorageInfo>
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <pwd.h>
#include <system_error>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

fs::path toPath(const QString& path) {
    return fs::path(path.toStdString());
}

// Whether something, even a dangling symbolic link, is at `path`.
bool entryExists(const QString& path) {
    std::error_code error;
    return fs::exists(fs::symlink_status(toPath(path), error));
}

// The directory entry `path` names: its folders resolved, a final symbolic link kept as it is.
fs::path entryOf(const QString& path) {
    const fs::path given = toPath(path);
    std::error_code error;
    const fs::path folder = fs::weakly_canonical(given.parent_path(), error);
    return error ? given.lexically_normal() : folder / given.filename();
}

// Whether the two paths lead to the same file, so that replacing one would destroy the other.
bool sameFile(const QString& a, const QString& b) {
    std::error_code error;
    return entryOf(a) == entryOf(b) || fs::equivalent(toPath(a), toPath(b), error);
}

// Whether `path` lies inside one of `roots`.
bool under(const QString& path, const QStringList& roots) {
    return std::any_of(roots.begin(), roots.end(),
                       [&path](const QString& root) { return path.startsWith(root + QLatin1Char('/')); });
}

QString applicationsFolder(const AppMover::Places& places) {
    return QDir(places.home).filePath(QStringLiteral("Applications"));
}

// Subfolders of `folder` in name order; none when it cannot be listed.
QStringList subfolders(const QString& folder) {
    return QDir(folder).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
}

// Copies the folder `source` to `destination` through a hidden folder beside it that is renamed into
// place only once complete: a failed or interrupted copy never leaves a partial copy under the
// destination's name. Returns what went wrong, or nothing.
std::optional<QString> copyIntoPlace(const QString& source, const QString& destination) {
    const fs::path target = toPath(destination);
    std::string pattern = (target.parent_path() / ("." + target.filename().string() + ".XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        return QStringLiteral("non riesco a scrivere in %1").arg(QFileInfo(destination).absolutePath());
    }
    const fs::path staging(pattern);
    std::error_code error;
    fs::copy(toPath(source), staging, fs::copy_options::recursive | fs::copy_options::copy_symlinks, error);
    if (!error) {
        fs::rename(staging, target, error);
    }
    if (error) {
        std::error_code ignored;
        fs::remove_all(staging, ignored);
        return QStringLiteral("non riesco a copiare %1 in %2: %3")
            .arg(source, destination, QString::fromStdString(error.message()));
    }
    return std::nullopt;
}

// The folders a trashed file may end up in (their "files" subfolder): the user's trash, or one at the top
// of the file's own volume.
QStringList trashFolders(const QString& original) {
    const QString uid = QString::number(::getuid());
    const QDir top(QStorageInfo(QFileInfo(original).absolutePath()).rootPath());
    QStringList folders;
    for (const QString& folder :
         {QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/Trash"),
          top.filePath(QStringLiteral(".Trash/") + uid), top.filePath(QStringLiteral(".Trash-") + uid)}) {
        if (const QString canonical = QFileInfo(folder).canonicalFilePath(); !canonical.isEmpty()) {
            folders.append(canonical);
        }
    }
    return folders;
}

// Moves `path` to the trash. Returns what went wrong, or nothing.
//
// When the user's trash cannot be made, QFile::moveToTrash (Qt 6.4) reports success after moving the file
// into "files" and "info" folders of the current folder, where nobody would look for it. Such a move is
// undone and reported as a failure.
std::optional<QString> moveToTrash(const QString& path) {
    const QDir here = QDir::current();
    const bool hadFiles = here.exists(QStringLiteral("files"));
    const bool hadInfo = here.exists(QStringLiteral("info"));
    QFile file(path);
    if (!file.moveToTrash()) {
        return QStringLiteral("non riesco a spostare %1 nel cestino: %2").arg(path, file.errorString());
    }
    const QFileInfo moved(file.fileName());
    QDir base = moved.absoluteDir();
    base.cdUp();
    if (moved.absoluteDir().dirName() == QStringLiteral("files") &&
        trashFolders(path).contains(QFileInfo(base.absolutePath()).canonicalFilePath())) {
        return std::nullopt;
    }
    QFile::rename(moved.absoluteFilePath(), path);
    QFile::remove(base.filePath(QStringLiteral("info/") + moved.fileName() + QStringLiteral(".trashinfo")));
    if (base == here) {
        if (!hadFiles) {
            here.rmdir(QStringLiteral("files"));
        }
        if (!hadInfo) {
            here.rmdir(QStringLiteral("info"));
        }
    }
    return QStringLiteral("non riesco a spostare %1 nel cestino: il cestino non è disponibile").arg(path);
}

} // namespace

namespace AppMover {

Places Places::system() {
    QString user;
    if (const passwd* entry = ::getpwuid(::geteuid()); entry != nullptr && entry->pw_name != nullptr) {
        user = QString::fromLocal8Bit(entry->pw_name);
    } else {
        user = qEnvironmentVariable("USER");
    }
    QStringList firstLaunch{QStandardPaths::writableLocation(QStandardPaths::DownloadLocation),
                            QDir::tempPath(), QStringLiteral("/tmp"), QStringLiteral("/var/tmp")};
    firstLaunch.removeAll(QString());
    firstLaunch.removeAll(QDir::homePath()); // no download folder: the home folder is not one
    firstLaunch.removeDuplicates();
    return Places{QDir::homePath(),
                  QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation),
                  user,
                  {QStringLiteral("/media"), QStringLiteral("/run/media")},
                  firstLaunch};
}

bool isPortableCopy(const QString& folder) {
    std::error_code error;
    return fs::is_regular_file(toPath(folder) / AppInfo::portableMarker.toStdString(), error) &&
           fs::is_regular_file(toPath(folder) / "bin" / "quillora", error);
}

QString destinationPath(const Places& places) {
    return QDir(applicationsFolder(places)).filePath(bundleName);
}

bool shouldOffer(const QString& bundlePath, const Places& places) {
    if (!under(bundlePath, places.mediaRoots) && !under(bundlePath, places.firstLaunchRoots)) {
        return false;
    }
    if (!isPortableCopy(bundlePath)) {
        return false;
    }
    if (bundlePath.startsWith(applicationsFolder(places) + QLatin1Char('/'))) {
        return false;
    }
    // A home folder reached through a link can make the installed copy look like one on a volume.
    return !sameFile(bundlePath, destinationPath(places));
}

std::optional<QString> originalBundlePath(const Places& places) {
    for (const QString& root : places.mediaRoots) {
        QStringList volumes;
        if (!places.userName.isEmpty()) {
            const QString own = QDir(root).filePath(places.userName);
            for (const QString& volume : subfolders(own)) {
                volumes.append(QDir(own).filePath(volume));
            }
        }
        for (const QString& volume : subfolders(root)) {
            if (volume != places.userName) {
                volumes.append(QDir(root).filePath(volume));
            }
        }
        for (const QString& volume : volumes) {
            for (const QString& folder : subfolders(volume)) {
                if (const QString candidate = QDir(volume).filePath(folder); isPortableCopy(candidate)) {
                    return candidate;
                }
            }
        }
    }
    return std::nullopt;
}

Outcome offerMove(const QString& bundlePath, const Places& places, Desktop& desktop) {
    if (!shouldOffer(bundlePath, places)) {
        return Outcome::notOffered;
    }
    if (!desktop.confirmMove()) {
        return Outcome::declined;
    }
    const auto fail = [&desktop](const QString& description) {
        desktop.showFailure(description);
        return Outcome::failed;
    };

    const QString destination = destinationPath(places);
    // A copy run from a first-launch folder is taken from the volume it came from, when one is mounted.
    const QString source = under(bundlePath, places.firstLaunchRoots)
                               ? originalBundlePath(places).value_or(bundlePath)
                               : bundlePath;
    // Checked before anything is touched, so that a source that cannot be copied does not cost the user
    // the copy already installed.
    if (!isPortableCopy(source)) {
        return fail(QStringLiteral("%1 non è una copia portatile di Quillora").arg(source));
    }
    if (sameFile(source, destination)) {
        return fail(QStringLiteral("%1 è già la copia in Applicazioni").arg(source));
    }
    if (!QDir().mkpath(applicationsFolder(places))) {
        return fail(QStringLiteral("non riesco a creare la cartella %1").arg(applicationsFolder(places)));
    }
    if (entryExists(destination)) {
        if (const std::optional<QString> problem = moveToTrash(destination)) {
            return fail(*problem);
        }
    }
    if (const std::optional<QString> problem = copyIntoPlace(source, destination)) {
        return fail(*problem);
    }
    const QString program = QDir(destination).filePath(QStringLiteral("bin/quillora"));
    const QDir installed(destination);
    if (const std::optional<QString> problem = DesktopEntry::install(
            installed.filePath(QStringLiteral("share/applications/") + DesktopEntry::applicationId +
                               QStringLiteral(".desktop")),
            program, QDir(places.dataHome).filePath(QStringLiteral("applications")))) {
        return fail(*problem);
    }
    if (const std::optional<QString> problem = DesktopEntry::installIcon(
            installed.filePath(QStringLiteral("share/icons/hicolor/scalable/apps/") +
                               DesktopEntry::applicationId + QStringLiteral(".svg")),
            places.dataHome)) {
        return fail(*problem);
    }

    Diagnostics::log("Spostata in Applicazioni da " + source.toStdString());
    // The running copy ends whether or not the new one starts: the user can open it from the menu. It goes
    // to the trash only once the new one is on its way.
    if (desktop.launch(program)) {
        if (const std::optional<QString> problem = moveToTrash(bundlePath)) {
            Diagnostics::log("La copia precedente resta dov'era: " + problem->toStdString());
        }
    }
    desktop.quit();
    return Outcome::moved;
}

void offerMoveIfNeeded() {
    SystemDesktop desktop;
    offerMove(AppInfo::bundlePath(), Places::system(), desktop);
}

// ----- the real desktop -----

namespace {

void prepare(QMessageBox& box) {
    box.setWindowTitle(QStringLiteral("Quillora"));
    if (const QIcon icon = QApplication::windowIcon(); !icon.isNull()) {
        box.setIconPixmap(icon.pixmap(64));
    }
}

} // namespace

bool SystemDesktop::confirmMove() {
    QMessageBox box;
    prepare(box);
    box.setText(QStringLiteral("Sposta Quillora in Applicazioni"));
    box.setInformativeText(QStringLiteral("Quillora è aperta dal disco di installazione. Spostala in "
                                          "Applicazioni: così si aggiorna da sola e ricorda i permessi."));
    QPushButton* move = box.addButton(QStringLiteral("Sposta in Applicazioni"), QMessageBox::AcceptRole);
    QPushButton* notNow = box.addButton(QStringLiteral("Non ora"), QMessageBox::RejectRole);
    box.setDefaultButton(move);
    box.setEscapeButton(notNow);
    box.show();
    box.raise();
    box.activateWindow();
    box.exec();
    return box.clickedButton() == move;
}

void SystemDesktop::showFailure(const QString& description) {
    QMessageBox box;
    prepare(box);
    box.setText(QStringLiteral("Non riesco a spostare Quillora"));
    box.setInformativeText(
        QStringLiteral("Trascina Quillora nella cartella Applicazioni dal disco di installazione. (") +
        description + QLatin1Char(')'));
    box.setStandardButtons(QMessageBox::Ok);
    box.exec();
}

bool SystemDesktop::launch(const QString& program) {
    return UpdateInstaller::relaunchAfterExit(program);
}

void SystemDesktop::quit() {
    if (QCoreApplication* app = QCoreApplication::instance(); app != nullptr) {
        QMetaObject::invokeMethod(app, &QCoreApplication::quit, Qt::QueuedConnection);
    }
}

} // namespace AppMover
