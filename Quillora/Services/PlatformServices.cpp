#include "Quillora/Services/PlatformServices.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
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
    // Snap's entries likewise (their names are "<snap>_<app>.desktop").
    if (!folders.contains(QStringLiteral("/var/lib/snapd/desktop"))) {
        folders << QStringLiteral("/var/lib/snapd/desktop");
    }
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

namespace {

// What the lookup needs of one desktop entry.
struct EntryFacts {
    QString name;           // localised Name; empty when it has none
    QString startupWMClass; // StartupWMClass
    QString program;        // the Exec line's program, after "env" and its assignments
    bool hidden = false;
    bool noDisplay = false;
};

std::optional<EntryFacts> readEntry(const QString& path, const QString& locale) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        return std::nullopt;
    }
    QTextStream in(&file);
    bool inMainGroup = false;
    EntryFacts facts;
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
        const qsizetype equals = line.indexOf(QLatin1Char('='));
        if (!inMainGroup || equals < 0) {
            continue;
        }
        const QString key = line.left(equals).trimmed();
        const QString value = line.mid(equals + 1).trimmed();
        if (key == QLatin1String("Hidden")) {
            facts.hidden = value == QLatin1String("true");
        } else if (key == QLatin1String("NoDisplay")) {
            facts.noDisplay = value == QLatin1String("true");
        } else if (key == QLatin1String("StartupWMClass")) {
            facts.startupWMClass = value;
        } else if (key == QLatin1String("Exec")) {
            QStringList words = unescape(value).split(QLatin1Char(' '), Qt::SkipEmptyParts);
            if (!words.isEmpty() && QFileInfo(words.first()).fileName() == QLatin1String("env")) {
                words.removeFirst();
                while (!words.isEmpty() && words.first().contains(QLatin1Char('='))) {
                    words.removeFirst();
                }
            }
            facts.program = words.isEmpty() ? QString() : words.first().remove(QLatin1Char('"'));
        } else if (key == QLatin1String("Name")) {
            names.insert(QString(), unescape(value));
        } else if (key.startsWith(QLatin1String("Name[")) && key.endsWith(QLatin1Char(']'))) {
            names.insert(key.mid(5, key.size() - 6), unescape(value));
        }
    }
    for (const QString& candidate : localeCandidates(locale)) {
        const auto found = names.constFind(candidate);
        if (found != names.cend() && !found->isEmpty()) {
            facts.name = *found;
            break;
        }
    }
    return facts;
}

// The file a program name or path stands for, links resolved ("google-chrome-stable" ->
// "/opt/google/chrome/google-chrome"); empty when it cannot be found.
QString resolvedProgram(const QString& program) {
    const QString path =
        program.contains(QLatin1Char('/')) ? program : QStandardPaths::findExecutable(program);
    return path.isEmpty() ? QString() : QFileInfo(path).canonicalFilePath();
}

bool isSharedProgramFolder(const QString& folder) {
    static const QStringList shared{QStringLiteral("/usr/bin"),       QStringLiteral("/bin"),
                                    QStringLiteral("/usr/local/bin"), QStringLiteral("/usr/games"),
                                    QStringLiteral("/usr/sbin"),      QStringLiteral("/snap/bin")};
    return shared.contains(folder);
}

// How well an entry matches the process, as desktops match a window to its launcher: 0 for not at all.
int matchStrength(const QString& desktopId, const EntryFacts& facts, const QString& identifier,
                  const QString& executable) {
    if (facts.startupWMClass.compare(identifier, Qt::CaseInsensitive) == 0) {
        return 5;
    }
    // Snap names its entries "<snap>_<app>"; its programs run from /snap/<snap>/.
    const qsizetype underscore = desktopId.indexOf(QLatin1Char('_'));
    if (desktopId.compare(identifier, Qt::CaseInsensitive) == 0 ||
        (underscore > 0 && desktopId.mid(underscore + 1).compare(identifier, Qt::CaseInsensitive) == 0)) {
        return 4;
    }
    if (underscore > 0 &&
        executable.startsWith(QStringLiteral("/snap/") + desktopId.left(underscore) + QLatin1Char('/'))) {
        return 4;
    }
    if (facts.program.isEmpty()) {
        return 0;
    }
    if (QFileInfo(facts.program).fileName() == identifier) {
        return 3;
    }
    if (executable.isEmpty()) {
        return 0;
    }
    const QString launched = resolvedProgram(facts.program);
    if (launched.isEmpty()) {
        return 0;
    }
    if (launched == QFileInfo(executable).canonicalFilePath()) {
        return 3;
    }
    // A launcher script beside the real program, in the application's own folder (/opt/<vendor>/<app>/).
    const QString folder = QFileInfo(launched).path();
    return !isSharedProgramFolder(folder) && folder == QFileInfo(executable).canonicalPath() ? 2 : 0;
}

} // namespace

