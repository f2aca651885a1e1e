#include "Quillora/Services/UpdateInstaller.h"

#include "Quillora/Services/AppInfo.h"
#include "Quillora/Services/UpdateSignature.h"
#include "Quillora/Services/WebAccess.h"

#include <QCoreApplication>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>
#include <QDir>
#include <QPointer>
#include <QProcess>
#include <QSaveFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

const QString packageKitService = QStringLiteral("org.freedesktop.PackageKit");
const QString transactionInterface = QStringLiteral("org.freedesktop.PackageKit.Transaction");
constexpr uint exitSuccess = 1; // PackageKit's exit code for a transaction that did what it was asked
constexpr qint64 maxPackageBytes = qint64(1) << 30;

QDBusConnection packageKitBus() {
    if (const QString address = qEnvironmentVariable("QUILLORA_PACKAGEKIT_BUS"); !address.isEmpty()) {
        return QDBusConnection::connectToBus(address, QStringLiteral("quillora-packagekit"));
    }
    return QDBusConnection::systemBus();
}

QString systemError(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

} // namespace

// ----- PackageKit -----

PackageKitClient::PackageKitClient(QObject* parent) : QObject(parent), bus_(packageKitBus()) {}

void PackageKitClient::installFile(const QString& path, Done done) {
    done_ = std::move(done);
    error_.clear();
    if (!bus_.isConnected()) {
        fail(QStringLiteral("il bus di sistema non è raggiungibile, PackageKit non è disponibile"));
        return;
    }
    // A daemon that goes away mid-transaction never sends Finished.
    auto* watcher =
        new QDBusServiceWatcher(packageKitService, bus_, QDBusServiceWatcher::WatchForUnregistration, this);
    connect(watcher, &QDBusServiceWatcher::serviceUnregistered, this,
            [this] { fail(QStringLiteral("PackageKit si è interrotto durante l'installazione")); });
    call(QStringLiteral("/org/freedesktop/PackageKit"), packageKitService,
         QStringLiteral("CreateTransaction"), {}, [this, path](const QDBusMessage& reply) {
             transaction_ = reply.arguments().value(0).value<QDBusObjectPath>().path();
             if (transaction_.isEmpty()) {
                 fail(QStringLiteral("PackageKit non ha aperto una transazione"));
                 return;
             }
             bus_.connect(packageKitService, transaction_, transactionInterface, QStringLiteral("ErrorCode"),
                          this, SLOT(onErrorCode(uint, QString)));
             bus_.connect(packageKitService, transaction_, transactionInterface, QStringLiteral("Finished"),
                          this, SLOT(onFinished(uint, uint)));
             // Interactive: polkit may ask the user for authorisation.
             call(transaction_, transactionInterface, QStringLiteral("SetHints"),
                  {QStringList{QStringLiteral("interactive=true")}}, [this, path](const QDBusMessage&) {
                      call(transaction_, transactionInterface, QStringLiteral("InstallFiles"),
                           {QVariant::fromValue(qulonglong(0)), QStringList{path}},
                           [](const QDBusMessage&) {});
                  });
         });
}

void PackageKitClient::call(const QString& path, const QString& interface, const QString& method,
                            const QVariantList& arguments, std::function<void(const QDBusMessage&)> next) {
    QDBusMessage message = QDBusMessage::createMethodCall(packageKitService, path, interface, method);
    message.setArguments(arguments);
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(message), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher, next = std::move(next)] {
        watcher->deleteLater();
        const QDBusMessage reply = watcher->reply();
        if (reply.type() == QDBusMessage::ErrorMessage) {
            if (reply.errorName() == QStringLiteral("org.freedesktop.DBus.Error.ServiceUnknown")) {
                fail(QStringLiteral("PackageKit non è installato"));
            } else if (reply.errorName().endsWith(QStringLiteral("RefusedByPolicy")) ||
                       reply.errorName().endsWith(QStringLiteral("NotAuthorized"))) {
                fail(QStringLiteral("autorizzazione negata"));
            } else {
                fail(QStringLiteral("PackageKit ha rifiutato la richiesta: %1").arg(reply.errorMessage()));
            }
            return;
        }
        if (done_) {
            next(reply);
        }
    });
}

void PackageKitClient::onErrorCode(uint, const QString& details) {
    error_ = details;
}

void PackageKitClient::onFinished(uint exit, uint) {
    if (exit == exitSuccess) {
        if (Done done = std::exchange(done_, nullptr)) {
            done(std::nullopt);
        }
        return;
    }
    fail(error_.isEmpty() ? QStringLiteral("PackageKit ha interrotto l'installazione")
                          : QStringLiteral("PackageKit non ha installato il pacchetto: %1").arg(error_));
}

