#include "Quillora/Services/AppInfo.h"

#include "Platform/Audio/AudioHardware.h"
#include "QuilloraCore/CallDetector.h"
#include "QuilloraCore/CoreAudioHelpers.h"
#include "QuilloraCore/Diagnostics.h"

#include <QFile>
#include <QSettings>
#include <QStringDecoder>
#include <QSysInfo>
#include <algorithm>
#include <filesystem>
#include <system_error>
#include <unistd.h>

namespace {

// Where feedback goes when Info.ini names no service.
const QString defaultServiceURL = QStringLiteral("https://feedback.tandrevel.com/quillora/");

// A key of Info.ini when it holds one plain string. A list (an unquoted value with commas) is not one.
std::optional<QString> infoString(const QString& key) {
    const QSettings info(AppInfo::infoFilePath(), QSettings::IniFormat);
    const QVariant value = info.value(key);
    if (value.typeId() != QMetaType::QString) {
        return std::nullopt;
    }
    return value.toString();
}

} // namespace

// Names of the system's default devices for the report.
namespace CoreAudioInfo {

// `selector` is kAudioHardwarePropertyDefaultInputDevice or ...OutputDevice. None when there is no such
// device or its name cannot be read.
std::optional<QString> name(AudioObjectPropertySelector selector) {
    AudioObjectID device = kAudioObjectUnknown;
    uint32_t size = sizeof device;
    const AudioObjectPropertyAddress address{selector, kAudioObjectPropertyScopeGlobal,
                                             kAudioObjectPropertyElementMain};
    if (AudioHardware::shared().getPropertyData(kAudioObjectSystemObject, address, 0, nullptr, &size,
                                                &device) != kAudioHardwareNoError ||
        device == kAudioObjectUnknown) {
        return std::nullopt;
    }
    try {
        const std::string deviceName = CoreAudio::string(device, kAudioObjectPropertyName);
        if (deviceName.empty()) {
            return std::nullopt;
        }
        return QString::fromStdString(deviceName);
    } catch (const CoreAudioError&) {
        return std::nullopt;
    }
}

} // namespace CoreAudioInfo

namespace AppInfo {

QString executablePath() {
    std::error_code error;
    const std::filesystem::path path = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? QString() : QString::fromStdString(path.string());
}

QString infoFilePath() {
    if (const QString chosen = qEnvironmentVariable("QUILLORA_INFO_INI"); !chosen.isEmpty()) {
        return chosen;
    }
    return infoFilePathFor(executablePath());
}

QString infoFilePathFor(const QString& executable) {
    const std::filesystem::path folder = std::filesystem::path(executable.toStdString()).parent_path();
    const std::filesystem::path installed = folder / ".." / "share" / "quillora" / "Info.ini";
    std::error_code error;
    if (std::filesystem::is_regular_file(installed, error)) {
        return QString::fromStdString(installed.lexically_normal().string());
    }
    return QString::fromStdString((folder / "Info.ini").string());
}

QString version() {
    return infoString(QStringLiteral("CFBundleShortVersionString")).value_or(QStringLiteral("dev"));
}

QString build() {
    return infoString(QStringLiteral("CFBundleVersion")).value_or(QStringLiteral("dev"));
}

WebAccess::Address serviceURL() {
    return WebAccess::check(infoString(QStringLiteral("QuilloraServiceURL")).value_or(defaultServiceURL));
}

QString feedURLString() {
    return infoString(QStringLiteral("SUFeedURL")).value_or(QString());
}

QString updatePublicKey() {
    return infoString(QStringLiteral("SUPublicEDKey")).value_or(QString());
}

QString architecture() {
    return infoString(QStringLiteral("QuilloraArchitecture")).value_or(QString());
}

std::optional<QString> portableFolder(const QString& executable) {
    const std::filesystem::path program(executable.toStdString());
    if (program.parent_path().filename() != "bin") {
        return std::nullopt;
    }
    const std::filesystem::path folder = program.parent_path().parent_path();
    std::error_code error;
    if (!std::filesystem::is_regular_file(folder / portableMarker.toStdString(), error)) {
        return std::nullopt;
    }
    return QString::fromStdString(folder.string());
}

QString bundlePath() {
    const QString executable = executablePath();
    return portableFolder(executable).value_or(executable);
}

QStringList lastLines(const QString& path, int count, qint64 maxBytes) {
    QFile file(path);
    if (count <= 0 || maxBytes <= 0 || !file.open(QIODevice::ReadOnly)) {
        return {};
    }
    const qint64 size = file.size();
    const qint64 limit = std::min(size, maxBytes);
    // Start with a window that usually holds enough lines; widen it only for long lines.
    qint64 window = std::min<qint64>(limit, 64 * 1024);
    while (true) {
        if (!file.seek(size - window)) {
            return {};
        }
        const QByteArray bytes = file.read(window);
        const bool wholeFile = window == size;
        // Walk back line by line. Unless the window holds the whole file, its first piece may be only the
        // end of a longer line and is left out.
        QList<QByteArrayView> kept;
        qsizetype end = bytes.size();
        for (qsizetype at = bytes.size() - 1; at >= -1 && kept.size() < count; --at) {
            if (at >= 0 && bytes[at] != '\n') {
                continue;
            }
            if (at < 0 && !wholeFile) {
                break;
            }
            if (end > at + 1) {
                kept.prepend(QByteArrayView(bytes).sliced(at + 1, end - at - 1));
            }
            end = at;
        }
        if (kept.size() == count || window == limit) {
            QStringList lines;
            // Stateless: each line is decoded on its own, so a sequence cut at a line's end is an error
            // instead of being completed by the next line's first bytes (or dropped at the last line).
            QStringDecoder decoder(QStringDecoder::Utf8, QStringConverter::Flag::Stateless);
            for (const QByteArrayView line : kept) {
                lines.append(decoder(line));
            }
            return decoder.hasError() ? QStringList() : lines;
        }
        window = std::min(limit, window * 4);
    }
}

QString diagnostics(const std::optional<QString>& microphone) {
    QStringList lines;
    lines.append(
        QStringLiteral("Quillora %1 (%2) · %3 · %4")
            .arg(version(), build(), QSysInfo::prettyProductName(), QSysInfo::buildCpuArchitecture()));
    lines.append(QStringLiteral("App: ") + bundlePath());
    const std::optional<QString> input =
        microphone ? microphone : CoreAudioInfo::name(kAudioHardwarePropertyDefaultInputDevice);
    lines.append(QStringLiteral("Microfono: ") + input.value_or(QStringLiteral("nessuno")));
    lines.append(
        QStringLiteral("Uscita: ") +
        CoreAudioInfo::name(kAudioHardwarePropertyDefaultOutputDevice).value_or(QStringLiteral("nessuna")));
    QStringList apps;
    for (const std::string& app : CallDetector::callApps(CallDetector::microphoneClients(), ::getpid())) {
        apps.append(QString::fromStdString(app));
    }
    lines.append(QStringLiteral("App che usano il microfono: ") + apps.join(QStringLiteral(", ")));
    lines.append(QString());
    lines.append(QStringLiteral("--- ultime righe del log ---"));
    // Lines still queued for the file belong in the report too.
    Diagnostics::flush();
    lines.append(lastLines(QString::fromStdString(Diagnostics::fileURL().string()), 120));
    return lines.join(QLatin1Char('\n'));
}

} // namespace AppInfo
