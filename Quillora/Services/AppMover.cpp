#include "Quillora/Services/AppMover.h"

#include "Quillora/Services/AppInfo.h"
#include "QuilloraCore/Diagnostics.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QStorageInfo>
#include <QTemporaryFile>
#include <filesystem>
#include <pwd.h>
#include <system_error>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

const QString translocationMarker = QStringLiteral("/AppTranslocation/");

fs::path toPath(const QString& path) {
    return fs::path(path.toStdString());
}

bool isRegularFile(const QString& path) {
    std::error_code error;
    return fs::is_regular_file(fs::status(toPath(path), error));
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

QString applicationsFolder(const AppMover::Places& places) {
    return QDir(places.home).filePath(QStringLiteral("Applications"));
}

// Subfolders of `folder` in name order; none when it cannot be listed.
QStringList subfolders(const QString& folder) {
    return QDir(folder).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
}

// Copies `source` to `destination` through a temporary file in the destination's folder that is renamed
// into place only once complete and executable: a failed or interrupted copy never leaves a partial file
// under the destination's name. Returns what went wrong, or nothing.
std::optional<QString> copyIntoPlace(const QString& source, const QString& destination) {
    QFile input(source);
    if (!input.open(QIODevice::ReadOnly)) {
        return QStringLiteral("non riesco a leggere %1: %2").arg(source, input.errorString());
    }
    const QString folder = QFileInfo(destination).absolutePath();
    QTemporaryFile output(
        QDir(folder).filePath(QLatin1Char('.') + AppMover::bundleName + QStringLiteral(".XXXXXX")));
    if (!output.open()) {
        return QStringLiteral("non riesco a scrivere in %1: %2").arg(folder, output.errorString());
    }
    const auto writeFailed = [&] {
        return QStringLiteral("non riesco a scrivere in %1: %2").arg(folder, output.errorString());
    };
    QByteArray chunk(1 << 20, Qt::Uninitialized);
    while (true) {
        const qint64 count = input.read(chunk.data(), chunk.size());
        if (count < 0) {
            return QStringLiteral("non riesco a leggere %1: %2").arg(source, input.errorString());
        }
        if (count == 0) {
            break;
        }
        if (output.write(chunk.constData(), count) != count) {
            return writeFailed();
        }
    }
    const QFile::Permissions executable = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                          QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther |
                                          QFile::ExeOther;
    if (!output.flush() || ::fsync(output.handle()) != 0 || !output.setPermissions(executable)) {
        return writeFailed();
    }
    output.close();
    std::error_code error;
    fs::rename(toPath(output.fileName()), toPath(destination), error);
    if (error) {
        return QStringLiteral("non riesco a scrivere %1: %2")
            .arg(destination, QString::fromStdString(error.message()));
    }
    output.setAutoRemove(false); // it is the destination now
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
    return Places{QDir::homePath(), user, {QStringLiteral("/media"), QStringLiteral("/run/media")}};
}

QString destinationPath(const Places& places) {
    return QDir(applicationsFolder(places)).filePath(bundleName);
}

bool shouldOffer(const QString& bundlePath, const Places& places) {
    bool removable = false;
    for (const QString& root : places.mediaRoots) {
        removable = removable || bundlePath.startsWith(root + QLatin1Char('/'));
    }
    if (!removable && !bundlePath.contains(translocationMarker)) {
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
            const QString candidate = QDir(volume).filePath(bundleName);
            if (isRegularFile(candidate)) {
                return candidate;
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
    const QString source = originalBundlePath(places).value_or(bundlePath);
    // Checked before anything is touched, so that a source that cannot be copied does not cost the user
    // the copy already installed.
    if (!isRegularFile(source)) {
        return fail(QStringLiteral("%1 non è un file").arg(source));
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

    Diagnostics::log("Spostata in Applicazioni da " + source.toStdString());
    // The running copy ends whether or not the new one starts: the user can open it from there.
    desktop.launch(destination);
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
    QProcess process;
    process.setProgram(program);
    // These name the running AppImage; the new copy's own runtime sets them afresh.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const QString& name : {QStringLiteral("APPIMAGE"), QStringLiteral("APPDIR"), QStringLiteral("ARGV0"),
                                QStringLiteral("OWD")}) {
        environment.remove(name);
    }
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(QDir::homePath());
    return process.startDetached();
}

void SystemDesktop::quit() {
    if (QCoreApplication* app = QCoreApplication::instance(); app != nullptr) {
        QMetaObject::invokeMethod(app, &QCoreApplication::quit, Qt::QueuedConnection);
    }
}

} // namespace AppMover