void PackageKitClient::fail(const QString& description) {
    if (Done done = std::exchange(done_, nullptr)) {
        done(description);
    }
}

// ----- the portable copy -----

namespace PortableSwap {

namespace {

const std::string stagingPrefix = ".quillora-update-";

std::optional<QString> unpack(const fs::path& archive, const fs::path& into) {
    const std::string archiveText = archive.string();
    const std::string intoText = into.string();
    std::vector<char*> argv{const_cast<char*>("tar"),
                            const_cast<char*>("-xzf"),
                            const_cast<char*>(archiveText.c_str()),
                            const_cast<char*>("-C"),
                            const_cast<char*>(intoText.c_str()),
                            const_cast<char*>("--no-same-owner"),
                            nullptr};
    pid_t child = 0;
    if (const int error = ::posix_spawnp(&child, "tar", nullptr, nullptr, argv.data(), environ); error != 0) {
        return QStringLiteral("non riesco ad avviare tar: %1").arg(systemError(error));
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        return QStringLiteral("l'archivio dell'aggiornamento non si estrae");
    }
    return std::nullopt;
}

} // namespace

std::optional<QString> replace(const QString& folderText, const QString& archiveText) {
    const fs::path folder = fs::path(folderText.toStdString()).lexically_normal();
    const fs::path parent = folder.parent_path();
    std::error_code error;
    for (const fs::directory_entry& entry : fs::directory_iterator(parent, error)) {
        if (entry.path().filename().string().starts_with(stagingPrefix)) {
            fs::remove_all(entry.path(), error); // an interrupted run's leftovers
        }
    }
    std::string pattern = (parent / (stagingPrefix + "XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        return QStringLiteral("non riesco a scrivere in %1: %2")
            .arg(QString::fromStdString(parent.string()), systemError(errno));
    }
    const fs::path staging(pattern);
    const auto fail = [&staging](const QString& description) {
        std::error_code ignored;
        fs::remove_all(staging, ignored);
        return description;
    };
    if (std::optional<QString> problem = unpack(fs::path(archiveText.toStdString()), staging)) {
        return fail(*problem);
    }
    std::vector<fs::path> tops;
    for (const fs::directory_entry& entry : fs::directory_iterator(staging, error)) {
        tops.push_back(entry.path());
    }
    if (tops.size() != 1 || !fs::is_regular_file(tops[0] / AppInfo::portableMarker.toStdString(), error) ||
        !fs::is_regular_file(tops[0] / "bin" / "quillora", error)) {
        return fail(
            QStringLiteral("l'archivio dell'aggiornamento non contiene una copia portatile di Quillora"));
    }
    const fs::path fresh = tops[0];
    if (::renameat2(AT_FDCWD, fresh.c_str(), AT_FDCWD, folder.c_str(), RENAME_EXCHANGE) != 0) {
        if (errno != EINVAL && errno != ENOSYS) {
            return fail(QStringLiteral("non riesco a sostituire %1: %2").arg(folderText, systemError(errno)));
        }
        // A file system without exchange: the old copy steps aside, the new one takes its name, and the
        // old one comes back if that fails. Only a kill between the two renames leaves the old copy in the
        // hidden folder (where the next run finds and removes it, after the user reinstalls).
        const fs::path aside = staging / "previous";
        fs::rename(folder, aside, error);
        if (error) {
            return fail(QStringLiteral("non riesco a sostituire %1: %2")
                            .arg(folderText, QString::fromStdString(error.message())));
        }
        fs::rename(fresh, folder, error);
        if (error) {
            std::error_code ignored;
            fs::rename(aside, folder, ignored);
            return fail(QStringLiteral("non riesco a sostituire %1: %2")
                            .arg(folderText, QString::fromStdString(error.message())));
        }
    }
    fail({}); // the hidden folder now holds the old copy
    return std::nullopt;
}

} // namespace PortableSwap

// ----- download, check, install -----

UpdateInstaller::UpdateInstaller(QObject* parent) : QObject(parent), executable(AppInfo::executablePath()) {
    wait_.setInterval(std::chrono::seconds(1));
    connect(&wait_, &QTimer::timeout, this, &UpdateInstaller::install);
}

void UpdateInstaller::start(const AppcastItem& update, Progress progress, std::function<void()> waiting,
                            std::function<void(Result)> done) {
    done_ = std::move(done);
    waiting_ = std::move(waiting);
    version_ = update.displayVersion;
    const std::optional<QString> folder = AppInfo::portableFolder(executable);
    const Appcast::PackageKind kind = folder ? Appcast::PackageKind::portable : Appcast::PackageKind::deb;
    const QString arch = AppInfo::architecture();
    const std::optional<AppcastEnclosure> enclosure = Appcast::enclosureFor(update, kind, arch);
    if (!enclosure) {
        finish(
            {QStringLiteral("il feed non offre %1 per questo sistema (%2)")
                 .arg(folder ? QStringLiteral("l'archivio portatile") : QStringLiteral("il pacchetto .deb"),
                      arch.isEmpty() ? QStringLiteral("architettura sconosciuta") : arch),
             {}});
        return;
    }
    if (enclosure->length < 0 || enclosure->length > maxPackageBytes) {
        finish({QStringLiteral("il feed non indica una dimensione valida per il pacchetto"), {}});
        return;
    }
    WebAccess::Exchange exchange;
    exchange.request.setUrl(enclosure->url);
    exchange.request.setHeader(QNetworkRequest::UserAgentHeader,
                               QStringLiteral("Quillora/%1 (Linux)").arg(AppInfo::version()));
    exchange.maxBody = enclosure->length;
    exchange.timeout = std::chrono::seconds(60); // without data; a slow download carries on
    const qint64 total = enclosure->length;
    exchange.progress = [progress, total](qint64 received) {
        if (progress) {
            progress(received, total);
        }
    };
    WebAccess::send(
        std::move(exchange), this,
        [this, enclosure = *enclosure, kind,
         folder = folder.value_or(QString())](WebAccess::Response response) {
            if (!response.failure.isEmpty()) {
                finish({QStringLiteral("download non riuscito: %1").arg(response.failure), {}});
            } else if (response.status != 200) {
                finish({QStringLiteral("download non riuscito: il server ha risposto con lo stato %1")
                            .arg(response.status.value_or(0)),
                        {}});
            } else if (const std::optional<QString> problem =
                           UpdateSignature::problem(response.body, enclosure.length, enclosure.edSignature,
                                                    AppInfo::updatePublicKey())) {
                finish({*problem, {}});
            } else {
                verified(std::move(response.body), kind, folder);
            }
        });
}

void UpdateInstaller::verified(QByteArray file, Appcast::PackageKind kind, QString folder) {
    file_ = std::move(file);
    kind_ = kind;
    portable_ = std::move(folder);
    if (mayInstallNow && !mayInstallNow()) {
        wait_.start(); // asked again every second
        if (waiting_) {
            waiting_();
        }
        return;
    }
    install();
}

void UpdateInstaller::install() {
    if (!done_ || (mayInstallNow && !mayInstallNow())) {
        return;
    }
    wait_.stop();
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::CacheLocation);
    QDir().mkpath(folder);
    auto staged = std::make_shared<QTemporaryDir>(QDir(folder).filePath(QStringLiteral("update-XXXXXX")));
    const QString name = kind_ == Appcast::PackageKind::deb ? QStringLiteral("quillora.deb")
                                                            : QStringLiteral("quillora.tar.gz");
    const QString path = staged->filePath(name);
    QSaveFile output(path);
    if (!staged->isValid() || !output.open(QIODevice::WriteOnly) || output.write(file_) != file_.size() ||
        !output.commit()) {
        finish({QStringLiteral("non riesco a salvare il pacchetto in %1").arg(folder), {}});
        return;
    }
    file_.clear();
    if (kind_ == Appcast::PackageKind::portable) {
        const std::optional<QString> problem = PortableSwap::replace(portable_, path);
        finish({problem.value_or(QString()), QDir(portable_).filePath(QStringLiteral("bin/quillora"))});
        return;
    }
    // PackageKit runs as another user: it must be able to reach and read the file.
    QFile::setPermissions(staged->path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                              QFile::ExeGroup | QFile::ExeOther);
    QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther);
    auto* client = new PackageKitClient(this);
    client->installFile(path, [this, client, staged](std::optional<QString> problem) {
        client->deleteLater();
        finish({problem.value_or(QString()), executable});
    });
}

void UpdateInstaller::finish(Result result) {
    wait_.stop();
    file_.clear();
    if (std::function<void(Result)> done = std::exchange(done_, nullptr)) {
        done(std::move(result));
    }
}

bool UpdateInstaller::relaunchAfterExit(const QString& program) {
    // The shell waits for this process to end, then becomes the new program.
    return QProcess::startDetached(
        QStringLiteral("/bin/sh"),
        {QStringLiteral("-c"),
         QStringLiteral("while kill -0 \"$1\" 2>/dev/null; do sleep 0.2; done; exec \"$0\""), program,
         QString::number(QCoreApplication::applicationPid())},
        QDir::homePath());
}
