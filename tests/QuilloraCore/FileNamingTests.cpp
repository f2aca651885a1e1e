#include "QuilloraCore/FileNaming.h"

#include <gtest/gtest.h>

#include <QLocale>
#include <QTemporaryDir>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <set>

namespace fs = std::filesystem;

namespace {

const QDateTime start(QDate(2026, 12, 5), QTime(10, 30, 59));

// A folder that holds exactly the given names.
auto folderWith(std::set<std::string> names) {
    return [names = std::move(names)](const fs::path& path) {
        return names.count(path.filename().string()) > 0;
    };
}

} // namespace

TEST(FileNaming, takesTheFirstFreeNumberedName) {
    const fs::path dir = "/rec";
    EXPECT_EQ(FileNaming::recordingURL(dir, start, folderWith({})), dir / "Chiamata 2026-12-05 10.30.m4a");
    EXPECT_EQ(FileNaming::recordingURL(dir, start, folderWith({"Chiamata 2026-12-05 10.30.m4a"})),
              dir / "Chiamata 2026-12-05 10.30 (2).m4a");
    EXPECT_EQ(
        FileNaming::recordingURL(
            dir, start, folderWith({"Chiamata 2026-12-05 10.30.m4a", "Chiamata 2026-12-05 10.30 (2).m4a"})),
        dir / "Chiamata 2026-12-05 10.30 (3).m4a");
    // A gap is reused.
    EXPECT_EQ(
        FileNaming::recordingURL(
            dir, start, folderWith({"Chiamata 2026-12-05 10.30.m4a", "Chiamata 2026-12-05 10.30 (3).m4a"})),
        dir / "Chiamata 2026-12-05 10.30 (2).m4a");
    // Other minutes do not count.
    EXPECT_EQ(FileNaming::recordingURL(dir, start, folderWith({"Chiamata 2026-12-05 10.31.m4a"})),
              dir / "Chiamata 2026-12-05 10.30.m4a");
}

TEST(FileNaming, stampIsLocalTwentyFourHourTimeWhateverTheLocale) {
    const QLocale saved;
    // Arabic writes its own digits and Hindi its own day periods: neither may leak into the name.
    for (const QLocale& locale :
         {QLocale(QLocale::Arabic, QLocale::Egypt), QLocale(QLocale::Hindi, QLocale::India)}) {
        QLocale::setDefault(locale);
        EXPECT_EQ(FileNaming::recordingURL("/r", QDateTime(QDate(2027, 1, 3), QTime(9, 5)), folderWith({})),
                  fs::path("/r/Chiamata 2027-01-03 09.05.m4a"));
        EXPECT_EQ(FileNaming::recordingURL("/r", QDateTime(QDate(2027, 1, 3), QTime(21, 5)), folderWith({})),
                  fs::path("/r/Chiamata 2027-01-03 21.05.m4a"));
    }
    QLocale::setDefault(saved);

    // A time given in UTC is named by the local clock (the tests run with TZ set away from UTC).
    const QDateTime utc(QDate(2027, 6, 30), QTime(23, 50), Qt::UTC);
    const std::time_t seconds = static_cast<std::time_t>(utc.toSecsSinceEpoch());
    std::tm local{};
    localtime_r(&seconds, &local);
    char expected[64];
    std::strftime(expected, sizeof expected, "Chiamata %Y-%m-%d %H.%M.m4a", &local);
    EXPECT_EQ(FileNaming::recordingURL("/r", utc, folderWith({})).filename(), fs::path(expected));
}

TEST(FileNaming, defaultTestLooksAtTheRealFolder) {
    QTemporaryDir temp;
    ASSERT_TRUE(temp.isValid());
    const fs::path dir = temp.path().toStdString();
    EXPECT_EQ(FileNaming::recordingURL(dir, start), dir / "Chiamata 2026-12-05 10.30.m4a");

    std::ofstream(dir / "Chiamata 2026-12-05 10.30.m4a") << "x";
    fs::create_directory(dir / "Chiamata 2026-12-05 10.30 (2).m4a");
    // A dangling link is taken too: writing through it would create a file somewhere else.
    fs::create_symlink(dir / "nowhere", dir / "Chiamata 2026-12-05 10.30 (3).m4a");
    EXPECT_EQ(FileNaming::recordingURL(dir, start), dir / "Chiamata 2026-12-05 10.30 (4).m4a");
    EXPECT_FALSE(fs::exists(dir / "Chiamata 2026-12-05 10.30 (4).m4a")); // asking creates nothing
}

TEST(FileNaming, defaultDirectoryIsTheMusicFolderPlusQuillora) {
    QTemporaryDir temp;
    ASSERT_TRUE(temp.isValid());
    const QByteArray savedConfig = qgetenv("XDG_CONFIG_HOME");
    const QByteArray savedHome = qgetenv("HOME");
    qputenv("HOME", temp.path().toUtf8());
    qputenv("XDG_CONFIG_HOME", (temp.path() + "/config").toUtf8());

    // No user-dirs.dirs: the plain ~/Music.
    EXPECT_EQ(FileNaming::defaultDirectory(), fs::path(temp.path().toStdString()) / "Music" / "Quillora");

    // A localised music folder is honoured.
    fs::create_directories(temp.path().toStdString() + "/config");
    std::ofstream(temp.path().toStdString() + "/config/user-dirs.dirs") << "XDG_MUSIC_DIR=\"$HOME/Musica\"\n";
    EXPECT_EQ(FileNaming::defaultDirectory(), fs::path(temp.path().toStdString()) / "Musica" / "Quillora");

    qputenv("HOME", savedHome);
    if (savedConfig.isNull()) {
        qunsetenv("XDG_CONFIG_HOME");
    } else {
        qputenv("XDG_CONFIG_HOME", savedConfig);
    }
}
