// The installation mover on folders of the test's own (a home with its trash, removable media roots): the
// decision, the search of the volumes, each ending of an accepted move, and the real launcher.
#include "AppTestSupport.h"
#include "Quillora/Services/AppMover.h"

#include <QDir>
#include <QFile>
#include <csignal>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

namespace {

using AppMover::Outcome;

// Records what the mover asked of the desktop, in order.
class FakeDesktop final : public AppMover::Desktop {
public:
    bool confirmMove() override {
        events.append("confirm");
        return accept;
    }
    void showFailure(const QString& description) override { events.append("failure: " + description); }
    bool launch(const QString& program) override {
        events.append("launch " + program);
        return launchWorks;
    }
    void quit() override { events.append("quit"); }

    bool accept = true;
    bool launchWorks = true;
    QStringList events;
};

class Mover : public testing::Test {
protected:
    void SetUp() override {
        saved = {qgetenv("HOME"), qgetenv("XDG_DATA_HOME")};
        qputenv("HOME", path("home").toUtf8());
        qputenv("XDG_DATA_HOME", path("home/.local/share").toUtf8()); // the trash
        ASSERT_TRUE(QDir().mkpath(path("home/.local/share")));
    }
    void TearDown() override {
        qputenv("HOME", saved.first);
        qputenv("XDG_DATA_HOME", saved.second);
    }
    QString path(const QString& relative) const { return root.filePath(relative); }
    QString destination() const { return AppMover::destinationPath(places); }
    QString trashed() const { return path("home/.local/share/Trash/files/Quillora.AppImage"); }
    void write(const QString& file, const QByteArray& content) {
        ASSERT_TRUE(QDir().mkpath(QFileInfo(file).absolutePath()));
        QFile out(file);
        ASSERT_TRUE(out.open(QIODevice::WriteOnly | QIODevice::Truncate));
        out.write(content);
    }
    static QByteArray contentOf(const QString& file) {
        QFile in(file);
        return in.open(QIODevice::ReadOnly) ? in.readAll() : QByteArray("<missing>");
    }
    QStringList applications() const {
        return QDir(path("home/Applications"))
            .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    }

    QTemporaryDir root;
    AppMover::Places places{path("home"), "alice", {path("media"), path("run/media")}};
    std::pair<QByteArray, QByteArray> saved;
};

TEST_F(Mover, OfferedOnlyFromRemovableMediaOrTranslocation) {
    for (const auto& [where, offered] : std::vector<std::pair<QString, bool>>{
             {destination(), false},
             {path("home/Downloads/Quillora.AppImage"), false},
             {path("media/alice/USB/Quillora.AppImage"), true},
             {path("run/media/alice/SD/Quillora.AppImage"), true},
             {path("media/Quillora.AppImage"), true},
             {path("mediateca/Quillora.AppImage"), false}, // only begins like a media root
             {"/tmp/x/AppTranslocation/A1/d/Quillora.AppImage", true},
             {"/tmp/x/apptranslocation/A1/d/Quillora.AppImage", false}, // case-sensitive
             {path("home/Applications/AppTranslocation/Quillora.AppImage"), false}}) {
        EXPECT_EQ(AppMover::shouldOffer(where, places), offered) << where.toStdString();
    }
}

TEST_F(Mover, VolumesAreSearchedInOrder) {
    EXPECT_EQ(AppMover::originalBundlePath(places), std::nullopt);
    ASSERT_TRUE(QDir().mkpath(path("media/alice/B/Quillora.AppImage"))); // not a file: passed over
    // The user's own volumes, then those straight under the root, then the next root; never another user's.
    const QStringList order{"media/alice/C/Quillora.AppImage", "media/A-fixed/Quillora.AppImage",
                            "run/media/alice/F/Quillora.AppImage"};
    write(path("media/bob/E/Quillora.AppImage"), "bob's");
    for (const QString& file : order) {
        write(path(file), "x");
    }
    for (const QString& file : order) {
        EXPECT_EQ(AppMover::originalBundlePath(places), path(file));
        ASSERT_TRUE(QFile::remove(path(file)));
    }
    EXPECT_EQ(AppMover::originalBundlePath(places), std::nullopt);
}

TEST_F(Mover, AcceptedMoveReplacesTheInstalledCopyAndStartsIt) {
    write(destination(), "old version");
    write(path("media/alice/USB1/Quillora.AppImage"), "from USB1");
    const QString running = path("media/alice/USB2/Quillora.AppImage");
    write(running, "from USB2");
    const qsizetype logBefore = logText().size();
    FakeDesktop desktop;
    desktop.launchWorks = false; // quits all the same
    EXPECT_EQ(AppMover::offerMove(running, places, desktop), Outcome::moved);
    EXPECT_EQ(desktop.events, (QStringList{"confirm", "launch " + destination(), "quit"}));
    EXPECT_EQ(contentOf(destination()), "from USB1"); // the first volume's copy
    EXPECT_EQ(QFile::permissions(destination()) & (QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther),
              QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther);
    EXPECT_EQ(applications(), QStringList{"Quillora.AppImage"}); // no temporary file left
    EXPECT_TRUE(logText().mid(logBefore).contains(" Spostata in Applicazioni da " +
                                                  path("media/alice/USB1/Quillora.AppImage") + '\n'));
    // The old copy is in the trash, with the note that lets the file manager put it back.
    EXPECT_EQ(contentOf(trashed()), "old version");
    EXPECT_TRUE(contentOf(path("home/.local/share/Trash/info/Quillora.AppImage.trashinfo"))
                    .contains("Path=" + QUrl::toPercentEncoding(destination(), "/")));

    // No volume holds the program (a renamed or translocated one): the running file itself is copied.
    ASSERT_TRUE(QDir(path("media")).removeRecursively());
    const QString renamed = path("private/AppTranslocation/5F2A/d/quillora-1.2.AppImage");
    write(renamed, QByteArray(3 * 1024 * 1024 + 17, 'q')); // more than one block of the copy
    EXPECT_EQ(AppMover::offerMove(renamed, places, desktop), Outcome::moved);
    EXPECT_EQ(contentOf(destination()), contentOf(renamed));

    // Declined: nothing changes, and from an ordinary folder nothing is asked.
    write(path("media/alice/USB/Quillora.AppImage"), "new");
    desktop = FakeDesktop{};
    desktop.accept = false;
    EXPECT_EQ(AppMover::offerMove(path("media/alice/USB/Quillora.AppImage"), places, desktop),
              Outcome::declined);
    EXPECT_EQ(AppMover::offerMove(path("home/Downloads/Quillora.AppImage"), places, desktop),
              Outcome::notOffered);
    EXPECT_EQ(desktop.events, QStringList{"confirm"});
    EXPECT_EQ(contentOf(destination()), contentOf(renamed));
}

TEST_F(Mover, FailuresLeaveTheInstalledCopyAndNoPartialFile) {
    const QString running = path("media/alice/USB/Quillora.AppImage");
    write(running, QByteArray(2 * 1024 * 1024, 'n'));
    const qsizetype logBefore = logText().size();
    const auto expectFailure = [&](const QString& what) {
        FakeDesktop desktop;
        EXPECT_EQ(AppMover::offerMove(running, places, desktop), Outcome::failed) << what.toStdString();
        ASSERT_EQ(desktop.events.size(), 2) << what.toStdString();
        EXPECT_TRUE(desktop.events[1].startsWith("failure: ") && desktop.events[1].contains(what))
            << desktop.events[1].toStdString();
    };
    write(path("home/Applications"), "a file in the way");
    expectFailure(path("home/Applications"));
    ASSERT_TRUE(QFile::remove(path("home/Applications")));

    // The old copy cannot go to the trash: it stays, and nothing lands in the current folder instead.
    write(destination(), "old");
    ASSERT_TRUE(QDir(path("home/.local/share")).removeRecursively());
    write(path("home/.local/share"), "not a folder");
    ASSERT_TRUE(QDir().mkpath(path("cwd")));
    const QString previousCurrent = QDir::currentPath();
    QDir::setCurrent(path("cwd"));
    expectFailure("nel cestino");
    QDir::setCurrent(previousCurrent);
    EXPECT_EQ(QDir(path("cwd")).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
              QStringList{});
    ASSERT_TRUE(QFile::remove(path("home/.local/share")));
    ASSERT_TRUE(QDir().mkpath(path("home/.local/share")));

    // Writes past 256 KiB fail (EFBIG): the copy breaks off half-way and leaves nothing under the name.
    rlimit limit{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &limit), 0);
    const rlimit savedLimit = limit;
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    limit.rlim_cur = 256 * 1024;
    ::setrlimit(RLIMIT_FSIZE, &limit);
    expectFailure("non riesco a scrivere in ");
    ::setrlimit(RLIMIT_FSIZE, &savedLimit);
    std::signal(SIGXFSZ, previousHandler);
    EXPECT_EQ(contentOf(trashed()), "old");
    EXPECT_EQ(applications(), QStringList{});

