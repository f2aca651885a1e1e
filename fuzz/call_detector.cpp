// Which microphone users are call applications. Input: text lines; the first is our own process id, each
// further one a client as "<pid> <identifier>" (a line without a space is an identifier whose process id
// could not be read, 0).
#include "FuzzSupport.h"
#include "QuilloraCore/CallDetector.h"

#include <algorithm>
#include <string>
#include <string_view>

using FuzzSupport::require;

namespace {

int32_t processID(std::string_view text) {
    long long value = 0;
    bool negative = !text.empty() && text.front() == '-';
    for (char c : text.substr(negative ? 1 : 0)) {
        if (c < '0' || c > '9') {
            return 0;
        }
        value = std::min<long long>(value * 10 + (c - '0'), 1LL << 32);
    }
    return static_cast<int32_t>(negative ? -value : value);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    std::vector<MicrophoneClient> clients;
    int32_t ownPID = 0;
    std::size_t start = 0;
    bool first = true;
    while (start <= input.size()) {
        const std::size_t end = std::min(input.find('\n', start), input.size());
        const std::string_view line = input.substr(start, end - start);
        start = end + 1;
        if (first) {
            ownPID = processID(line);
            first = false;
            continue;
        }
        const std::size_t space = line.find(' ');
        if (space == std::string_view::npos) {
            clients.push_back({0, std::string(line)});
        } else {
            clients.push_back({processID(line.substr(0, space)), std::string(line.substr(space + 1))});
        }
    }

    // The list's answer is the clients' own answers, one after the other, without repeats.
    std::vector<std::string> expected;
    for (const MicrophoneClient& client : clients) {
        const std::vector<std::string> alone = CallDetector::callApps({client}, ownPID);
        require(alone.size() <= 1, "one client is at most one application");
        if (alone.empty()) {
            continue;
        }
        require(client.pid != ownPID && !client.bundleID.empty(),
                "our own process and nameless clients are skipped");
        require(alone.front() == CallDetector::normalize(client.bundleID),
                "an application is its normalized id");
        require(!alone.front().empty(), "no empty application");
        if (std::find(expected.begin(), expected.end(), alone.front()) == expected.end()) {
            expected.push_back(alone.front());
        }
    }
    require(CallDetector::callApps(clients, ownPID) == expected,
            "callApps de-duplicates in order of first occurrence");
    return 0;
}
