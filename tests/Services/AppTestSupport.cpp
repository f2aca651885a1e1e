#include "AppTestSupport.h"

#include "QuilloraCore/Diagnostics.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTcpSocket>
#include <QThread>

LocalHttpServer::LocalHttpServer() {
    if (!server_.listen(QHostAddress::LocalHost, 0)) {
        qFatal("the test server cannot listen on 127.0.0.1");
    }
    connect(&server_, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket* socket = server_.nextPendingConnection()) {
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] { serve(socket); });
        }
    });
}

QString LocalHttpServer::url(const QString& path) const {
    return QStringLiteral("http://127.0.0.1:%1%2").arg(server_.serverPort()).arg(path);
}

void LocalHttpServer::serve(QTcpSocket* socket) {
    // Wait for the whole request: headers, then Content-Length bytes of body.
    const QByteArray buffered = socket->peek(socket->bytesAvailable());
    const qsizetype headerEnd = buffered.indexOf("\r\n\r\n");
    if (headerEnd < 0) {
        return;
    }
    Request request;
    const QList<QByteArray> lines = buffered.left(headerEnd).split('\n');
    const QList<QByteArray> requestLine = lines.first().trimmed().split(' ');
    request.method = requestLine.value(0);
    request.path = requestLine.value(1);
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const qsizetype colon = lines[i].indexOf(':');
        if (colon > 0) {
            request.headers[lines[i].left(colon).trimmed().toLower()] = lines[i].mid(colon + 1).trimmed();
        }
    }
    const qsizetype length = request.headers.value("content-length", "0").toLongLong();
    if (buffered.size() < headerEnd + 4 + length) {
        return;
    }
    socket->read(headerEnd + 4 + length);
    request.body = buffered.mid(headerEnd + 4, length);
    requests_.append(request);

    const Reply reply = replies_.value(request.path, Reply{404, "text/plain", "not found", {}, false});
    if (reply.hang) {
        return;
    }
    QByteArray answer = "HTTP/1.1 " + QByteArray::number(reply.status) + " Canned\r\n";
    answer += "Content-Type: " + reply.contentType + "\r\n";
    answer += "Content-Length: " + QByteArray::number(reply.body.size()) + "\r\n";
    for (const auto& [name, value] : reply.headers) {
        answer += name + ": " + value + "\r\n";
    }
    answer += "Connection: close\r\n\r\n" + reply.body;
    socket->write(answer);
    socket->disconnectFromHost();
}

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeout.count()) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
    return true;
}

void spin(std::chrono::milliseconds time) {
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < time.count()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
}

quint16 closedPort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    const quint16 port = probe.serverPort();
    probe.close();
    return port;
}

InfoIni::InfoIni(const QStringList& lines) {
    QFile file(path());
    if (!file.open(QIODevice::WriteOnly)) {
        qFatal("cannot write the test's Info.ini");
    }
    file.write((lines.join(QLatin1Char('\n')) + QLatin1Char('\n')).toUtf8());
    file.close();
    qputenv("QUILLORA_INFO_INI", path().toUtf8());
}

InfoIni::~InfoIni() {
    // A newer InfoIni may have taken over already.
    if (qEnvironmentVariable("QUILLORA_INFO_INI") == path()) {
        qunsetenv("QUILLORA_INFO_INI");
    }
}

QString logText() {
    Diagnostics::flush();
    QFile file(QString::fromStdString(Diagnostics::fileURL().string()));
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    return QString::fromUtf8(file.readAll());
}
