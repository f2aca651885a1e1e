// The installation mover on folders of the test's own: a fake home (with its trash) and fake removable
// media roots. The decision, the search of the volumes, every ending of an accepted move with a recording
// desktop, and then the real message boxes and the real launcher.
#include "AppTestSupport.h"
#include "Quillora/Services/AppMover.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <csignal>
#include <filesystem>
#include <sys/resource.h>
#include <sys/stat.h>

using namespace std::chrono_literals;
using AppMover::Outcome;

namespace {

// Records what the mover asked of the desktop, in order.
class FakeDesktop final : public AppMover::Desktop {
public:
    bool confirmMove() override {
        events.append(QStringLiteral("confirm"));
        return accept;
    }
    void showFailure(const QString& description) override {
        events.append(QStringLiteral("failure"));
        failures.append(description);
    }
    bool launch(const QString& program) override {
        events.append(QStringLiteral("launch ") + program);
        return launchWorks;
    }
    void quit() override { events.append(QStringLiteral("quit")); }

    bool accept = true;
    bool launchWorks = true;
    QStringList events;
    QStringList failures;
};

void writeFile(const QString& path, const QByteArray& content) {
    QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(content), content.size());
}

QByteArray contentOf(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

// Answers the next modal message box once it is up: `inspect` looks at it and clicks.
void whenBoxAppears(std::function<void(QMessageBox&)> inspect) {
    auto* poll = new QTimer(qApp);
    QObject::connect(poll, &QTimer::timeout, poll, [poll, inspect = std::move(inspect)] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            box && box->isVisible()) {
            poll->deleteLater();
            poll->stop();
            inspect(*box);
        }
    });
    poll->start(10);
}

QPushButton* buttonNamed(QMessageBox& box, const QString& text) {
    for (QAbstractButton* button : box.buttons()) {
        if (button->text() == text) {
            return qobject_cast<QPushButton*>(button);
        }
    }
    return nullptr;
}

} // namespace

class AppMoverTests : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void offeredOnlyFromRemovableMediaOrTranslocation();
    void volumesAreSearchedInOrder();
    void movesTheCopyFromTheFirstVolumeHoldingIt();
    void movesTheRunningFileWhenNoVolumeHoldsIt();
    void translocatedCopyComesFromTheVolume();
    void existingCopyGoesToTheTrashFirst();
    void decliningChangesNothing();
    void failuresKeepTheProgramRunning();
    void failedCopyLeavesNoPartialFile();
    void neverCopiesTheInstalledCopyOntoItself();
    void launchFailureStillQuits();
    void realMessageBoxes();
    void realLaunchStartsAFreshCopy();

private:
    QString path(const QString& relative) const { return root_.filePath(relative); }
    QString destination() const { return AppMover::destinationPath(places_); }
    QString trashed(const QString& name) const {
        return path(QStringLiteral("home/.local/share/Trash/files/") + name);
    }

    QTemporaryDir root_;
    AppMover::Places places_;
};

void AppMoverTests::initTestCase() {
    QVERIFY(root_.isValid());
    // The trash and the log live in the fake home.
    qputenv("HOME", path(QStringLiteral("home")).toUtf8());
    qputenv("XDG_DATA_HOME", path(QStringLiteral("home/.local/share")).toUtf8());
    qputenv("XDG_STATE_HOME", path(QStringLiteral("state")).toUtf8());
    qunsetenv("APPIMAGE");
}

void AppMoverTests::init() {
    // Every test starts from an empty home and no mounted media.
    for (const QString& name :
         QDir(root_.path()).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)) {
        if (name != QStringLiteral("state")) {
            std::error_code error;
            std::filesystem::remove_all(path(name).toStdString(), error); // links are removed, not followed
            QVERIFY2(!error, error.message().c_str());
        }
    }
    QVERIFY(QDir().mkpath(path(QStringLiteral("home/.local/share"))));
    places_ = AppMover::Places{path(QStringLiteral("home")),
                               QStringLiteral("alice"),
                               {path(QStringLiteral("media")), path(QStringLiteral("run/media"))}};
}

