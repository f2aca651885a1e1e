#include "QuilloraCore/Diagnostics.h"

#include "QuilloraCore/SerialQueue.h"

#include "Platform/Files/PrivateFiles.h"

#include <systemd/sd-journal.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <pwd.h>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace Diagnostics {

namespace {

std::filesystem::path homeDirectory() {
    if (const char* home = std::getenv("HOME"); home != nullptr && home[0] != '\0') {
        return home;
    }
    // No HOME (a service or a stripped environment): ask the password database.
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* result = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &result) == 0 && result != nullptr &&
        result->pw_dir != nullptr) {
        return result->pw_dir;
    }
    return "/";
}

std::filesystem::path stateDirectory() {
    // XDG base directories: a relative value is to be ignored.
    if (const char* state = std::getenv("XDG_STATE_HOME"); state != nullptr && state[0] == '/') {
        return state;
    }
    return homeDirectory() / ".local" / "state";
}

// "2026-12-05T10:07:01.123Z": UTC, milliseconds, taken when log() is called.
std::string timestamp(std::chrono::system_clock::time_point now) {
    const auto sinceEpoch = std::chrono::floor<std::chrono::milliseconds>(now.time_since_epoch());
    const auto seconds = std::chrono::floor<std::chrono::seconds>(sinceEpoch);
    const auto millis = (sinceEpoch - seconds).count();
    const std::time_t time = static_cast<std::time_t>(seconds.count());
    std::tm utc{};
    gmtime_r(&time, &utc);
    char text[128]; // room for any int the format could print
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(millis));
    return text;
}

// Opens, appends and closes for every line, so no handle stays open and a deleted file comes back with the
// next line. Every failure is swallowed: the line is then only in the journal.
// The log names the user's calls and devices: it and the folders made for it are owner-only.
void appendLine(const std::filesystem::path& file, const std::string& line) {
    try {
        PrivateFiles::createFolders(file.parent_path());
    } catch (const PrivateFiles::FileError&) {
        return;
    }
    const int fd = PrivateFiles::open(file, O_WRONLY | O_APPEND);
    if (fd < 0) {
        return;
    }
    const char* data = line.data();
    std::size_t left = line.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, data, left);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        data += written;
        left -= static_cast<std::size_t>(written);
    }
    ::close(fd);
}

// The process-wide state, created on first use (thread-safe as a function-local static). The queue is
// declared last so it is destroyed first: at exit it writes out every queued line while the path it
// uses is still alive.
struct LogState {
    std::filesystem::path file = stateDirectory() / "Quillora" / "quillora.log";
    SerialQueue queue{"com.tandrevel.quillora.log"};
};

LogState& state() {
    static LogState instance;
    return instance;
}

} // namespace

void log(const std::string& message) {
    std::string line = timestamp(std::chrono::system_clock::now());
    line.reserve(line.size() + 1 + message.size() + 1);
    line += ' ';
    line += message;
    line += '\n';

    // Returns an error where no journal runs; that is fine, the file still gets the line.
    sd_journal_send("MESSAGE=%s", message.c_str(), "PRIORITY=5", "SYSLOG_IDENTIFIER=quillora",
                    "QUILLORA_SUBSYSTEM=com.tandrevel.quillora", "QUILLORA_CATEGORY=quillora", nullptr);

    LogState& s = state();
    s.queue.async([&file = s.file, line = std::move(line)] { appendLine(file, line); });
}

std::filesystem::path fileURL() {
    return state().file;
}

void flush() {
    state().queue.sync([] {});
}

std::string fixed(double value, int decimals) {
    char text[400]; // the longest double in fixed notation with up to 17 decimals
    const auto result = std::to_chars(std::begin(text), std::end(text), value, std::chars_format::fixed,
                                      std::clamp(decimals, 0, 17));
    return result.ec == std::errc{} ? std::string(text, result.ptr) : std::string("?");
}

} // namespace Diagnostics
