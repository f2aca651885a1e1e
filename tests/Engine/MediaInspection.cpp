#include "MediaInspection.h"

#include <QProcess>
#include <QString>
#include <QStringList>

namespace {

struct Output {
    int exitCode = -1;
    QString out;
    QString err;
};

Output runTool(const QString& program, const QStringList& arguments) {
    QProcess process;
    process.start(program, arguments);
    Output result;
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit) {
        result.err = program + QStringLiteral(" did not finish");
        return result;
    }
    result.exitCode = process.exitCode();
    result.out = QString::fromUtf8(process.readAllStandardOutput());
    result.err = QString::fromUtf8(process.readAllStandardError());
    return result;
}

} // namespace

MediaInspection MediaInspection::of(const std::filesystem::path& file) {
    const QString path = QString::fromStdString(file.string());
    MediaInspection inspection;

    const Output probe =
        runTool(QStringLiteral("ffprobe"),
                {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-select_streams"),
                 QStringLiteral("a:0"), QStringLiteral("-show_entries"),
                 QStringLiteral("stream=codec_name,channels,sample_rate:format=duration"),
                 QStringLiteral("-of"), QStringLiteral("default=noprint_wrappers=1"), path});
    for (const QString& line : probe.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        const QString key = line.section(QLatin1Char('='), 0, 0);
        const QString value = line.section(QLatin1Char('='), 1);
        if (key == QLatin1String("codec_name")) {
            inspection.codec = value.toStdString();
        } else if (key == QLatin1String("channels")) {
            inspection.channels = value.toInt();
        } else if (key == QLatin1String("sample_rate")) {
            inspection.sampleRate = value.toInt();
        } else if (key == QLatin1String("duration")) {
            inspection.seconds = value.toDouble();
        }
    }

    const Output decode = runTool(QStringLiteral("ffmpeg"),
                                  {QStringLiteral("-nostdin"), QStringLiteral("-v"), QStringLiteral("error"),
                                   QStringLiteral("-i"), path, QStringLiteral("-f"), QStringLiteral("null"),
                                   QStringLiteral("-")});
    inspection.decodes = probe.exitCode == 0 && decode.exitCode == 0 && decode.err.trimmed().isEmpty() &&
                         !inspection.codec.empty();
    inspection.errors = (probe.err + decode.err).toStdString();
    return inspection;
}
