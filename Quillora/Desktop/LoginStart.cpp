#include "Quillora/Desktop/LoginStart.h"

#include "QuilloraCore/Diagnostics.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QSaveFile>
#include <QSettings>
#include <QStandardPaths>

namespace LoginStart {

namespace {

const QString firstRunKey = QStringLiteral("loginStartApplied");

// How the entry names this program: by name when that is what the PATH finds, else by its full path,
// quoted as desktop entries quote.
QString thisProgram() {
    const QString self = QFileInfo(QCoreApplication::applicationFilePath()).canonicalFilePath();
    const QString onPath = QStandardPaths::findExecutable(QStringLiteral("quillora"));
    if (!onPath.isEmpty() && QFileInfo(onPath).canonicalFilePath() == self) {
        return QStringLiteral("quillora");
    }
    QString quoted = self;
    for (const QString& special :
         {QStringLiteral("\\"), QStringLiteral("\""), QStringLiteral("`"), QStringLiteral("$")}) {
        quoted.replace(special, QStringLiteral("\\") + special);
    }
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

} // namespace

QString entryPath() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/autostart/com.tandrevel.Quillora.desktop");
}

bool isEnabled() {
    QFile entry(entryPath());
    if (!entry.open(QIODevice::ReadOnly)) {
        return false;
    }
    // Desktop settings tools turn an entry off without removing it.
    const QByteArray text = entry.readAll();
    return !text.contains("\nHidden=true") && !text.contains("\nX-GNOME-Autostart-enabled=false");
}

QString entryText(const QString& program) {
    return QStringLiteral("[Desktop Entry]\n"
                          "Type=Application\n"
                          "Name=Quillora\n"
                          "Comment=Registra le chiamate dal vassoio di sistema\n"
                          "Exec=%1 %2\n"
                          "Icon=com.tandrevel.Quillora\n"
                          "Terminal=false\n"
                          "NoDisplay=true\n"
                          "X-GNOME-Autostart-enabled=true\n")
        .arg(program, argument);
}

bool setEnabled(bool enabled) {
    if (!enabled) {
        return !QFileInfo::exists(entryPath()) || QFile::remove(entryPath());
    }
    if (!QDir().mkpath(QFileInfo(entryPath()).path())) {
        return false;
    }
    QSaveFile file(entryPath());
    if (!file.open(QIODevice::WriteOnly)) {
        return false;
    }
    file.write(entryText(thisProgram()).toUtf8());
    return file.commit();
}

void applyAtStart() {
    QSettings settings;
    const bool firstRun = !settings.value(firstRunKey, false).toBool();
    if (firstRun || isEnabled()) {
        if (!setEnabled(true)) {
            Diagnostics::log("Avvio all'accesso non impostato: impossibile scrivere " +
                             entryPath().toStdString());
            return;
        }
    }
    settings.setValue(firstRunKey, true);
}

} // namespace LoginStart
