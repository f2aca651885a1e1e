// Installing an update: the signature check with real Ed25519 keys, the whole path from the feed to
// PackageKit (a stand-in service on a private D-Bus bus, a feed and downloads on 127.0.0.1), and the
// portable copy's swap on real files, killed midway.
#include "AppTestSupport.h"

#include "Quillora/Services/UpdateInstaller.h"
#include "Quillora/Services/UpdateSignature.h"
#include "Quillora/Services/Updater.h"

#include <QDBusConnection>
#include <QDBusObjectPath>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTimer>
#include <csignal>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

// A release key made for the test: its public half, and signatures of whole files.
class ReleaseKey {
public:
    ReleaseKey() {
        EVP_PKEY_CTX* context = EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr);
        EVP_PKEY_keygen_init(context);
        EVP_PKEY_keygen(context, &key_);
        EVP_PKEY_CTX_free(context);
    }
    ~ReleaseKey() { EVP_PKEY_free(key_); }
    QString publicKey() const {
        QByteArray raw(32, '\0');
        size_t size = raw.size();
        EVP_PKEY_get_raw_public_key(key_, reinterpret_cast<unsigned char*>(raw.data()), &size);
        return QString::fromLatin1(raw.left(qsizetype(size)).toBase64());
    }
    QString sign(QByteArrayView data) const {
        QByteArray signature(64, '\0');
        size_t size = signature.size();
        EVP_MD_CTX* context = EVP_MD_CTX_new();
        EVP_DigestSignInit(context, nullptr, nullptr, nullptr, key_);
        EVP_DigestSign(context, reinterpret_cast<unsigned char*>(signature.data()), &size,
                       reinterpret_cast<const unsigned char*>(data.data()), size_t(data.size()));
        EVP_MD_CTX_free(context);
        return QString::fromLatin1(signature.left(qsizetype(size)).toBase64());
    }

private:
    EVP_PKEY* key_ = nullptr;
};

QByteArray packageBytes() {
    return "!<arch>\ndebian-binary   " + QByteArray(200000, 'p');
}

TEST(UpdateSignature, OnlyTheSignedFileWithItsLengthPasses) {
    const ReleaseKey release;
    const ReleaseKey other;
    const QByteArray package = packageBytes();
    const QString good = release.sign(package);
    QByteArray tampered = package;
    tampered[150000] = char(tampered[150000] ^ 1);
    const QByteArray truncated = package.left(100000);
    struct Case {
        const char* name;
        QByteArray file;
        qint64 length;
        QString signature;
        QString key;
        bool accepted;
    };
    const Case cases[] = {
        {"good", package, package.size(), good, release.publicKey(), true},
        {"tampered", tampered, tampered.size(), good, release.publicKey(), false},
        {"wrong key", package, package.size(), good, other.publicKey(), false},
        {"truncated", truncated, package.size(), good, release.publicKey(), false},
        {"truncated, feed length agrees", truncated, truncated.size(), good, release.publicKey(), false},
        {"no length in the feed", package, -1, good, release.publicKey(), false},
        {"signature not base64", package, package.size(), "*" + good.mid(1), release.publicKey(), false},
        {"no public key", package, package.size(), good, QString(), false},
    };
    for (const Case& c : cases) {
        const std::optional<QString> problem = UpdateSignature::problem(c.file, c.length, c.signature, c.key);
        EXPECT_EQ(!problem.has_value(), c.accepted) << c.name << ": " << problem.value_or("").toStdString();
    }
}

// PackageKit as far as the program uses it: one transaction, recording what it is asked to install.
class StandInTransaction : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.PackageKit.Transaction")

public:
    QStringList hints;
    QList<QByteArray> installed; // the contents of the files it was asked to install
    bool refuse = false;         // answer as polkit's refusal does
    bool vanish = false;         // leave the bus instead of answering

