#include "QuilloraCore/FileNaming.h"

#include <QDir>
#include <QFile>
#include <QLocale>
#include <QStandardPaths>
#include <string>
#include <system_error>

namespace FileNaming {

namespace {

std::filesystem::path localPath(const QString& path) {
    return QFile::encodeName(path).toStdString();
}

} // namespace

bool existsOnDisk(const std::filesystem::path& path) {
    // Not following links: a dangling link must not be taken as a free name and then written through.
    std::error_code error;
    return std::filesystem::exists(std::filesystem::symlink_status(path, error));
}

std::filesystem::path defaultDirectory() {
    QString music = QStandardPaths::writableLocation(QStandardPaths::MusicLocation);
    if (music.isEmpty()) {
        music = QDir::homePath() + QStringLiteral("/Music");
    }
    return localPath(music) / "Quillora";
}

std::filesystem::path recordingURL(const std::filesystem::path& directory, const QDateTime& date,
                                   const std::function<bool(const std::filesystem::path&)>& fileExists) {
    // The C locale keeps the name the same whatever the user's regional settings (digits, separators).
    const QString stamp = QLocale::c().toString(date.toLocalTime(), QStringLiteral("yyyy-MM-dd HH.mm"));
    const std::string base = "Chiamata " + stamp.toStdString();

    std::filesystem::path candidate = directory / (base + ".m4a");
    for (long long n = 2; fileExists(candidate); ++n) {
        candidate = directory / (base + " (" + std::to_string(n) + ").m4a");
    }
    return candidate;
}

} // namespace FileNaming
