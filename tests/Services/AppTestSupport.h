#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QMap>
#include <QObject>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QUrl>
#include <chrono>
#include <functional>

// A tiny HTTP/1.1 server on 127.0.0.1 for the tests: it answers each request with the canned reply set
// for its path (404 otherwise), closes the connection and remembers what it was sent.
class LocalHttpServer : public QObject {
    Q_OBJECT

public:
    struct Reply {
        int status = 200;
        QByteArray contentType = "application/json";
        QByteArray body;
        QList<QPair<QByteArray, QByteArray>> headers;
        bool hang = false; // take the request, never answer
    };
    struct Request {
        QByteArray method;
        QByteArray path;
        QMap<QByteArray, QByteArray> headers; // names in lower case
        QByteArray body;
    };

    LocalHttpServer();

    void setReply(const QByteArray& path, Reply reply) { replies_[path] = std::move(reply); }
    // "http://127.0.0.1:<port>" + path
    QString url(const QString& path = {}) const;
    const QList<Request>& requests() const { return requests_; }

private:
    void serve(class QTcpSocket* socket);

    QTcpServer server_;
    QMap<QByteArray, Reply> replies_;
    QList<Request> requests_;
};

// Runs the event loop until `done` holds or the timeout passes.
bool waitUntil(const std::function<bool()>& done,
               std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));
// Runs the event loop for a while (to show that something does NOT happen).
void spin(std::chrono::milliseconds time);
// A port on 127.0.0.1 where nothing listens.
quint16 closedPort();

// An Info.ini of the test's own, chosen through QUILLORA_INFO_INI for as long as it lives.
class InfoIni {
public:
    // "key=value" lines, written as they are.
    explicit InfoIni(const QStringList& lines);
    ~InfoIni();

    InfoIni(const InfoIni&) = delete;
    InfoIni& operator=(const InfoIni&) = delete;

    QString path() const { return dir_.filePath(QStringLiteral("Info.ini")); }

private:
    QTemporaryDir dir_;
};

// The diagnostics log as it is once every queued line is written.
QString logText();