void AppMoverTests::offeredOnlyFromRemovableMediaOrTranslocation() {
    using AppMover::shouldOffer;
    QVERIFY(!shouldOffer(destination(), places_));
    QVERIFY(!shouldOffer(path(QStringLiteral("home/bin/quillora")), places_));
    QVERIFY(!shouldOffer(path(QStringLiteral("home/Downloads/Quillora.AppImage")), places_));
    QVERIFY(shouldOffer(path(QStringLiteral("media/alice/USB/Quillora.AppImage")), places_));
    QVERIFY(shouldOffer(path(QStringLiteral("run/media/alice/SD/Quillora.AppImage")), places_));
    QVERIFY(shouldOffer(path(QStringLiteral("media/Quillora.AppImage")), places_));
    // A folder whose name only begins like a media root is not one; the tests are case-sensitive.
    QVERIFY(!shouldOffer(path(QStringLiteral("mediateca/Quillora.AppImage")), places_));
    QVERIFY(shouldOffer(QStringLiteral("/tmp/x/AppTranslocation/A1/d/Quillora.AppImage"), places_));
    QVERIFY(!shouldOffer(QStringLiteral("/tmp/x/apptranslocation/A1/d/Quillora.AppImage"), places_));
    // Inside ~/Applications nothing is offered, whatever the path contains.
    QVERIFY(
        !shouldOffer(path(QStringLiteral("home/Applications/AppTranslocation/Quillora.AppImage")), places_));

    // A home on a removable disk reached through a link: the installed copy, seen by its other path, is
    // not offered to be moved onto itself.
    QVERIFY(QDir().mkpath(path(QStringLiteral("media/alice/DISK/home"))));
    QVERIFY(QFile::link(path(QStringLiteral("media/alice/DISK/home")), path(QStringLiteral("linkedhome"))));
    AppMover::Places linked = places_;
    linked.home = path(QStringLiteral("linkedhome"));
    writeFile(AppMover::destinationPath(linked), "installed");
    QVERIFY(
        !shouldOffer(path(QStringLiteral("media/alice/DISK/home/Applications/Quillora.AppImage")), linked));
    QVERIFY(shouldOffer(path(QStringLiteral("media/alice/DISK/Quillora.AppImage")), linked));

    // The system's own places.
    const AppMover::Places system = AppMover::Places::system();
    QCOMPARE(system.mediaRoots, (QStringList{"/media", "/run/media"}));
    QCOMPARE(system.home, QDir::homePath());
    QVERIFY(!system.userName.isEmpty());
    QVERIFY(shouldOffer(QStringLiteral("/media/alice/USB/Quillora.AppImage"), system));
    QVERIFY(shouldOffer(QStringLiteral("/run/media/alice/USB/Quillora.AppImage"), system));
    QVERIFY(!shouldOffer(QStringLiteral("/mnt/usb/Quillora.AppImage"), system));
    QCOMPARE(AppMover::destinationPath(system),
             QDir::homePath() + QStringLiteral("/Applications/Quillora.AppImage"));
}

void AppMoverTests::volumesAreSearchedInOrder() {
    QCOMPARE(AppMover::originalBundlePath(places_), std::nullopt); // no media folders at all

    QVERIFY(QDir().mkpath(path(QStringLiteral("media/alice/A-empty"))));
    // Something by that name that is not a file is passed over.
    QVERIFY(QDir().mkpath(path(QStringLiteral("media/alice/B/Quillora.AppImage"))));
    writeFile(path(QStringLiteral("media/alice/C/Quillora.AppImage")), "C");
    writeFile(path(QStringLiteral("media/A-fixed/Quillora.AppImage")), "fixed");
    writeFile(path(QStringLiteral("media/bob/E/Quillora.AppImage")), "bob's");
    writeFile(path(QStringLiteral("run/media/alice/F/Quillora.AppImage")), "F");

    // The user's own volumes first, then those straight under the root, then the next root.
    QCOMPARE(AppMover::originalBundlePath(places_), path(QStringLiteral("media/alice/C/Quillora.AppImage")));
    QVERIFY(QFile::remove(path(QStringLiteral("media/alice/C/Quillora.AppImage"))));
    QCOMPARE(AppMover::originalBundlePath(places_), path(QStringLiteral("media/A-fixed/Quillora.AppImage")));
    QVERIFY(QFile::remove(path(QStringLiteral("media/A-fixed/Quillora.AppImage"))));
    QCOMPARE(AppMover::originalBundlePath(places_),
             path(QStringLiteral("run/media/alice/F/Quillora.AppImage")));
    // Another user's volumes are not looked into.
    QVERIFY(QFile::remove(path(QStringLiteral("run/media/alice/F/Quillora.AppImage"))));
    QCOMPARE(AppMover::originalBundlePath(places_), std::nullopt);
}

