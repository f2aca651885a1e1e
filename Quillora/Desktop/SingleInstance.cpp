#include "Quillora/Desktop/SingleInstance.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QLocalSocket>
#include <QThread>
#include <unistd.h>

namespace {

QString sessionFolder() {
    QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (runtime.isEmpty() || !QDir(runtime).exists()) {
        // No runtime folder (a bare X session): a private folder of our own in the temporary folder.
        runtime = QDir::tempPath() + QStringLiteral("/quillora-") + QString::number(getuid());
        QDir().mkpath(runtime);
        QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    return runtime;
}

} // namespace

SingleInstance::SingleInstance(QString folder, QObject* parent)
    : QObject(parent), folder_(folder.isEmpty() ? sessionFolder() : std::move(folder)) {
    server_.setSocketOptions(QLocalServer::UserAccessOption);
    connect(&server_, &QLocalServer::newConnection, this, &SingleInstance::serve);
}

SingleInstance::~SingleInstance() = default;

QString SingleInstance::requestArgument(Request request) {
    return request == Request::show ? QStringLiteral("show") : QStringLiteral("quiet");
}

bool SingleInstance::claim() {
    lock_ = std::make_unique<QLockFile>(folder_ + QStringLiteral("/quillora.lock"));
    // Never stale by age: a lock is stale only when its process is gone (QLockFile checks that).
    lock_->setStaleLockTime(0);
    if (!lock_->tryLock(0)) {
        lock_.reset();
        return false;
    }
    const QString socket = folder_ + QStringLiteral("/quillora.socket");
    QLocalServer::removeServer(socket); // left behind by a copy that was killed
    server_.listen(socket);
    return true;
}

bool SingleInstance::handOver(Request request, int patienceMs) const {
    const QDeadlineTimer deadline(patienceMs);
    do {
        QLocalSocket socket;
        socket.connectToServer(folder_ + QStringLiteral("/quillora.socket"));
        if (socket.waitForConnected(1000)) {
            socket.write((requestArgument(request) + QLatin1Char('\n')).toUtf8());
            socket.flush();
            while (socket.waitForReadyRead(2000)) {
                if (socket.readAll().contains("ok")) {
                    return true;
                }
            }
        }
        QThread::msleep(200);
    } while (!deadline.hasExpired());
    return false;
}

void SingleInstance::serve() {
    while (QLocalSocket* client = server_.nextPendingConnection()) {
        connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
        connect(client, &QLocalSocket::readyRead, this, [this, client] {
            if (!client->canReadLine()) {
                return;
            }
            const QByteArray line = client->readLine().trimmed();
            client->write("ok\n");
            client->flush();
            emit requested(line == "show" ? Request::show : Request::quiet);
        });
    }
}
