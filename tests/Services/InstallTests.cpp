// Installing: signatures with real Ed25519 keys; an update from the feed to a stand-in PackageKit on a
// private bus or to the portable swap, killed midway; the mover of portable copies, in a temporary home.
#include "AppTestSupport.h"

#include "Quillora/Services/AppInfo.h"
#include "Quillora/Services/AppMover.h"
#include "Quillora/Services/UpdateManager.h"
#include "Quillora/Services/UpdateSignature.h"

#include <QDBusConnection>
#include <QDBusObjectPath>
#include <QDir>
#include <QProcess>
#include <QTimer>
#include <csignal>
#include <openssl/evp.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Outcome = AppMover::Outcome;

// A release key made for the test: its public half, and signatures of whole files.
class ReleaseKey {
public:
    QString publicKey() const {
        QByteArray raw(32, '\0');
        size_t size = raw.size();
        EVP_PKEY_get_raw_public_key(key_.get(), reinterpret_cast<unsigned char*>(raw.data()), &size);
        return QString::fromLatin1(raw.toBase64());
    }
    QString sign(QByteArrayView data) const {
        QByteArray signature(64, '\0');
        size_t size = signature.size();
        const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                              EVP_MD_CTX_free);
        EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key_.get());
        EVP_DigestSign(context.get(), reinterpret_cast<unsigned char*>(signature.data()), &size,
                       reinterpret_cast<const unsigned char*>(data.data()), size_t(data.size()));
        return QString::fromLatin1(signature.toBase64());
    }

private:
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key_{EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"),
                                                             EVP_PKEY_free};
};

const QByteArray package = "!<arch>\ndebian-binary   " + QByteArray(200000, 'p');

TEST(UpdateSignature, OnlyTheSignedFileWithItsLengthPasses) {
    const ReleaseKey release, other;
    const QString good = release.sign(package), key = release.publicKey();
    const QByteArray truncated = package.left(100000);
    const std::tuple<const char*, QByteArray, qint64, QString, QString, bool> cases[] = {
        {"good", package, package.size(), good, key, true},
        {"wrong key", package, package.size(), good, other.publicKey(), false},
        {"truncated, feed length agrees", truncated, truncated.size(), good, key, false},
        {"no length in the feed", package, -1, good, key, false},
        {"signature not base64", package, package.size(), "*" + good.mid(1), key, false},
        {"no public key", package, package.size(), good, QString(), false},
    };
    for (const auto& [name, file, length, signature, publicKey, accepted] : cases) {
        EXPECT_EQ(!UpdateSignature::problem(file, length, signature, publicKey), accepted) << name;
    }
}

// What PackageKit does with a transaction: leave the bus, finish it (exit 1), refuse it (2), or not be there.
enum Service { vanishes, accepts, refuses, absent };

// PackageKit as far as the program uses it: one transaction, recording what it is asked to install.
class StandInTransaction : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.PackageKit.Transaction")

public:
    QStringList hints;
    QList<QByteArray> installed; // the contents of the files it was asked to install
    Service behaviour = accepts;