void AppMoverTests::movesTheCopyFromTheFirstVolumeHoldingIt() {
    QVERIFY(QDir().mkpath(path(QStringLiteral("media/alice/USB0"))));
    writeFile(path(QStringLiteral("media/alice/USB1/Quillora.AppImage")), "from USB1");
    const QString running = path(QStringLiteral("media/alice/USB2/Quillora.AppImage"));
    writeFile(running, "from USB2");
    QVERIFY(!QDir(path(QStringLiteral("home/Applications"))).exists());
    const qsizetype logBefore = logText().size();

    FakeDesktop desktop;
    QCOMPARE(AppMover::offerMove(running, places_, desktop), Outcome::moved);
    QCOMPARE(desktop.events, (QStringList{"confirm", "launch " + destination(), "quit"}));
    QCOMPARE(contentOf(destination()), QByteArray("from USB1"));
    QVERIFY(QFileInfo(destination()).isExecutable());
    QCOMPARE(QFile::permissions(destination()) & (QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther),
             QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther);
    // Nothing but the copy in the folder: the temporary file was renamed into place.
    QCOMPARE(QDir(path(QStringLiteral("home/Applications")))
                 .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList{"Quillora.AppImage"});
    QVERIFY(logText().mid(logBefore).contains(QStringLiteral(" Spostata in Applicazioni da ") +
                                              path(QStringLiteral("media/alice/USB1/Quillora.AppImage")) +
                                              QLatin1Char('\n')));
    QCOMPARE(contentOf(running), QByteArray("from USB2")); // the source is left as it was
}

void AppMoverTests::movesTheRunningFileWhenNoVolumeHoldsIt() {
    // A renamed AppImage: no volume holds "Quillora.AppImage", so the running file is the one copied.
    const QString running = path(QStringLiteral("run/media/alice/SD/quillora-1.2-x86_64.AppImage"));
    writeFile(running, QByteArray(3 * 1024 * 1024 + 17, 'q')); // more than one block of the copy
    const qsizetype logBefore = logText().size();

    FakeDesktop desktop;
    QCOMPARE(AppMover::offerMove(running, places_, desktop), Outcome::moved);
    QCOMPARE(contentOf(destination()), contentOf(running));
    QVERIFY(
        logText().mid(logBefore).contains(QStringLiteral(" Spostata in Applicazioni da ") + running + '\n'));
}

void AppMoverTests::translocatedCopyComesFromTheVolume() {
    const QString translocated = path(QStringLiteral("private/AppTranslocation/5F2A/d/Quillora.AppImage"));
    writeFile(translocated, "translocated");
    writeFile(path(QStringLiteral("media/alice/DISK/Quillora.AppImage")), "volume");
    FakeDesktop desktop;
    QCOMPARE(AppMover::offerMove(translocated, places_, desktop), Outcome::moved);
    QCOMPARE(contentOf(destination()), QByteArray("volume"));

    // The disk is gone: the translocated file itself is copied.
    QVERIFY(QDir(path(QStringLiteral("media"))).removeRecursively());
    QVERIFY(QFile::remove(destination()));
    QCOMPARE(AppMover::offerMove(translocated, places_, desktop), Outcome::moved);
    QCOMPARE(contentOf(destination()), QByteArray("translocated"));
}

void AppMoverTests::existingCopyGoesToTheTrashFirst() {
    writeFile(destination(), "old version");
    const QString running = path(QStringLiteral("media/alice/USB/Quillora.AppImage"));
    writeFile(running, "new version");

    FakeDesktop desktop;
    QCOMPARE(AppMover::offerMove(running, places_, desktop), Outcome::moved);
    QCOMPARE(contentOf(destination()), QByteArray("new version"));
    // In the user's trash, with the note that lets the file manager put it back.
    QCOMPARE(contentOf(trashed(QStringLiteral("Quillora.AppImage"))), QByteArray("old version"));
    const QByteArray info =
        contentOf(path(QStringLiteral("home/.local/share/Trash/info/Quillora.AppImage.trashinfo")));
    QVERIFY2(info.contains("Path=" + QUrl::toPercentEncoding(destination(), "/")), info.constData());
}

void AppMoverTests::decliningChangesNothing() {
    const QString running = path(QStringLiteral("media/alice/USB/Quillora.AppImage"));
    writeFile(running, "new");
    FakeDesktop desktop;
    desktop.accept = false;
    QCOMPARE(AppMover::offerMove(running, places_, desktop), Outcome::declined);
    QCOMPARE(desktop.events, QStringList{"confirm"});
    QVERIFY(!QDir(path(QStringLiteral("home/Applications"))).exists());

    // Asked again next time.
    desktop.events.clear();
    QCOMPARE(AppMover::offerMove(running, places_, desktop), Outcome::declined);
    QCOMPARE(desktop.events, QStringList{"confirm"});

    // From an ordinary folder nothing is asked at all.
    desktop.events.clear();
    QCOMPARE(AppMover::offerMove(path(QStringLiteral("home/Downloads/Quillora.AppImage")), places_, desktop),
             Outcome::notOffered);
    QCOMPARE(desktop.events, QStringList{});
}