    // A pipe would block the copy for ever: refused before anything is touched.
    write(destination(), "old");
    ASSERT_TRUE(QFile::remove(trashed()));
    ASSERT_TRUE(QFile::remove(running));
    ASSERT_EQ(::mkfifo(running.toLocal8Bit().constData(), 0644), 0);
    expectFailure(running + " non è un file");
    EXPECT_EQ(contentOf(destination()), "old");
    EXPECT_FALSE(QFile::exists(trashed()));

    // A home inside a media root's user folder: the search finds the installed copy itself, which must be
    // neither trashed nor copied onto itself.
    places.home = path("media/alice");
    write(destination(), "installed");
    ASSERT_TRUE(QFile::remove(running));
    write(path("media/alice/USB/quillora-2.AppImage"), "new");
    ASSERT_EQ(AppMover::originalBundlePath(places), destination());
    FakeDesktop desktop;
    EXPECT_EQ(AppMover::offerMove(path("media/alice/USB/quillora-2.AppImage"), places, desktop),
              Outcome::failed);
    EXPECT_EQ(contentOf(destination()), "installed");
    EXPECT_FALSE(QFile::exists(path("media/alice/.local/share/Trash/files/Quillora.AppImage")));
    EXPECT_FALSE(logText().mid(logBefore).contains("Spostata"));
}

TEST_F(Mover, TheLaunchedCopyStartsFresh) {
    AppMover::SystemDesktop desktop;
    // The new copy must not believe it is the AppImage that started it.
    const QString marker = path("home/started"), program = path("home/Applications/Quillora.AppImage");
    write(program, "#!/bin/sh\necho \"${APPIMAGE-none} $PWD\" > '" + marker.toUtf8() + "'\n");
    QFile::setPermissions(program, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    qputenv("APPIMAGE", path("media/alice/USB/Quillora.AppImage").toUtf8());
    const bool started = desktop.launch(program);
    qunsetenv("APPIMAGE");
    ASSERT_TRUE(started);
    ASSERT_TRUE(waitUntil([&] { return contentOf(marker).endsWith('\n'); }));
    EXPECT_EQ(contentOf(marker), "none " + path("home").toUtf8() + '\n');
    EXPECT_FALSE(desktop.launch(path("home/Applications/missing")));
}

} // namespace