public slots:
    void SetHints(const QStringList& given) { hints = given; }
    void InstallFiles(qulonglong, const QStringList& paths) {
        for (const QString& path : paths) {
            installed.append(readFile(path));
        }
        QTimer::singleShot(10ms, this, [this, exit = behaviour] {
            if (exit == vanishes) {
                return void(QDBusConnection("stand-in").unregisterService("org.freedesktop.PackageKit"));
            }
            if (exit == refuses) {
                emit ErrorCode(30, "Failed to obtain authentication.");
            }
            emit Finished(exit, 10);
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
    QDBusObjectPath CreateTransaction() { return QDBusObjectPath("/transaction"); }
};

// A private bus with the stand-in on it, for the whole process (the client's named connection stays on it).
struct PrivateBus {
    PrivateBus() {
        daemon.start("dbus-daemon", {"--session", "--nofork", "--print-address"});
        daemon.waitForReadyRead(5000);
        qputenv("QUILLORA_PACKAGEKIT_BUS", daemon.readLine().trimmed());
        QDBusConnection bus =
            QDBusConnection::connectToBus(qEnvironmentVariable("QUILLORA_PACKAGEKIT_BUS"), "stand-in");
        bus.registerObject("/org/freedesktop/PackageKit", &service, QDBusConnection::ExportAllSlots);
        bus.registerObject("/transaction", &packageKit,
                           QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals);
    }
    ~PrivateBus() { daemon.kill(), daemon.waitForFinished(); }
    QProcess daemon;
    StandInPackageKit service;
    StandInTransaction packageKit;
};

// A portable copy at `folder` of `version` (its program prints it), with entry and icon; returns its archive.
QByteArray portableCopy(const QString& folder, const QByteArray& version, bool marked = true,
                        qint64 filler = 0) {
    if (marked) {
        writeFile(folder + "/" + AppInfo::portableMarker, {});
    }
    writeFile(folder + "/bin/quillora", "#!/bin/sh\necho " + version + "\n");
    QFile::setPermissions(folder + "/bin/quillora", QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    writeFile(folder + "/share/quillora/Info.ini", "CFBundleShortVersionString=" + version + "\n");
    writeFile(folder + "/share/applications/com.tandrevel.Quillora.desktop",
              readFile(QUILLORA_SOURCE_DIR "/packaging/com.tandrevel.Quillora.desktop"));
    writeFile(folder + "/share/icons/hicolor/scalable/apps/com.tandrevel.Quillora.svg", "<svg/>");
    QFile random("/dev/urandom"); // random, so that it stays large in the archive
    writeFile(folder + "/filler", random.open(QIODevice::ReadOnly) ? random.read(filler) : "");
    const QFileInfo info(folder);
    EXPECT_EQ(
        QProcess::execute("tar", {"-czf", folder + ".tar.gz", "-C", info.absolutePath(), info.fileName()}),
        0);
    return readFile(folder + ".tar.gz");
}

QString run(const QString& program) {
    QProcess process;
    process.start(program, {});
    process.waitForFinished(5000);
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}

TEST(UpdateInstall, FromTheFeedToPackageKitOrThePortableSwap) {
    static PrivateBus bus;
    ASSERT_TRUE(QDBusConnection("stand-in").isConnected());
    const ReleaseKey release;
    QTemporaryDir dir;
    const QString portable = dir.filePath("quillora-1.0-amd64");
    portableCopy(portable, "1.0");
    const QByteArray archive = portableCopy(dir.filePath("new/quillora-2.0-amd64"), "2.0");

    LocalHttpServer server;
    const auto enclosure = [&](const QString& name, const QByteArray& bytes) {
        return QStringLiteral("<enclosure url=\"%1\" length=\"%2\" sparkle:edSignature=\"%3\"/>")
            .arg(server.url("/" + name), QString::number(bytes.size()), release.sign(bytes))
            .toUtf8();
    };
    server.setReply("/appcast.xml", {200, appcastFeed("200", "2.0",
                                                      enclosure("quillora_2.0_amd64.deb", package) +
                                                          enclosure("quillora-2.0-amd64.tar.gz", archive))});
    server.setReply("/quillora-2.0-amd64.tar.gz", {200, archive});
    const InfoIni info({"CFBundleShortVersionString=1.0", "CFBundleVersion=100",
                        "SUFeedURL=" + server.url("/appcast.xml"),
                        "SUPublicEDKey=\"" + release.publicKey() + "\"", "QuilloraArchitecture=amd64"});

    QByteArray tampered = package;
    tampered[1000] = 'X';
    struct Case {
        const char* name;
        QByteArray served; // what the package's address gives
        Service packageKit;
        bool portable;   // run from the portable copy
        bool recording;  // a recording runs when the package arrives
        QString failure; // part of the failure the user is told, empty when installed
    };
    const Case cases[] = {
        {"installed", package, accepts, false, false, {}},
        {"waits for the recording's end", package, accepts, false, true, {}},
        {"tampered download", tampered, accepts, false, false, "firma"},
        {"short download", package.left(5000), accepts, false, false, "5000 byte invece di"},
        {"authorisation refused", package, refuses, false, false, "Failed to obtain authentication."},
        {"no PackageKit", package, absent, false, false, "PackageKit non è installato"},
        {"PackageKit goes away", package, vanishes, false, false, "PackageKit si è interrotto"},
        {"portable copy", package, absent, true, false, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        server.setReply("/quillora_2.0_amd64.deb", {200, c.served});
        QDBusConnection stand("stand-in");
        c.packageKit != absent ? stand.registerService("org.freedesktop.PackageKit")
                               : stand.unregisterService("org.freedesktop.PackageKit");
        bus.packageKit.behaviour = c.packageKit;
        bus.packageKit.installed.clear();
        bus.packageKit.hints.clear();
        FakeDialogs dialogs;
        dialogs.installAtOnce = true;
        UpdateManager manager({1h, {}});
        manager.controller().setDialogs(&dialogs);
        QStringList relaunched;
        manager.controller().relaunch = [&](const QString& program) { relaunched.append(program); };
        const QString executable = c.portable ? portable + "/bin/quillora" : "/usr/bin/quillora";
        manager.controller().installer().executable = executable;
        bool recording = c.recording;
        manager.setRecordingInProgress([&] { return recording; });

        manager.controller().checkForUpdates();
        if (c.recording) {
            ASSERT_TRUE(waitUntil([&] { return dialogs.shown.contains("waiting"); }));
            runEventsFor(1500ms);
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
        const bool askedPackageKit = c.packageKit != absent && c.served == package && !c.portable;
        EXPECT_EQ(bus.packageKit.installed,
                  askedPackageKit ? QList<QByteArray>{package} : QList<QByteArray>{});
        EXPECT_EQ(bus.packageKit.hints, askedPackageKit ? QStringList{"interactive=true"} : QStringList{});
        EXPECT_EQ(run(portable + "/bin/quillora"), c.portable ? "2.0" : "1.0");
    }
}

TEST(PortableSwap, AKillMidwayLeavesTheOldCopyWorking) {
    QTemporaryDir dir;
    const QString folder = dir.filePath("Quillora"), archive = dir.filePath("new/quillora-2.0-amd64.tar.gz");
    portableCopy(folder, "1.0");
    portableCopy(dir.filePath("new/quillora-2.0-amd64"), "2.0", true, 24 << 20);
    portableCopy(dir.filePath("bad/not-portable"), "9.9", false); // not an update: refused
    EXPECT_TRUE(PortableSwap::replace(folder, dir.filePath("bad/not-portable.tar.gz")));
    EXPECT_EQ(run(folder + "/bin/quillora"), "1.0");

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::setpgid(0, 0); // with its tar, one group to kill
        ::_exit(PortableSwap::replace(folder, archive) ? 1 : 0);
    }
    const auto leftovers = [&] { // killed while unpacking beside the old copy
        return QDir(dir.path()).entryList({".quillora-update-*"}, QDir::Dirs | QDir::Hidden);
    };
    EXPECT_TRUE(waitUntil(
        [&] {
            return !leftovers().isEmpty() &&
                   !QDir(dir.filePath(leftovers().first())).isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot);
        },
        10s));
    ::kill(-child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the swap ended before it could be interrupted";
    EXPECT_EQ(run(folder + "/bin/quillora"), "1.0");

    EXPECT_EQ(PortableSwap::replace(folder, archive), std::nullopt); // clears the leftovers, swaps
    EXPECT_EQ(run(folder + "/bin/quillora"), "2.0");
    EXPECT_TRUE(leftovers().isEmpty());
}

class FakeDesktop final : public AppMover::Desktop {
public:
    bool confirmMove() override { return ++asked, accept; }
    void showFailure(const QString& description) override { failures.append(description); }
    bool launch(const QString& program) override { return launched.append(program), true; }
    void quit() override { ++quits; }

    bool accept = true;
    int asked = 0, quits = 0;
    QStringList failures, launched;
};

class PortableMove : public testing::Test {
protected:
    void SetUp() override { qputenv("XDG_DATA_HOME", places.dataHome.toUtf8()); } // the trash

    QString copy(const QString& folder, const QByteArray& version, bool marked = true) {
        portableCopy(dir.filePath(folder), version, marked);
        return dir.filePath(folder);
    }

    QTemporaryDir dir;
    const QString root = dir.path(), home = root + "/my home"; // a space: the entry's Exec must quote it
    AppMover::Places places{home,
                            home + "/.local/share",
                            "u",
                            {root + "/media", root + "/run/media"},
                            {home + "/Downloads", root + "/tmp"}};
    const QString destination = home + "/Applications/Quillora";
    FakeDesktop desktop;
};

TEST_F(PortableMove, EachFirstLaunchPlaceMovesTheWholeFolder) {
    const QString entry = places.dataHome + "/applications/com.tandrevel.Quillora.desktop";
    int version = 0;
    for (const QString folder : {"media/u/USB/quillora-1.1-amd64", "run/media/u/SD/Quillora",
                                 "my home/Downloads/quillora-1.3-amd64", "tmp/quillora-1.4-amd64"}) {
        SCOPED_TRACE(folder.toStdString());
        const QString running = copy(folder, "1." + QByteArray::number(++version));
        desktop.launched.clear();
        ASSERT_EQ(AppMover::offerMove(running, places, desktop), Outcome::moved);
        EXPECT_TRUE(desktop.failures.isEmpty()) << desktop.failures.join(", ").toStdString();
        EXPECT_EQ(run(destination + "/bin/quillora"), QString("1.%1").arg(version));
        EXPECT_EQ(AppInfo::portableFolder(destination + "/bin/quillora"), destination);
        EXPECT_EQ(desktop.launched, QStringList{destination + "/bin/quillora"});
        EXPECT_FALSE(QFile::exists(running)); // in the trash
        EXPECT_EQ(QProcess::execute("desktop-file-validate", {entry}), 0);
        EXPECT_TRUE(readFile(entry).contains("\nExec=\"" + destination.toUtf8() + "/bin/quillora\"\n"));
        EXPECT_TRUE(
            QFile::exists(places.dataHome + "/icons/hicolor/scalable/apps/com.tandrevel.Quillora.svg"));
    }
    EXPECT_EQ(desktop.quits, 4);
    // Every earlier installed copy went to the trash, not away: three replaced, four running copies.
    EXPECT_EQ(QDir(places.dataHome + "/Trash/files").count() - 2, 7u);
    EXPECT_EQ(AppMover::offerMove(destination, places, desktop),
              Outcome::notOffered); // from there: not again
}

TEST_F(PortableMove, OfferedOnlyForAPortableCopyInAFirstLaunchPlaceAndFailuresKeepIt) {
    const QString sd = copy("run/media/u/SD/quillora-1.0-amd64", "1.0"); // a later media root
    struct Case {
        const char* name;
        QString running;
        std::function<void()> setUp;
        Outcome outcome;
    };
    const Case cases[] = {
        {"a folder of the user's", copy("my home/Projects/quillora-1.0-amd64", "1.0"), [] {},
         Outcome::notOffered},
        {"not marked portable", copy("my home/Downloads/unpacked", "1.0", false), [] {}, Outcome::notOffered},
        {"installed by the system", "/usr/bin/quillora", [] {}, Outcome::notOffered},
        {"beside the media folder", copy("mediateca/quillora-1.0-amd64", "1.0"), [] {}, Outcome::notOffered},
        {"gone", dir.filePath("media/u/USB/missing"), [] {}, Outcome::notOffered},
        {"declined", sd, [&] { desktop.accept = false; }, Outcome::declined},
        {"~/Applications cannot be made", sd, [&] { writeFile(home + "/Applications", "x"); },
         Outcome::failed},
        {"the entries folder cannot be written", sd,
         [&] {
             QFile::remove(home + "/Applications");
             writeFile(places.dataHome + "/applications", "x");
         },
         Outcome::failed},
    };
    for (const Case& c : cases) {
        c.setUp();
        EXPECT_EQ(AppMover::offerMove(c.running, places, desktop), c.outcome) << c.name;
        desktop.accept = true;
    }
    EXPECT_EQ(desktop.asked, 3);
    EXPECT_EQ(desktop.failures.size(), 2);
    EXPECT_TRUE(desktop.launched.isEmpty());
    EXPECT_EQ(desktop.quits, 0);
    EXPECT_EQ(run(sd + "/bin/quillora"), "1.0");
    EXPECT_TRUE(AppMover::isPortableCopy(sd));

    // A copy in Downloads is taken from the volume it came from (the first media root first).
    QFile::remove(places.dataHome + "/applications");
    copy("media/u/USB/quillora-2.0-amd64", "2.0-volume");
    ASSERT_EQ(
        AppMover::offerMove(copy("my home/Downloads/quillora-2.0-amd64", "2.0-downloaded"), places, desktop),
        Outcome::moved);
    EXPECT_EQ(run(destination + "/bin/quillora"), "2.0-volume");
}

} // namespace

#include "InstallTests.moc"