void AppMoverTests::failuresKeepTheProgramRunning() {
    const QString running = path(QStringLiteral("media/alice/USB/Quillora.AppImage"));
    writeFile(running, "new");
    const qsizetype logBefore = logText().size();

    // ~/Applications cannot be made.
    writeFile(path(QStringLiteral("home/Applications")), "a file in the way");
    FakeDesktop blocked;
    QCOMPARE(AppMover::offerMove(running, places_, blocked), Outcome::failed);
    QCOMPARE(blocked.events, (QStringList{"confirm", "failure"}));
    QVERIFY2(blocked.failures.first().contains(path(QStringLiteral("home/Applications"))),
             qPrintable(blocked.failures.first()));
    QVERIFY(QFile::remove(path(QStringLiteral("home/Applications"))));

    // The old copy cannot go to the trash (the trash cannot be made): it stays where it was, nothing is
    // copied, and nothing is left in the current folder (where Qt puts the file when it has no trash).
    writeFile(destination(), "old");
    QVERIFY(QDir(path(QStringLiteral("home/.local/share"))).removeRecursively());
    writeFile(path(QStringLiteral("home/.local/share")), "not a folder");
    QVERIFY(QDir().mkpath(path(QStringLiteral("cwd"))));
    const QString previousCurrent = QDir::currentPath();
    QVERIFY(QDir::setCurrent(path(QStringLiteral("cwd"))));
    FakeDesktop noTrash;
    const Outcome outcome = AppMover::offerMove(running, places_, noTrash);
    QDir::setCurrent(previousCurrent);
    QCOMPARE(outcome, Outcome::failed);
    QCOMPARE(noTrash.events, (QStringList{"confirm", "failure"}));
    QVERIFY2(noTrash.failures.first().contains(QStringLiteral("nel cestino")),
             qPrintable(noTrash.failures.first()));
    QCOMPARE(contentOf(destination()), QByteArray("old"));
    QCOMPARE(
        QDir(path(QStringLiteral("cwd"))).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
        QStringList{});
    QVERIFY(QFile::remove(path(QStringLiteral("home/.local/share"))));
    QVERIFY(QDir().mkpath(path(QStringLiteral("home/.local/share"))));

    // A source that is not a regular file (a pipe would block the copy for ever) is refused before the
    // installed copy is touched.
    QVERIFY(QFile::remove(running));
    QCOMPARE(::mkfifo(running.toLocal8Bit().constData(), 0644), 0);
    FakeDesktop pipe;
    QCOMPARE(AppMover::offerMove(running, places_, pipe), Outcome::failed);
    QCOMPARE(pipe.failures, QStringList{running + QStringLiteral(" non è un file")});
    QCOMPARE(contentOf(destination()), QByteArray("old"));
    QVERIFY(!QFile::exists(trashed(QStringLiteral("Quillora.AppImage"))));

    QVERIFY(!logText().mid(logBefore).contains(QStringLiteral("Spostata")));
}

void AppMoverTests::failedCopyLeavesNoPartialFile() {
    writeFile(destination(), "old");
    const QString running = path(QStringLiteral("media/alice/USB/Quillora.AppImage"));
    writeFile(running, QByteArray(2 * 1024 * 1024, 'n'));

    // Writes past 256 KiB fail (EFBIG) for the duration of the move: the copy breaks off half-way.
    rlimit saved{};
    QCOMPARE(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 256 * 1024;
    QCOMPARE(::setrlimit(RLIMIT_FSIZE, &small), 0);
    FakeDesktop desktop;
    const Outcome outcome = AppMover::offerMove(running, places_, desktop);
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previousHandler);

    QCOMPARE(outcome, Outcome::failed);
    QCOMPARE(desktop.events, (QStringList{"confirm", "failure"}));
    QVERIFY2(desktop.failures.first().startsWith(QStringLiteral("non riesco a scrivere in ")),
             qPrintable(desktop.failures.first()));
    // The old copy went to the trash first; no half-written file took its name, no temporary one is left.
    QCOMPARE(contentOf(trashed(QStringLiteral("Quillora.AppImage"))), QByteArray("old"));
    QVERIFY(!QFileInfo::exists(destination()));
    QCOMPARE(QDir(path(QStringLiteral("home/Applications")))
                 .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList{});
}

