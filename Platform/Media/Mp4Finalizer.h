#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

// Turns a finished fragmented MP4 into an ordinary one: a stream copy into a temporary file beside it,
// made durable and renamed over the original. The copy's timeline starts primingSamples before the first
// packet and its last packet ends right after the last real sample, so the muxer's edit list presents
// exactly the samples that were written: no encoder priming at the start, no padding at the end.
namespace Mp4Finalizer {

struct Recording {
    int64_t primingSamples = 0; // the encoder's delay before the first real sample
    int64_t frameSamples = 0;   // samples per packet
    int64_t totalSamples = 0;   // real samples written
    int64_t packetCount = 0;    // packets written; the copy must hold every one of them
};

// True when the original was replaced. On false, the original is untouched, no temporary file is left
// and error says why.
bool rewriteAsPlainMp4(const std::filesystem::path& path, const Recording& recording, std::string& error);

} // namespace Mp4Finalizer
