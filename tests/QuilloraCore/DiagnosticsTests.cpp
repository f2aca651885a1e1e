// The log file's path is fixed on first use for the whole process: these tests point XDG_STATE_HOME at a
// folder of their own before anything logs (every test runs in a process of its own under ctest).
#include "QuilloraCore/Diagnostics.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <iomanip>
#include <regex>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;

namespace {

fs::path stateHome;
const std::string stampPattern = R"(\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}\.\d{3}Z)";

std::string contents() {
    Diagnostics::flush();
    std::ifstream file(Diagnostics::fileURL(), std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

class DiagnosticsLog : public testing::Test {
protected:
    static void SetUpTestSuite() {
        stateHome = fs::path(scratch.path().toStdString());
        setenv("XDG_STATE_HOME", stateHome.c_str(), 1);
    }
    // Every test starts before the first entry after installation: no folder at all.
    void SetUp() override {
        Diagnostics::flush();
        fs::remove_all(stateHome / "Quillora");
    }
    static inline QTemporaryDir scratch;
};

TEST_F(DiagnosticsLog, entriesGoToTheStateFolderAsTheyAreWithAUtcTimestamp) {
    EXPECT_EQ(Diagnostics::fileURL(), stateHome / "Quillora" / "quillora.log");
    const auto before = std::chrono::system_clock::now();
    Diagnostics::log("Avvio di Quillora");
    Diagnostics::log("prima riga\nseconda riga");
    Diagnostics::log("àèìòù \"q\" \\n");
    const std::string text = contents();
    std::smatch match;
    ASSERT_TRUE(
        std::regex_match(text, match,
                         std::regex("(" + stampPattern + ") Avvio di Quillora\n" + stampPattern +
                                    " prima riga\nseconda riga\n" + stampPattern + " àèìòù \"q\" \\\\n\n")))
        << text;
    // The test runs with TZ away from UTC, so a local-time stamp would be hours off.
    std::tm utc{};
    std::istringstream(match[1].str()) >> std::get_time(&utc, "%Y-%m-%dT%H:%M:%S");
    EXPECT_LT(std::chrono::abs(std::chrono::system_clock::from_time_t(timegm(&utc)) - before),
              std::chrono::seconds(5));
}

TEST_F(DiagnosticsLog, aFileThatGoesAwayOrCannotBeOpenedIsSkippedAndRecreated) {
    Diagnostics::log("uno");
    Diagnostics::flush();
    fs::remove(Diagnostics::fileURL());
    Diagnostics::log("due");
    Diagnostics::log("tre");
    EXPECT_TRUE(std::regex_match(contents(), std::regex(stampPattern + " due\n" + stampPattern + " tre\n")));

    // A folder where the file should be: opening fails, the caller never notices, and the next entries
    // work once the obstacle is gone.
    fs::remove(Diagnostics::fileURL());
    fs::create_directories(Diagnostics::fileURL());
    Diagnostics::log("persa");
    Diagnostics::flush();
    fs::remove(Diagnostics::fileURL());
    Diagnostics::log("scritta");
    EXPECT_TRUE(std::regex_match(contents(), std::regex(stampPattern + " scritta\n")));
}

TEST_F(DiagnosticsLog, linesFromManyThreadsStayWholeAndInEachThreadsOrder) {
    constexpr int threads = 4;
    constexpr int perThread = 500;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([t] {
            for (int i = 0; i < perThread; ++i) {
                Diagnostics::log("thread " + std::to_string(t) + " line " + std::to_string(i));
            }
        });
    }
    for (std::thread& worker : workers) {
        worker.join();
    }
    std::istringstream lines(contents());
    const std::regex pattern(stampPattern + R"( thread (\d) line (\d+))");
    std::vector<int> next(threads, 0);
    for (std::string line; std::getline(lines, line);) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(line, match, pattern)) << line;
        const auto t = static_cast<std::size_t>(std::stoi(match[1].str()));
        ASSERT_EQ(std::stoi(match[2].str()), next[t]) << line;
        ++next[t];
    }
    EXPECT_EQ(next, std::vector<int>(threads, perThread));
}

} // namespace