void AppMoverTests::neverCopiesTheInstalledCopyOntoItself() {
    // A home folder that is itself a media root's user folder: the volume search finds ~/Applications as a
    // "volume" holding the installed copy. That copy must neither go to the trash nor be copied onto itself.
    places_.home = path(QStringLiteral("media/alice"));
    writeFile(destination(), "installed");
    const QString running = path(QStringLiteral("media/alice/USB/quillora-2.AppImage"));
    writeFile(running, "new");
    QCOMPARE(AppMover::originalBundlePath(places_), destination());

    FakeDesktop desktop;
    QCOMPARE(AppMover::offerMove(running, places_, desktop), Outcome::failed);
    QCOMPARE(desktop.events, (QStringList{"confirm", "failure"}));
    QCOMPARE(contentOf(destination()), QByteArray("installed"));
    QVERIFY(!QFile::exists(trashed(QStringLiteral("Quillora.AppImage"))));
}

void AppMoverTests::launchFailureStillQuits() {
    const QString running = path(QStringLiteral("media/alice/USB/Quillora.AppImage"));
    writeFile(running, "new");
    FakeDesktop desktop;
    desktop.launchWorks = false;
    QCOMPARE(AppMover::offerMove(running, places_, desktop), Outcome::moved);
    QCOMPARE(desktop.events, (QStringList{"confirm", "launch " + destination(), "quit"}));
}

void AppMoverTests::realMessageBoxes() {
    AppMover::SystemDesktop desktop;
    const QString informative =
        QStringLiteral("Quillora è aperta dal disco di installazione. Spostala in "
                       "Applicazioni: così si aggiorna da sola e ricorda i permessi.");
    whenBoxAppears([&](QMessageBox& box) {
        QCOMPARE(box.text(), QStringLiteral("Sposta Quillora in Applicazioni"));
        QCOMPARE(box.informativeText(), informative);
        QCOMPARE(box.buttons().size(), 2);
        QPushButton* move = buttonNamed(box, QStringLiteral("Sposta in Applicazioni"));
        QVERIFY(move != nullptr && buttonNamed(box, QStringLiteral("Non ora")) != nullptr);
        QCOMPARE(box.defaultButton(), move);
        QTest::mouseClick(move, Qt::LeftButton);
    });
    QVERIFY(desktop.confirmMove());

    whenBoxAppears([](QMessageBox& box) { QTest::mouseClick(buttonNamed(box, "Non ora"), Qt::LeftButton); });
    QVERIFY(!desktop.confirmMove());
    whenBoxAppears([](QMessageBox& box) { QTest::keyClick(&box, Qt::Key_Escape); });
    QVERIFY(!desktop.confirmMove());

    bool seen = false;
    whenBoxAppears([&](QMessageBox& box) {
        seen = true;
        QCOMPARE(box.text(), QStringLiteral("Non riesco a spostare Quillora"));
        QCOMPARE(box.informativeText(),
                 QStringLiteral("Trascina Quillora nella cartella Applicazioni dal disco di "
                                "installazione. (disco pieno)"));
        QCOMPARE(box.buttons().size(), 1);
        QTest::mouseClick(box.buttons().first(), Qt::LeftButton);
    });
    desktop.showFailure(QStringLiteral("disco pieno"));
    QVERIFY(seen);
}

void AppMoverTests::realLaunchStartsAFreshCopy() {
    // The new copy must not believe it is the AppImage that started it.
    const QString marker = path(QStringLiteral("home/started"));
    const QString program = path(QStringLiteral("home/Applications/Quillora.AppImage"));
    writeFile(program, "#!/bin/sh\necho \"${APPIMAGE-none} $PWD\" > '" + marker.toUtf8() + "'\n");
    QVERIFY(QFile::setPermissions(program, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    qputenv("APPIMAGE", path(QStringLiteral("media/alice/USB/Quillora.AppImage")).toUtf8());
    AppMover::SystemDesktop desktop;
    const bool started = desktop.launch(program);
    qunsetenv("APPIMAGE");
    QVERIFY(started);
    QVERIFY(waitUntil([&] { return contentOf(marker).endsWith('\n'); }));
    QCOMPARE(contentOf(marker), "none " + QDir::homePath().toUtf8() + '\n');

    QVERIFY(!desktop.launch(path(QStringLiteral("home/Applications/missing"))));
}

QTEST_MAIN(AppMoverTests)
#include "AppMoverTests.moc"
