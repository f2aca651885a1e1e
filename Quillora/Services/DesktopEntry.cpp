#include "Quillora/Services/DesktopEntry.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QStringList>

namespace {

// An argument of Exec: quoted, with the characters special inside quotes escaped, then with backslashes
// and percent signs escaped once more for the entry's string value and field codes.
QString execArgument(const QString& program) {
    QString quoted;
    for (const QChar c : program) {
        if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$') ||
            c == QLatin1Char('\\')) {
            quoted += QLatin1Char('\\');
        }
        quoted += c;
    }
    quoted = QLatin1Char('"') + quoted + QLatin1Char('"');
    return quoted.replace(QLatin1Char('\\'), QStringLiteral("\\\\"))
        .replace(QLatin1Char('%'), QStringLiteral("%%"));
}

// TryExec is a plain string value: only backslashes are escaped.
QString stringValue(const QString& text) {
    return QString(text).replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
}

std::optional<QString> writeFile(const QString& path, const QByteArray& bytes) {
    if (!QDir().mkpath(QFileInfo(path).absolutePath())) {
        return QStringLiteral("non riesco a creare la cartella %1").arg(QFileInfo(path).absolutePath());
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        return QStringLiteral("non riesco a scrivere %1: %2").arg(path, file.errorString());
    }
    return std::nullopt;
}

} // namespace

namespace DesktopEntry {

std::optional<QString> forProgram(const QString& templateText, const QString& program) {
    QStringList lines = templateText.split(QLatin1Char('\n'));
    bool inMainGroup = false;
    bool sawMainGroup = false;
    for (QString& line : lines) {
        if (line.startsWith(QLatin1Char('['))) {
            inMainGroup = line.trimmed() == QStringLiteral("[Desktop Entry]");
            sawMainGroup = sawMainGroup || inMainGroup;
        } else if (inMainGroup && line.startsWith(QStringLiteral("Exec="))) {
            line = QStringLiteral("Exec=") + execArgument(program);
        } else if (inMainGroup && line.startsWith(QStringLiteral("TryExec="))) {
            line = QStringLiteral("TryExec=") + stringValue(program);
        }
    }
    if (!sawMainGroup) {
        return std::nullopt;
    }
    return lines.join(QLatin1Char('\n'));
}

std::optional<QString> install(const QString& templatePath, const QString& program, const QString& folder) {
    QFile packaged(templatePath);
    if (!packaged.open(QIODevice::ReadOnly)) {
        return QStringLiteral("non riesco a leggere %1: %2").arg(templatePath, packaged.errorString());
    }
    const std::optional<QString> text = forProgram(QString::fromUtf8(packaged.readAll()), program);
    if (!text) {
        return QStringLiteral("%1 non è una voce del menu applicazioni").arg(templatePath);
    }
    return writeFile(QDir(folder).filePath(applicationId + QStringLiteral(".desktop")), text->toUtf8());
}

std::optional<QString> installIcon(const QString& svg, const QString& dataHome) {
    QFile icon(svg);
    if (!icon.open(QIODevice::ReadOnly)) {
        return QStringLiteral("non riesco a leggere %1: %2").arg(svg, icon.errorString());
    }
    return writeFile(QDir(dataHome).filePath(QStringLiteral("icons/hicolor/scalable/apps/") + applicationId +
                                             QStringLiteral(".svg")),
                     icon.readAll());
}

} // namespace DesktopEntry
