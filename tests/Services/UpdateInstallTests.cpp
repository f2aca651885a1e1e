// Installing an update: the signature check with real Ed25519 keys, the whole path from the feed to
// PackageKit (a stand-in service on a private D-Bus bus, a feed and downloads on 127.0.0.1), and the
// portable copy's swap on real files, killed midway.
#include "AppTestSupport.h"

#include "Quillora/Services/UpdateManager.h"
#include "Quillora/Services/UpdateSignature.h"

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
    ReleaseKey() { key_ = EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"); }
    ~ReleaseKey() { EVP_PKEY_free(key_); }
    QString publicKey() const {
        QByteArray raw(32, '\0');
        size_t size = raw.size();
        EVP_PKEY_get_raw_public_key(key_, reinterpret_cast<unsigned char*>(raw.data()), &size);
        return QString::fromLatin1(raw.toBase64());
    }
    QString sign(QByteArrayView data) const {
        QByteArray signature(64, '\0');
        size_t size = signature.size();
        EVP_MD_CTX* context = EVP_MD_CTX_new();
        EVP_DigestSignInit(context, nullptr, nullptr, nullptr, key_);
        EVP_DigestSign(context, reinterpret_cast<unsigned char*>(signature.data()), &size,
                       reinterpret_cast<const unsigned char*>(data.data()), size_t(data.size()));
        EVP_MD_CTX_free(context);
        return QString::fromLatin1(signature.toBase64());
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
    writeFile(folder + "/quillora.portable", {});
    writeFile(folder + "/bin/quillora", "#!/bin/sh\necho " + version + "\n");
    QFile::setPermissions(folder + "/bin/quillora", QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    if (filler > 0) { // random, so that it stays large in the archive
        QFile random(QStringLiteral("/dev/urandom"));
        ASSERT_TRUE(random.open(QIODevice::ReadOnly));
        writeFile(folder + "/filler", random.read(filler));
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
            .arg(release.sign(bytes))
            .toUtf8();
    };
    server.setReply("/appcast.xml", {200,
                                     "application/rss+xml",
                                     appcastFeed("200", "2.0",
                                                 enclosure("quillora_2.0_amd64.deb", deb) +
                                                     enclosure("quillora-2.0-amd64.tar.gz", archive)),
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
        bus.packageKit.hints.clear();
        FakeDialogs dialogs;
        dialogs.installAtOnce = true;
        UpdateManager manager({1h, {}});
        manager.controller().setDialogs(&dialogs);
        QStringList relaunched;
        manager.controller().relaunch = [&](const QString& program) { relaunched.append(program); };
        const QString executable =
            c.portable ? portable + "/bin/quillora" : QStringLiteral("/usr/bin/quillora");
        manager.controller().installer().executable = executable;
        bool recording = c.recording;
        manager.setRecordingInProgress([&] { return recording; });

        manager.controller().checkForUpdates();
        if (c.recording) {
            ASSERT_TRUE(waitUntil([&] { return dialogs.shown.contains("waiting"); }));
            spin(1500ms);
            EXPECT_TRUE(bus.packageKit.installed.isEmpty()); // nothing while the recording runs
            EXPECT_TRUE(manager.controller().sessionInProgress());
            recording = false;
        }
        ASSERT_TRUE(waitUntil(
            [&] { return !relaunched.isEmpty() || !dialogs.shown.filter("install failed").isEmpty(); }, 10s));
        EXPECT_FALSE(manager.controller().sessionInProgress());
        EXPECT_EQ(relaunched, c.failure.isEmpty() ? QStringList{executable} : QStringList{});
        EXPECT_EQ(dialogs.shown.filter("install failed").join(""),
                  c.failure.isEmpty() ? QString() : dialogs.shown.last());
        EXPECT_TRUE(dialogs.shown.last().contains(c.failure)) << dialogs.shown.last().toStdString();
        const bool askedPackageKit = c.packageKit && c.served == deb && !c.portable;
        EXPECT_EQ(bus.packageKit.installed, askedPackageKit ? QList<QByteArray>{deb} : QList<QByteArray>{});
        EXPECT_EQ(bus.packageKit.hints, askedPackageKit ? QStringList{"interactive=true"} : QStringList{});
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