std::optional<QString> applicationName(const QString& id, const QStringList& dataDirectories,
                                       const QString& locale, const QString& executable) {
    if (id.isEmpty() || id.contains(QLatin1Char('/'))) {
        return std::nullopt;
    }
    // The entry named after the identifier (a Flatpak id, a reverse-DNS application id) decides alone.
    for (const QString& folder : dataDirectories) {
        const QString path = folder + QStringLiteral("/applications/") + id + QStringLiteral(".desktop");
        if (const auto facts = readEntry(path, locale)) {
            // The first folder that has the entry decides, even when it hides the application.
            if (facts->hidden || facts->name.isEmpty()) {
                return std::nullopt;
            }
            return facts->name;
        }
    }
    // Otherwise the entry that matches best; a visible launcher before one hidden from the menus.
    QSet<QString> seen;
    int best = 0;
    QString bestName;
    for (const QString& folder : dataDirectories) {
        const QDir applications(folder + QStringLiteral("/applications"));
        for (const QString& file : applications.entryList({QStringLiteral("*.desktop")}, QDir::Files)) {
            const QString desktopId = file.chopped(8);
            if (seen.contains(desktopId)) {
                continue; // shadowed by the same entry in an earlier folder
            }
            seen.insert(desktopId);
            const auto facts = readEntry(applications.filePath(file), locale);
            if (!facts || facts->hidden || facts->name.isEmpty()) {
                continue;
            }
            const int strength =
                matchStrength(desktopId, *facts, id, executable) * 2 + (facts->noDisplay ? 0 : 1);
            if (strength > 1 && strength > best) {
                best = strength;
                bestName = facts->name;
            }
        }
    }
    return best > 0 ? std::optional<QString>(bestName) : std::nullopt;
}

QString tidyProgramName(const QString& identifier) {
    const QStringList pieces = identifier.split(QLatin1Char('.'), Qt::SkipEmptyParts);
    if (pieces.isEmpty()) {
        return identifier;
    }
    static const QStringList releaseWords{QStringLiteral("bin"), QStringLiteral("stable"),
                                          QStringLiteral("wrapped"), QStringLiteral("real")};
    QStringList words;
    for (const QString& word :
         pieces.last().split(QRegularExpression(QStringLiteral("[-_ ]+")), Qt::SkipEmptyParts)) {
        if (word.compare(QStringLiteral("esr"), Qt::CaseInsensitive) == 0) {
            words << QStringLiteral("ESR"); // "firefox-esr" reads "Firefox ESR", as its launcher says
        } else if (!releaseWords.contains(word.toLower())) {
            words << word.left(1).toUpper() + word.mid(1);
        }
    }
    return words.isEmpty() ? pieces.last() : words.join(QLatin1Char(' '));
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

    std::optional<QString> applicationName(const std::string& identifier, int32_t pid) override {
        const QString executable =
            pid > 0 ? QFileInfo(QStringLiteral("/proc/%1/exe").arg(pid)).symLinkTarget() : QString();
        return DesktopEntries::applicationName(QString::fromStdString(identifier),
                                               DesktopEntries::applicationDataDirectories(),
                                               DesktopEntries::messagesLocale(), executable);
    }

private:
    EventSound sound_;
};

} // namespace

std::unique_ptr<PlatformServices> PlatformServices::desktop() {
    return std::make_unique<DesktopPlatformServices>();
}
