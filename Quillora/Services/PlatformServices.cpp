#include "Quillora/Services/PlatformServices.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTextStream>
#include <canberra.h>

namespace DesktopEntries {

namespace {

QStringList splitPaths(const QByteArray& value) {
    return QString::fromLocal8Bit(value).split(QLatin1Char(':'), Qt::SkipEmptyParts);
}

// The unescaped value of a desktop entry string (\s, \n, \t, \r, \\).
QString unescape(const QString& value) {
    QString result;
    result.reserve(value.size());
    for (qsizetype i = 0; i < value.size(); ++i) {
        const QChar c = value[i];
        if (c != QLatin1Char('\\') || i + 1 == value.size()) {
            result += c;
            continue;
        }
        const QChar next = value[++i];
        if (next == QLatin1Char('s')) {
            result += QLatin1Char(' ');
        } else if (next == QLatin1Char('n')) {
            result += QLatin1Char('\n');
        } else if (next == QLatin1Char('t')) {
            result += QLatin1Char('\t');
        } else if (next == QLatin1Char('r')) {
            result += QLatin1Char('\r');
        } else {
            result += next;
        }
    }
    return result;
}

// The locale keys to try, most specific first, then "" for the plain key.
QStringList localeCandidates(QString locale) {
    const qsizetype dot = locale.indexOf(QLatin1Char('.'));
    const qsizetype at = locale.indexOf(QLatin1Char('@'));
    QString modifier;
    if (at >= 0) {
        modifier = locale.mid(at);
    }
    if (dot >= 0) {
        locale.truncate(dot);
    } else if (at >= 0) {
        locale.truncate(at);
    }
    const QString lang = locale.section(QLatin1Char('_'), 0, 0);
    const bool hasCountry = locale.contains(QLatin1Char('_'));
    QStringList candidates;
    if (lang.isEmpty() || lang == QLatin1String("C") || lang == QLatin1String("POSIX")) {
        return {QString()};
    }
    if (hasCountry && !modifier.isEmpty()) {
        candidates << locale + modifier;
    }
    if (hasCountry) {
        candidates << locale;
    }
    if (!modifier.isEmpty()) {
        candidates << lang + modifier;
    }
    candidates << lang << QString();
    return candidates;
}

} // namespace

QStringList applicationDataDirectories() {
    QStringList folders;
    QString dataHome = QString::fromLocal8Bit(qgetenv("XDG_DATA_HOME"));
    if (dataHome.isEmpty()) {
        dataHome = QDir::homePath() + QStringLiteral("/.local/share");
    }
    folders << dataHome;
    QStringList dataDirs = splitPaths(qgetenv("XDG_DATA_DIRS"));
    if (dataDirs.isEmpty()) {
        dataDirs = {QStringLiteral("/usr/local/share"), QStringLiteral("/usr/share")};
    }
    folders << dataDirs;
    // Flatpak adds its export folders to XDG_DATA_DIRS only in sessions started after its installation.
    for (const QString& exports : {dataHome + QStringLiteral("/flatpak/exports/share"),
                                   QStringLiteral("/var/lib/flatpak/exports/share")}) {
        if (!folders.contains(exports)) {
            folders << exports;
        }
    }
    return folders;
}

QString messagesLocale() {
    for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const QByteArray value = qgetenv(variable);
        if (!value.isEmpty()) {
            return QString::fromLocal8Bit(value);
        }
    }
    return QStringLiteral("C");
}

