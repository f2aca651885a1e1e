#include "AppTestSupport.h"

#include "QuilloraCore/Diagnostics.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QTcpSocket>

LocalHttpServer::LocalHttpServer() {
    if (!server_.listen(QHostAddress::LocalHost, 0)) {
        qFatal("the test server cannot listen on 127.0.0.1");
    }
    connect(&server_, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket* socket = server_.nextPendingConnection()) {
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] {
                // the whole request: headers, then Content-Length bytes of body
                const QByteArray buffered = socket->peek(socket->bytesAvailable());
                const qsizetype headerEnd = buffered.indexOf("\r\n\r\n");
                Request request;
                const QList<QByteArray> lines = buffered.left(headerEnd).split('\n');
                for (const QByteArray& line : lines.mid(1)) {
                    const qsizetype colon = line.indexOf(':');
                    request.headers[line.left(colon).trimmed().toLower()] = line.mid(colon + 1).trimmed();
                }
                const qsizetype length = request.headers.value("content-length", "0").toLongLong();
                if (headerEnd < 0 || buffered.size() < headerEnd + 4 + length) {
                    return;
                }
                socket->read(headerEnd + 4 + length);
                const QList<QByteArray> requestLine = lines.first().trimmed().split(' ');
                request.method = requestLine.value(0);
                request.path = requestLine.value(1);
                request.body = buffered.mid(headerEnd + 4, length);
                requests.append(request);
                const Reply reply = replies_.value(request.path, Reply{404, "not found"});
                if (!reply.hang) {
                    socket->write("HTTP/1.1 " + QByteArray::number(reply.status) +
                                  " Canned\r\nContent-Length: " + QByteArray::number(reply.body.size()) +
                                  (reply.location.isEmpty() ? "" : "\r\nLocation: " + reply.location) +
                                  "\r\nConnection: close\r\n\r\n" + reply.body);
                    socket->disconnectFromHost();
                }
            });
        }
    });
}

void writeFile(const QString& path, const QByteArray& contents) {
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
                file.write(contents) == contents.size())
        << path.toStdString();
}

QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray rssFeed(const QByteArray& items) {
    return "<rss version=\"2.0\" xmlns:sparkle=\"http://www.andymatuschak.org/xml-namespaces/sparkle\">"
           "<channel><title>Quillora</title>" +
           items + "</channel></rss>";
}

QByteArray appcastFeed(const QByteArray& version, const QByteArray& shortVersion,
                       const QByteArray& enclosures) {
    return rssFeed("<item><title>Quillora</title><sparkle:version>" + version +
                   "</sparkle:version><sparkle:shortVersionString>" + shortVersion +
                   "</sparkle:shortVersionString>" + enclosures + "</item>");
}

// The log, preferences and desktop entries go into a folder of this run, before their places are fixed.
int main(int argc, char** argv) {
    QTemporaryDir home;
    for (const char* name : {"STATE", "CONFIG", "DATA"}) {
        qputenv((QByteArray("XDG_") + name + "_HOME").constData(), (home.path() + '/' + name).toUtf8());
    }
    qunsetenv("QUILLORA_INFO_INI");
    qunsetenv("APPIMAGE");
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Tandrevel"));
    QApplication::setApplicationName(QStringLiteral("Quillora"));
    const int result = RUN_ALL_TESTS();
    Diagnostics::flush();
    return result;
}
