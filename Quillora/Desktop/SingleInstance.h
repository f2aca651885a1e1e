#pragma once

#include <QLocalServer>
#include <QLockFile>
#include <QObject>
#include <QString>
#include <memory>

// One graphical Quillora per session. The first copy holds a lock file in the session's runtime folder
// ($XDG_RUNTIME_DIR, private to the user) for as long as it runs and listens on a local socket beside it; a
// later launch finds the lock taken, tells the running copy why it was launched, and ends.
class SingleInstance : public QObject {
    Q_OBJECT

public:
    // What a later launch asks of the running copy.
    enum class Request { show, quiet };

    // `folder`: where the lock and the socket live; empty for the session's runtime folder.
    explicit SingleInstance(QString folder = {}, QObject* parent = nullptr);
    ~SingleInstance() override;

    // Takes the session for this process. False when another live process holds it.
    bool claim();

    // Passes `request` to the copy that holds the session, trying for up to `patienceMs` (it may still be
    // starting). True when it acknowledged.
    bool handOver(Request request, int patienceMs = 5000) const;

    static QString requestArgument(Request request);

signals:
    void requested(SingleInstance::Request request);

private:
    void serve();

    QString folder_;
    std::unique_ptr<QLockFile> lock_;
    QLocalServer server_;
};
