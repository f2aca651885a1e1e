#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <functional>
#include <optional>

class QObject;

// Posts a feedback message, optionally with the technical report, to the feedback service.
namespace FeedbackSender {

struct Message {
    QString message;                    // as typed
    QString name;                       // possibly empty
    QString email;                      // possibly empty
    std::optional<QString> diagnostics; // only when the user chose to attach the report
    std::optional<QString> microphone;  // the microphone in use, when known
};

// Why a message did not go through. `description` is what the user is shown.
struct Error {
    enum class Kind {
        refused,        // the service answered, but not with an acceptance (domain "Quillora", code 1)
        transport,      // no answer: no network, time-out, host not found... (Qt's own description)
        invalidAddress, // the configured service address cannot be used; nothing was sent
    };
    Kind kind = Kind::refused;
    QString domain;
    int code = 0;
    QString description;
};

// The service's answer: {"ok": bool, "error": optional string}; other keys are ignored.
struct Response {
    bool ok = false;
    std::optional<QString> error;
};

// The text shown when the service did not give a usable answer.
inline const QString noAnswerText = QStringLiteral("Il servizio non ha risposto. Riprova tra poco.");

// The request body: the message, sender, report, platform and the program's details.
QJsonObject requestBody(const Message& message);
// None unless `body` is a JSON object with a boolean "ok" (and, when present, a string or null "error").
std::optional<Response> decodeResponse(const QByteArray& body);
// User-perceived characters (grapheme clusters), not code units or bytes.
int characterCount(const QString& text);

// Sends the message to the service address + "api/feedback" and calls `done` once, on the thread of
// `context`: with no error when the service accepted it (status 200, "ok" true), with the reason otherwise.
// Nothing is called if `context` is destroyed first.
void send(const Message& message, QObject* context, std::function<void(std::optional<Error>)> done);

} // namespace FeedbackSender