public slots:
    void SetHints(const QStringList& given) { hints = given; }
    void InstallFiles(qulonglong, const QStringList& paths) {
        for (const QString& path : paths) {
            QFile file(path);
            installed.append(file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("unreadable"));
        }
        QTimer::singleShot(10ms, this, [this, refused = refuse, vanished = vanish] {
            if (vanished) {
                QDBusConnection(QStringLiteral("stand-in"))
                    .unregisterService(QStringLiteral("org.freedesktop.PackageKit"));
                return;
            }
            if (refused) {
                emit ErrorCode(30, QStringLiteral("Failed to obtain authentication."));
            }
            emit Finished(refused ? 2 : 1, 10);
        });
    }

signals:
    void ErrorCode(uint code, const QString& details);
    void Finished(uint exit, uint runtime);
};

class StandInPackageKit : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.PackageKit")

public slots:
    QDBusObjectPath CreateTransaction() { return QDBusObjectPath(QStringLiteral("/transaction")); }
};

// A private bus with the stand-in on it, for the whole process.
struct PrivateBus {
    PrivateBus() {
        daemon.start(QStringLiteral("dbus-daemon"), {"--session", "--nofork", "--print-address"});
        daemon.waitForReadyRead(5000);
        address = QString::fromUtf8(daemon.readLine()).trimmed();
        qputenv("QUILLORA_PACKAGEKIT_BUS", address.toUtf8());
        QDBusConnection bus = QDBusConnection::connectToBus(address, QStringLiteral("stand-in"));
        bus.registerObject(QStringLiteral("/org/freedesktop/PackageKit"), &service,
                           QDBusConnection::ExportAllSlots);
        bus.registerObject(QStringLiteral("/transaction"), &packageKit,
                           QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals);
    }
    ~PrivateBus() {
        daemon.kill();
        daemon.waitForFinished();
    }
    void offer(bool on) {
        QDBusConnection bus(QStringLiteral("stand-in"));
        on ? bus.registerService(QStringLiteral("org.freedesktop.PackageKit"))
           : bus.unregisterService(QStringLiteral("org.freedesktop.PackageKit"));
    }
    QProcess daemon;
    QString address;
    StandInPackageKit service;
    StandInTransaction packageKit;
};

// A portable copy whose program prints `version`, at `folder`.
void makePortableCopy(const QString& folder, const QByteArray& version, qint64 filler = 0) {
    QDir().mkpath(folder + "/bin");
    QFile marker(folder + "/quillora.portable");
    ASSERT_TRUE(marker.open(QIODevice::WriteOnly));
    QFile program(folder + "/bin/quillora");
    ASSERT_TRUE(program.open(QIODevice::WriteOnly));
    program.write("#!/bin/sh\necho " + version + "\n");
    program.setPermissions(program.permissions() | QFile::ExeOwner);
    if (filler > 0) {
        QFile random(QStringLiteral("/dev/urandom"));
        QFile big(folder + "/filler");
        ASSERT_TRUE(random.open(QIODevice::ReadOnly) && big.open(QIODevice::WriteOnly));
        big.write(random.read(filler));
    }
}

QByteArray archiveOf(const QString& folder) {
    const QString archive = folder + ".tar.gz";
    const QFileInfo info(folder);
    EXPECT_EQ(QProcess::execute("tar", {"-czf", archive, "-C", info.absolutePath(), info.fileName()}), 0);
    QFile file(archive);
    EXPECT_TRUE(file.open(QIODevice::ReadOnly));
    return file.readAll();
}

QString run(const QString& program) {
    QProcess process;
    process.start(program, {});
    process.waitForFinished(5000);
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}

class Delegate final : public UpdaterDelegate {
public:
    std::optional<QString> feedURLString() override { return std::nullopt; }
    void didFindValidUpdate(const AppcastItem&) override {}
    void didAbortWithError(const QString&) override {}
    bool supportsGentleScheduledUpdateReminders() override { return true; }
    bool shouldHandleShowingScheduledUpdate(const AppcastItem&, bool) override { return false; }
    void willHandleShowingUpdate(bool, const AppcastItem&) override {}
    void willFinishUpdateSession() override { ++finished; }
    void didFinishInstalling(const AppcastItem&, const QString& problem) override { outcome = problem; }
    int finished = 0;
    std::optional<QString> outcome;
};

