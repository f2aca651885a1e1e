#pragma once

#include "Quillora/Services/Appcast.h"

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <QTimer>
#include <functional>
#include <optional>

// Hands a package file to PackageKit, the desktop's package installer on the system bus, which asks the
// user for authorisation through polkit as the software centre does. The environment variable
// QUILLORA_PACKAGEKIT_BUS, when set, is the address of the bus to use instead (a test hook: the tests run
// a stand-in service on a private bus).
class PackageKitClient : public QObject {
    Q_OBJECT

public:
    // Called once: nothing when PackageKit reports the package installed, else what went wrong (Italian).
    using Done = std::function<void(std::optional<QString>)>;

    explicit PackageKitClient(QObject* parent = nullptr);
    void installFile(const QString& path, Done done);

private slots:
    void onErrorCode(uint code, const QString& details);
    void onFinished(uint exit, uint runtime);

private:
    void call(const QString& path, const QString& interface, const QString& method,
              const QVariantList& arguments, std::function<void(const QDBusMessage&)> next);
    void fail(const QString& description);

    QDBusConnection bus_;
    QString transaction_;
    QString error_;
    Done done_;
};

// Replacing a portable copy in one step.
namespace PortableSwap {

// Unpacks `archive` (a .tar.gz holding one portable copy) into a hidden folder beside `folder`, checks that
// it holds a portable copy, then exchanges the two folders in one rename and removes the old copy. Until
// that rename `folder` is untouched; a run killed at any point leaves either the old or the new copy
// whole under its name. Leftovers of an interrupted run are removed by the next one. Returns what went
// wrong, or nothing.
std::optional<QString> replace(const QString& folder, const QString& archive);

} // namespace PortableSwap

// Installs a release the user chose: downloads the file for this kind of installation (the .deb, or the
// portable archive when the program runs from a portable copy), checks its length and signature, waits
// while installing is not allowed (a recording runs), then hands the .deb to PackageKit or swaps the
// portable copy. Nothing unverified is ever installed.
class UpdateInstaller : public QObject {
    Q_OBJECT

public:
    struct Result {
        QString problem; // in Italian; empty when the update is installed
        QString program; // the program to start in place of this one
    };
    using Progress = std::function<void(qint64 received, qint64 total)>;

    explicit UpdateInstaller(QObject* parent = nullptr);

    // One installation at a time; `done` is called once, unless this object goes first. `waiting` is called
    // when the verified package has to wait until installing is allowed.
    void start(const AppcastItem& update, Progress progress, std::function<void()> waiting,
               std::function<void(Result)> done);
    bool busy() const { return static_cast<bool>(done_); }

    // Whether the installation may proceed now; asked again every second while it says no.
    std::function<bool()> mayInstallNow = [] { return true; };
    // The running program, which decides the kind of installation.
    QString executable;

    // Starts `program` once this process has ended, so that a single-instance check in the new one does
    // not find this one still there.
    static bool relaunchAfterExit(const QString& program);

private:
    void verified(QByteArray file, Appcast::PackageKind kind, QString folder);
    void install();
    void finish(Result result);

    std::function<void(Result)> done_;
    std::function<void()> waiting_;
    QByteArray file_;
    Appcast::PackageKind kind_ = Appcast::PackageKind::deb;
    QString portable_;
    QString version_;
    QTimer wait_;
};
