#include "QuilloraCore/FileNaming.h"

#include <gtest/gtest.h>

#include <QLocale>
#include <QTemporaryDir>
#include <ctime>
#include <fstream>
#include <set>

namespace fs = std::filesystem;

namespace {

const QDateTime start(QDate(2026, 12, 5), QTime(10, 30, 59));
const std::string stamp = "Chiamata 2026-12-05 10.30";

// A folder that holds exactly the given names.
auto folderWith(std::set<std::string> names) {
    return
        [names = std::move(names)](const fs::path& path) { return names.contains(path.filename().string()); };
}

TEST(FileNaming, takesTheFirstFreeNumberedName) {
    const std::pair<std::set<std::string>, std::string> cases[] = {
        {{}, stamp + ".m4a"},
        {{stamp + ".m4a"}, stamp + " (2).m4a"},
        {{stamp + ".m4a", stamp + " (2).m4a"}, stamp + " (3).m4a"},
        {{stamp + ".m4a", stamp + " (3).m4a"}, stamp + " (2).m4a"}, // a gap is reused
        {{"Chiamata 2026-12-05 10.31.m4a"}, stamp + ".m4a"},        // other minutes do not count
    };
    for (const auto& [taken, expected] : cases) {
        EXPECT_EQ(FileNaming::recordingURL("/rec", start, folderWith(taken)), fs::path("/rec") / expected);
    }

    // On disk: a file, a folder and a dangling link are all taken (writing through the link would create a
    // file somewhere else); asking creates nothing.
    QTemporaryDir temp;
    const fs::path dir = temp.path().toStdString();
    std::ofstream(dir / (stamp + ".m4a")) << "x";
    fs::create_directory(dir / (stamp + " (2).m4a"));
    fs::create_symlink(dir / "nowhere", dir / (stamp + " (3).m4a"));
    EXPECT_EQ(FileNaming::recordingURL(dir, start), dir / (stamp + " (4).m4a"));
    EXPECT_FALSE(fs::exists(dir / (stamp + " (4).m4a")));
}

TEST(FileNaming, stampIsLocalTwentyFourHourTimeWhateverTheLocale) {
    const QLocale saved;
    // Arabic writes its own digits and Hindi its own day periods: neither may leak into the name.
    for (const QLocale& locale :
         {QLocale(QLocale::Arabic, QLocale::Egypt), QLocale(QLocale::Hindi, QLocale::India)}) {
        QLocale::setDefault(locale);
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

} // namespace
