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

// The applications among `clients` that may be in a call: the normalized identifiers of every client that
// is not this process (`ownPID`), has an identifier and is not one of the system's own speech, sound or
// audio components; without repeats, in order of first occurrence.
std::vector<std::string> callApps(const std::vector<MicrophoneClient>& clients, int32_t ownPID);

// The identifier of the application a bundle identifier belongs to: a helper or audio-service process is
// folded onto its application, the conferencing daemons onto FaceTime, the web engine's processes onto
// Safari; anything else is returned unchanged.
std::string normalize(const std::string& bundleID);

} // namespace CallDetector