std::optional<QString> applicationName(const QString& id, const QStringList& dataDirectories,
                                       const QString& locale) {
    if (id.isEmpty() || id.contains(QLatin1Char('/'))) {
        return std::nullopt;
    }
    for (const QString& folder : dataDirectories) {
        QFile file(folder + QStringLiteral("/applications/") + id + QStringLiteral(".desktop"));
        if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
            continue;
        }
        // The first folder that has the entry decides, even when it hides the application.
        QTextStream in(&file);
        bool inMainGroup = false;
        bool hidden = false;
        QHash<QString, QString> names; // locale ("" for none) -> value
        while (!in.atEnd()) {
            const QString line = in.readLine().trimmed();
            if (line.isEmpty() || line.startsWith(QLatin1Char('#'))) {
                continue;
            }
            if (line.startsWith(QLatin1Char('['))) {
                inMainGroup = line == QLatin1String("[Desktop Entry]");
                continue;
            }
            if (!inMainGroup) {
                continue;
            }
            const qsizetype equals = line.indexOf(QLatin1Char('='));
            if (equals < 0) {
                continue;
            }
            const QString key = line.left(equals).trimmed();
            const QString value = line.mid(equals + 1).trimmed();
            if (key == QLatin1String("Hidden")) {
                hidden = value == QLatin1String("true");
            } else if (key == QLatin1String("Name")) {
                names.insert(QString(), unescape(value));
            } else if (key.startsWith(QLatin1String("Name[")) && key.endsWith(QLatin1Char(']'))) {
                names.insert(key.mid(5, key.size() - 6), unescape(value));
            }
        }
        if (hidden) {
            return std::nullopt;
        }
        for (const QString& candidate : localeCandidates(locale)) {
            const auto found = names.constFind(candidate);
            if (found != names.cend() && !found->isEmpty()) {
                return *found;
            }
        }
        return std::nullopt;
    }
    return std::nullopt;
}

} // namespace DesktopEntries

std::optional<QStringList> soundSettingsCommand(const std::function<bool(const QString& program)>& exists) {
    const QList<QStringList> commands = {
        {QStringLiteral("gnome-control-center"), QStringLiteral("sound")},
        {QStringLiteral("systemsettings"), QStringLiteral("kcm_pulseaudio")},
        {QStringLiteral("pavucontrol")},
    };
    for (const QStringList& command : commands) {
        if (exists(command.first())) {
            return command;
        }
    }
    return std::nullopt;
}

namespace {

struct CanberraContextDeleter {
    void operator()(ca_context* context) const { ca_context_destroy(context); }
};

// Played in this process, so that the recording's exclusion of our own audio covers it.
class EventSound {
public:
    void play() {
        if (!context_) {
            ca_context* created = nullptr;
            if (ca_context_create(&created) != CA_SUCCESS) {
                return;
            }
            context_.reset(created);
            ca_context_change_props(context_.get(), CA_PROP_APPLICATION_NAME, "Quillora", nullptr);
        }
        // Asynchronous; the context stays alive for the life of the services so playback is not cut.
        ca_context_play(context_.get(), 0, CA_PROP_EVENT_ID, "message-new-instant", nullptr);
    }

private:
    std::unique_ptr<ca_context, CanberraContextDeleter> context_;
};

class DesktopPlatformServices final : public PlatformServices {
public:
    void openLocation(const QUrl& location) override { QDesktopServices::openUrl(location); }

    void revealFile(const std::filesystem::path& file) override {
        const QString path = QString::fromStdString(file.string());
        QDBusMessage call = QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("/org/freedesktop/FileManager1"),
            QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
        call << QStringList{QUrl::fromLocalFile(path).toString()} << QString();
        const QDBusMessage reply = QDBusConnection::sessionBus().call(call, QDBus::Block, 3000);
        if (reply.type() != QDBusMessage::ReplyMessage) {
            openLocation(QUrl::fromLocalFile(QFileInfo(path).absolutePath()));
        }
    }

    void openSoundSettings() override {
        const auto command = soundSettingsCommand(
            [](const QString& program) { return !QStandardPaths::findExecutable(program).isEmpty(); });
        if (command) {
            QProcess::startDetached(command->first(), command->mid(1));
        }
    }

    void playAlertSound() override { sound_.play(); }

    std::optional<QString> applicationName(const std::string& identifier) override {
        return DesktopEntries::applicationName(QString::fromStdString(identifier),
                                               DesktopEntries::applicationDataDirectories(),
                                               DesktopEntries::messagesLocale());
    }

private:
    EventSound sound_;
};

} // namespace

std::unique_ptr<PlatformServices> PlatformServices::desktop() {
    return std::make_unique<DesktopPlatformServices>();
}
