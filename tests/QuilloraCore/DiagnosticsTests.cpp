// The log file's path is fixed on first use for the whole process, so these tests have their own program:
// main points XDG_STATE_HOME at a fresh temporary folder before anything logs.
#include "QuilloraCore/Diagnostics.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iomanip>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

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

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        result.push_back(line);
    }
    return result;
}

class DiagnosticsLog : public testing::Test {
protected:
    // Every test starts before the first entry after installation: no folder at all.
    void SetUp() override {
        Diagnostics::flush();
        fs::remove_all(stateHome / "Quillora");
    }
};

} // namespace

TEST_F(DiagnosticsLog, fileLivesInTheStateFolder) {
    EXPECT_EQ(Diagnostics::fileURL(), stateHome / "Quillora" / "quillora.log");
}

TEST_F(DiagnosticsLog, firstEntryCreatesFolderAndFileWithAUtcTimestamp) {
    const auto before = std::chrono::system_clock::now();
    Diagnostics::log("Avvio di Quillora");
    const std::string text = contents();
    ASSERT_TRUE(fs::is_regular_file(Diagnostics::fileURL()));

    std::smatch match;
    ASSERT_TRUE(std::regex_match(text, match, std::regex("(" + stampPattern + ") Avvio di Quillora\n")))
        << text;

    // The test runs with TZ away from UTC, so a local-time stamp would be hours off.
    std::tm utc{};
    std::istringstream(match[1].str()) >> std::get_time(&utc, "%Y-%m-%dT%H:%M:%S");
    const auto logged = std::chrono::system_clock::from_time_t(timegm(&utc));
    EXPECT_LT(std::chrono::abs(logged - before), std::chrono::seconds(5));
}

TEST_F(DiagnosticsLog, messagesAreWrittenAsTheyAre) {
    Diagnostics::log("");
    Diagnostics::log("prima riga\nseconda riga");
    Diagnostics::log("àèìòù · 12:48 \"q\" \\n");
    EXPECT_TRUE(std::regex_match(contents(), std::regex(stampPattern + " \n" + stampPattern +
                                                        " prima riga\nseconda riga\n" + stampPattern +
                                                        " àèìòù · 12:48 \"q\" \\\\n\n")))
        << contents();
}

TEST_F(DiagnosticsLog, deletedFileIsRecreatedByTheNextEntry) {
    Diagnostics::log("uno");
    Diagnostics::flush();
    fs::remove(Diagnostics::fileURL());
    Diagnostics::log("due");
    EXPECT_TRUE(std::regex_match(contents(), std::regex(stampPattern + " due\n")));

    Diagnostics::log("tre"); // appended, not replacing
    EXPECT_EQ(lines(contents()).size(), 2u);
}

TEST_F(DiagnosticsLog, unwritableFileIsSkippedSilently) {
    // A folder where the file should be: opening fails, the caller never notices, the next entries work
    // once the obstacle is gone.
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
    const std::vector<std::string> all = lines(contents());
    ASSERT_EQ(all.size(), static_cast<std::size_t>(threads * perThread));
    const std::regex pattern(stampPattern + R"( thread (\d) line (\d+))");
    std::vector<int> next(threads, 0);
    for (const std::string& line : all) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(line, match, pattern)) << line;
        const int t = std::stoi(match[1].str());
        ASSERT_EQ(std::stoi(match[2].str()), next[t]) << line;
        ++next[t];
    }
    EXPECT_EQ(next, std::vector<int>(threads, perThread));
}

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    char pattern[] = "/tmp/quillora-log-tests-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        return 2;
    }
    stateHome = pattern;
    setenv("XDG_STATE_HOME", pattern, 1);
    // Far from UTC, so that a timestamp in local time would show.
    setenv("TZ", "Asia/Kolkata", 1);
    tzset();
    const int result = RUN_ALL_TESTS();
    Diagnostics::flush();
    fs::remove_all(stateHome);
    return result;
}
