#pragma once

#include <filesystem>
#include <string>

// What the ffmpeg command-line tools make of a recording: its first audio stream and whether the whole
// file decodes without an error.
struct MediaInspection {
    bool decodes = false; // ffmpeg decoded every packet and reported nothing
    double seconds = 0;   // the container's duration
    std::string codec;    // e.g. "aac"
    int channels = 0;
    int sampleRate = 0;
    std::string errors; // what the tools printed, for failure messages

    static MediaInspection of(const std::filesystem::path& file);
};
