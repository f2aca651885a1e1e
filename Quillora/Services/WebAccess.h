#pragma once

#include <QByteArray>
#include <QNetworkRequest>
#include <QString>
#include <QUrl>
#include <chrono>
#include <functional>
#include <optional>

class QNetworkAccessManager;
class QObject;

// The program's way onto the network: which addresses it talks to, and one bounded HTTP exchange.
namespace WebAccess {

// An address checked before use. Only https is used, except towards this machine (a loopback address
// or "localhost"), where plain http is allowed for development and tests.
struct Address {
    QUrl url;        // valid when `problem` is empty
    QString problem; // why the text cannot be used, in Italian; empty when it can

    bool usable() const { return problem.isEmpty(); }
};

Address check(const QString& text);
bool isLoopbackHost(const QString& host);

// What came back from one request.
struct Response {
    std::optional<int> status; // the HTTP status, when an HTTP response arrived at all
    QByteArray body;           // at most the limit given to send()
    bool tooLarge = false;     // the body (or its announced length) went past the limit; nothing is kept
    QString failure;           // transport failure, refused redirect or oversize body; empty otherwise
    int networkError = 0;      // QNetworkReply::NetworkError of a transport failure
};

struct Exchange {
    QByteArray verb = "GET";
    QNetworkRequest request;
    QByteArray body;
    qint64 maxBody = 64 * 1024;
    std::chrono::milliseconds timeout{20000};
    // Called with the bytes of the body received so far, as they arrive.
    std::function<void(qint64)> progress;
};

// The process's HTTP client, created on first use as a child of the application object (which must exist).
QNetworkAccessManager& network();

// Sends one request and calls `done` once with the response, on the thread of `context`, unless
// `context` is destroyed first (the request is then abandoned). Redirects are followed only towards
// addresses that pass check(), at most 5 times.
void send(Exchange exchange, QObject* context, std::function<void(Response)> done);

} // namespace WebAccess
