// The feedback service's answer and the message length count. Input: the answer's body as received; the
// same bytes are also counted as a message, read as UTF-8 and as raw UTF-16 (lone surrogates included).
#include "FuzzSupport.h"
#include "Quillora/Services/FeedbackSender.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <algorithm>

using FuzzSupport::require;

namespace {

void checkAnswer(const QByteArray& body) {
    const std::optional<FeedbackSender::Response> response = FeedbackSender::decodeResponse(body);
    const QJsonDocument document = QJsonDocument::fromJson(body);
    if (!response) {
        return;
    }
    require(document.isObject(), "an answer is a JSON object");
    const QJsonObject object = document.object();
    require(object.value(QStringLiteral("ok")) == QJsonValue(response->ok), "ok is the boolean sent");
    const QJsonValue error = object.value(QStringLiteral("error"));
    require(response->error ? error == QJsonValue(*response->error) : (error.isUndefined() || error.isNull()),
            "error is the string sent, or absent");
}

void checkCount(const QString& text) {
    const int count = FeedbackSender::characterCount(text);
    require(count >= 0 && count <= text.size(), "at most one character per code unit");
    require((count == 0) == text.isEmpty(), "only the empty text has no characters");
    // Printable ASCII has no combining sequences: one character per letter.
    const bool printableAscii = std::all_of(
        text.begin(), text.end(), [](QChar c) { return c >= QLatin1Char(' ') && c <= QLatin1Char('~'); });
    if (printableAscii) {
        require(count == text.size(), "printable ASCII counts one per letter");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray body = FuzzSupport::bytes(data, size);
    checkAnswer(body);
    checkCount(QString::fromUtf8(body));
    QString units(static_cast<qsizetype>(size / 2), Qt::Uninitialized);
    for (qsizetype i = 0; i < units.size(); ++i) {
        units[i] = QChar(static_cast<char16_t>(data[2 * i] | data[2 * i + 1] << 8));
    }
    checkCount(units);
    return 0;
}
