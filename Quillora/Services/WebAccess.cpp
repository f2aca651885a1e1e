#include "Quillora/Services/WebAccess.h"

#include <QCoreApplication>
#include <QHostAddress>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>
#include <memory>

namespace WebAccess {

bool isLoopbackHost(const QString& host) {
    if (host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0) {
        return true;
    }
    const QHostAddress address(host);
    return !address.isNull() && address.isLoopback();
}

Address check(const QString& text) {
    const QUrl url(text.trimmed(), QUrl::StrictMode);
    if (text.trimmed().isEmpty() || !url.isValid() || url.isRelative() || url.host().isEmpty()) {
        return {{}, QStringLiteral("\"%1\" non è un indirizzo valido").arg(text)};
    }
    const QString scheme = url.scheme().toLower();
    if (scheme == QLatin1String("https") || (scheme == QLatin1String("http") && isLoopbackHost(url.host()))) {
        return {url, {}};
    }
    return {{}, QStringLiteral("\"%1\" non usa https").arg(text)};
}

QNetworkAccessManager& network() {
    static QPointer<QNetworkAccessManager> shared;
    if (shared.isNull()) {
        QCoreApplication* app = QCoreApplication::instance();
        Q_ASSERT(app != nullptr);
        // Owned by the application object, so it goes before the event machinery it relies on.
        shared = new QNetworkAccessManager(app);
    }
    return *shared;
}

void send(Exchange exchange, QObject* context, std::function<void(Response)> done) {
    QNetworkRequest request = exchange.request;
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::UserVerifiedRedirectPolicy);
    request.setMaximumRedirectsAllowed(5);
    request.setTransferTimeout(static_cast<int>(exchange.timeout.count()));

    QNetworkReply* reply = exchange.verb == "GET"
                               ? network().get(request)
                               : network().sendCustomRequest(request, exchange.verb, exchange.body);
    auto response = std::make_shared<Response>();
    const qint64 maxBody = exchange.maxBody;

    // Stops the transfer for a reason of our own; the reply then finishes with a cancelled error.
    auto refuse = [reply, response](QString why, bool tooLarge) {
        if (response->failure.isEmpty()) {
            response->failure = std::move(why);
            response->tooLarge = tooLarge;
            response->body.clear();
            reply->abort();
        }
    };

    QObject::connect(reply, &QNetworkReply::redirected, reply, [reply, refuse](const QUrl& target) {
        const QUrl resolved = reply->url().resolved(target);
        if (check(resolved.toString()).usable()) {
            emit reply->redirectAllowed();
        } else {
            refuse(QStringLiteral("reindirizzamento verso un indirizzo non ammesso (%1)")
                       .arg(resolved.toDisplayString()),
                   false);
        }
    });
    auto tooLarge = [maxBody]() {
        return QStringLiteral("risposta troppo grande (oltre %1 byte)").arg(maxBody);
    };
    QObject::connect(reply, &QNetworkReply::metaDataChanged, reply, [reply, refuse, maxBody, tooLarge] {
        const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
        if (length.isValid() && length.toLongLong() > maxBody) {
            refuse(tooLarge(), true);
        }
    });
    QObject::connect(reply, &QNetworkReply::readyRead, reply,
                     [reply, response, refuse, maxBody, tooLarge, progress = std::move(exchange.progress)] {
                         if (!response->failure.isEmpty()) {
                             return;
                         }
                         // Read at most one byte past the limit: enough to know it was passed, never more
                         // in memory.
                         response->body += reply->read(maxBody + 1 - response->body.size());
                         if (response->body.size() > maxBody) {
                             refuse(tooLarge(), true);
                         } else if (progress) {
                             progress(response->body.size());
                         }
                     });
    QObject::connect(reply, &QNetworkReply::finished, reply, &QObject::deleteLater);
    // `destroyed` comes from the context's base destructor, when the rest of it is gone already: the
    // abort it causes finishes the reply at once, and that must not reach `done`.
    auto abandoned = std::make_shared<bool>(false);
    if (context != nullptr) {
        QObject::connect(context, &QObject::destroyed, reply, [reply, abandoned] {
            *abandoned = true;
            reply->abort();
        });
    }
    QObject::connect(reply, &QNetworkReply::finished, context != nullptr ? context : reply,
                     [reply, response, maxBody, tooLarge, abandoned, done = std::move(done)] {
                         if (*abandoned) {
                             return;
                         }
                         if (response->failure.isEmpty()) {
                             response->body += reply->read(maxBody + 1 - response->body.size());
                             if (response->body.size() > maxBody) {
                                 response->failure = tooLarge();
                                 response->tooLarge = true;
                                 response->body.clear();
                             }
                         }
                         const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
                         if (status.isValid()) {
                             response->status = status.toInt();
                         }
                         if (response->failure.isEmpty() && !response->status &&
                             reply->error() != QNetworkReply::NoError) {
                             response->failure = reply->errorString();
                             response->networkError = static_cast<int>(reply->error());
                         }
                         done(std::move(*response));
                     });
}

} // namespace WebAccess
