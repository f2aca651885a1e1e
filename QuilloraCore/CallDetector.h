#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A process that is using audio input.
struct MicrophoneClient {
    int32_t pid = 0;      // 0 when it could not be read
    std::string bundleID; // as the audio system reports it; empty when it could not be read

    bool operator==(const MicrophoneClient&) const = default;
};

namespace CallDetector {

// Every audio process object running audio input right now, in the audio system's order. Never fails:
// a failed read means fewer entries, or none.
std::vector<MicrophoneClient> microphoneClients();

} // namespace CallDetector