// Answers "install" at once and records the rest.
class InstallingDialogs final : public UpdateDialogs {
public:
    void showUpdateFound(const AppcastItem&, std::function<void(Choice)> done) override {
        done(Choice::install);
    }
    void showUpToDate(const QString&, std::function<void()> done) override { done(); }
    void showCheckFailed(const QString&, std::function<void()> done) override { done(); }
    void showProgress(qint64, qint64) override {}
    void showWaitingForRecording() override { waiting = true; }
    void showInstallFailed(const QString& description, std::function<void()> done) override {
        failures.append(description);
        done();
    }
    bool waiting = false;
    QStringList failures;
};

TEST(UpdateInstall, FromTheFeedToPackageKitOrThePortableSwap) {
    static PrivateBus bus; // one daemon for the process: the client's named connection stays on it
    ASSERT_FALSE(bus.address.isEmpty());
    const ReleaseKey release;
    const QByteArray deb = packageBytes();
    QTemporaryDir dir;
    const QString portable = dir.filePath("quillora-1.0-amd64");
    makePortableCopy(portable, "1.0");
    makePortableCopy(dir.filePath("new/quillora-2.0-amd64"), "2.0");
    const QByteArray archive = archiveOf(dir.filePath("new/quillora-2.0-amd64"));

    LocalHttpServer server;
    const auto enclosure = [&](const QString& name, const QByteArray& bytes) {
        return QStringLiteral("<enclosure url=\"%1\" length=\"%2\" sparkle:edSignature=\"%3\"/>")
            .arg(server.url("/" + name))
            .arg(bytes.size())
            .arg(release.sign(bytes));
    };
    server.setReply(
        "/appcast.xml",
        {200,
         "application/rss+xml",
         ("<rss version=\"2.0\" xmlns:sparkle=\"http://www.andymatuschak.org/xml-namespaces/sparkle\">"
          "<channel><item><sparkle:version>200</sparkle:version>" +
          enclosure("quillora_2.0_amd64.deb", deb) + enclosure("quillora-2.0-amd64.tar.gz", archive) +
          "</item></channel></rss>")
             .toUtf8(),
         {}});
    const InfoIni info({"CFBundleShortVersionString=1.0", "CFBundleVersion=100",
                        "SUFeedURL=" + server.url("/appcast.xml"),
                        "SUPublicEDKey=\"" + release.publicKey() + "\"", "QuilloraArchitecture=amd64"});

    QByteArray tampered = deb;
    tampered[1000] = 'X';
    struct Case {
        const char* name;
        QByteArray served; // what the download address gives
        bool packageKit;   // whether the service is on the bus
        bool refuse;       // whether it refuses the authorisation
        bool portable;     // run from the portable copy
        bool recording;    // a recording runs when the package arrives
        QString failure;   // part of the failure the user is told, empty when installed
    };
    const Case cases[] = {
        {"installed", deb, true, false, false, false, {}},
        {"waits for the recording's end", deb, true, false, false, true, {}},
        {"tampered download", tampered, true, false, false, false, "firma"},
        {"short download", deb.left(5000), true, false, false, false, "5000 byte invece di"},
        {"authorisation refused", deb, true, true, false, false, "Failed to obtain authentication."},
        {"no PackageKit", deb, false, false, false, false, "PackageKit non è installato"},
        {"PackageKit goes away", deb, true, false, false, false, "PackageKit si è interrotto"},
        {"portable copy", deb, false, false, true, false, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        server.setReply("/quillora_2.0_amd64.deb", {200, "application/octet-stream", c.served, {}});
        server.setReply("/quillora-2.0-amd64.tar.gz", {200, "application/gzip", archive, {}});
        bus.offer(c.packageKit);
        bus.packageKit.refuse = c.refuse;
        bus.packageKit.vanish = std::string_view(c.name) == "PackageKit goes away";
        bus.packageKit.installed.clear();
        Delegate delegate;
        InstallingDialogs dialogs;
        Updater updater(delegate, {});
        updater.setDialogs(&dialogs);
        QStringList relaunched;
        updater.relaunch = [&](const QString& program) { relaunched.append(program); };
        updater.installer().executable =
            c.portable ? portable + "/bin/quillora" : QStringLiteral("/usr/bin/quillora");
        bool recording = c.recording;
        updater.installer().mayInstallNow = [&] { return !recording; };

        updater.checkForUpdates();
        if (c.recording) {
            ASSERT_TRUE(waitUntil([&] { return dialogs.waiting; }));
            spin(1500ms);
            EXPECT_TRUE(bus.packageKit.installed.isEmpty()); // nothing while the recording runs
            EXPECT_TRUE(updater.sessionInProgress());
            recording = false;
        }
        ASSERT_TRUE(waitUntil([&] { return delegate.outcome.has_value(); }, 10s));
        EXPECT_EQ(delegate.finished, 1);
        if (c.failure.isEmpty()) {
            EXPECT_EQ(*delegate.outcome, QString());
            EXPECT_EQ(relaunched, QStringList{updater.installer().executable});
            EXPECT_TRUE(dialogs.failures.isEmpty());
        } else {
            EXPECT_TRUE(delegate.outcome->contains(c.failure)) << delegate.outcome->toStdString();
            EXPECT_EQ(dialogs.failures, QStringList{*delegate.outcome});
            EXPECT_TRUE(relaunched.isEmpty());
        }
        const bool askedPackageKit = c.packageKit && c.served == deb && !c.portable;
        EXPECT_EQ(bus.packageKit.installed, askedPackageKit ? QList<QByteArray>{deb} : QList<QByteArray>{});
        if (askedPackageKit) {
            EXPECT_EQ(bus.packageKit.hints, QStringList{"interactive=true"});
        }
        EXPECT_EQ(run(portable + "/bin/quillora"), c.portable ? "2.0" : "1.0");
    }
}

TEST(PortableSwap, AKillMidwayLeavesTheOldCopyWorking) {
    QTemporaryDir dir;
    const QString folder = dir.filePath("Quillora");
    makePortableCopy(folder, "1.0");
    makePortableCopy(dir.filePath("new/quillora-2.0-amd64"), "2.0", 24 << 20);
    archiveOf(dir.filePath("new/quillora-2.0-amd64"));
    const QString archive = dir.filePath("new/quillora-2.0-amd64.tar.gz");

    // Not an update: refused, nothing touched.
    makePortableCopy(dir.filePath("bad/not-portable"), "9.9");
    QFile::remove(dir.filePath("bad/not-portable/quillora.portable"));
    archiveOf(dir.filePath("bad/not-portable"));
    EXPECT_TRUE(PortableSwap::replace(folder, dir.filePath("bad/not-portable.tar.gz")).has_value());
    EXPECT_EQ(run(folder + "/bin/quillora"), "1.0");

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::setpgid(0, 0); // with its tar, one group to kill
        ::_exit(PortableSwap::replace(folder, archive) ? 1 : 0);
    }
    // Killed while the new copy is being unpacked beside the old one.
    const auto unpacking = [&] {
        const QStringList hidden =
            QDir(dir.path()).entryList({".quillora-update-*"}, QDir::Dirs | QDir::Hidden);
        return !hidden.isEmpty() &&
               !QDir(dir.filePath(hidden.first())).isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot);
    };
    EXPECT_TRUE(waitUntil(unpacking, 10s));
    ::kill(-child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the swap ended before it could be interrupted";
    EXPECT_EQ(run(folder + "/bin/quillora"), "1.0");

    // The next run clears the leftovers and swaps.
    EXPECT_EQ(PortableSwap::replace(folder, archive), std::nullopt);
    EXPECT_EQ(run(folder + "/bin/quillora"), "2.0");
    EXPECT_TRUE(QDir(dir.path()).entryList({".quillora-update-*"}, QDir::Dirs | QDir::Hidden).isEmpty());
}

} // namespace

#include "UpdateInstallTests.moc"
