#include "Quillora/Services/FeedbackSender.h"

#include "Quillora/Services/AppInfo.h"
#include "Quillora/Services/WebAccess.h"
#include "QuilloraCore/Diagnostics.h"

#include <QJsonDocument>
#include <QJsonValue>
#include <QMetaObject>
#include <QNetworkReply>
#include <QPointer>
#include <QSysInfo>
#include <QTextBoundaryFinder>

namespace FeedbackSender {

namespace {

// A real answer is a few dozen bytes; anything past this is not one.
constexpr qint64 maxAnswerBytes = 64 * 1024;

QUrl feedbackURL(QUrl base) {
    // A path join: exactly one separator between the base path and "api/feedback".
    QString path = base.path();
    if (!path.endsWith(QLatin1Char('/'))) {
        path += QLatin1Char('/');
    }
    base.setPath(path + QStringLiteral("api/feedback"));
    return base;
}

Error refusal(const QString& description) {
    return {Error::Kind::refused, QStringLiteral("Quillora"), 1, description};
}

} // namespace

QJsonObject requestBody(const Message& message) {
    const QJsonObject app{
        {QStringLiteral("version"), AppInfo::version()},
        {QStringLiteral("build"), AppInfo::build()},
        // The service reads the operating system under this key, whatever the system.
        {QStringLiteral("macOS"), QSysInfo::prettyProductName()},
        {QStringLiteral("arch"), QSysInfo::buildCpuArchitecture()},
        {QStringLiteral("microphone"), message.microphone.value_or(QString())},
    };
    return {
        {QStringLiteral("message"), message.message},
        {QStringLiteral("name"), message.name},
        {QStringLiteral("email"), message.email},
        {QStringLiteral("diagnostics"), message.diagnostics.value_or(QString())},
        {QStringLiteral("platform"), QStringLiteral("linux")},
        {QStringLiteral("app"), app},
    };
}

std::optional<Response> decodeResponse(const QByteArray& body) {
    QJsonParseError parseError{};
    const QJsonDocument document = QJsonDocument::fromJson(body, &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject()) {
        return std::nullopt;
    }
    const QJsonObject object = document.object();
    const QJsonValue ok = object.value(QStringLiteral("ok"));
    const QJsonValue error = object.value(QStringLiteral("error"));
    if (!ok.isBool() || !(error.isUndefined() || error.isNull() || error.isString())) {
        return std::nullopt;
    }
    Response response;
    response.ok = ok.toBool();
    if (error.isString()) {
        response.error = error.toString();
    }
    return response;
}

int characterCount(const QString& text) {
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    int count = 0;
    while (finder.toNextBoundary() > 0) {
        ++count;
    }
    return count;
}

void send(const Message& message, QObject* context, std::function<void(std::optional<Error>)> done) {
    const WebAccess::Address service = AppInfo::serviceURL();
    if (!service.usable()) {
        const QString description =
            QStringLiteral("Indirizzo del servizio di feedback non utilizzabile: %1.").arg(service.problem);
        Diagnostics::log(("Feedback non inviato: " + description).toStdString());
        // Answered from the event loop, like every other outcome.
        QMetaObject::invokeMethod(
            context != nullptr ? context : &WebAccess::network(),
            [description, done = std::move(done)] {
                done(Error{Error::Kind::invalidAddress, QStringLiteral("Quillora"), 2, description});
            },
            Qt::QueuedConnection);
        return;
    }

    WebAccess::Exchange exchange;
    exchange.verb = "POST";
    exchange.request.setUrl(feedbackURL(service.url));
    exchange.request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    exchange.body = QJsonDocument(requestBody(message)).toJson(QJsonDocument::Compact);
    exchange.maxBody = maxAnswerBytes;
    exchange.timeout = std::chrono::seconds(20);

    const int characters = characterCount(message.message);
    WebAccess::send(
        std::move(exchange), context, [characters, done = std::move(done)](WebAccess::Response response) {
            if (!response.failure.isEmpty() && !response.tooLarge) {
                done(Error{Error::Kind::transport, QStringLiteral("QtNetwork"), response.networkError,
                           response.failure});
                return;
            }
            const std::optional<Response> answer =
                response.tooLarge ? std::nullopt : decodeResponse(response.body);
            if (response.status == 200 && answer && answer->ok) {
                Diagnostics::log("Feedback inviato (" + std::to_string(characters) + " caratteri)");
                done(std::nullopt);
                return;
            }
            // An empty error text would leave the user with nothing to read.
            if (answer && answer->error && !answer->error->trimmed().isEmpty()) {
                done(refusal(*answer->error));
            } else {
                done(refusal(noAnswerText));
            }
        });
}

} // namespace FeedbackSender
