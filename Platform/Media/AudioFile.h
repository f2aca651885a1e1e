#pragma once

#include "Platform/Media/AudioFormat.h"
#include "Platform/Media/MediaError.h"
#include "Platform/Media/PcmBuffer.h"

#include <cstdint>
#include <filesystem>
#include <memory>

struct AudioFileSettings {
    // Format identifiers, as four-character codes.
    static constexpr uint32_t formatMPEG4AAC = 0x61616320;  // 'aac '
    static constexpr uint32_t formatLinearPCM = 0x6C70636D; // 'lpcm'

    uint32_t formatID = 0;
    double sampleRate = 0;
    uint32_t channelCount = 0;
    int64_t encoderBitRate = 0; // AAC: bits per second; 0 leaves the encoder's default
    uint32_t bitDepth = 0;      // linear PCM: must be 32
    bool isFloat = false;       // linear PCM: must be true
};

// An audio file opened for writing. The container follows the file name's extension:
//   ".m4a"  AAC in MP4 (formatMPEG4AAC),
//   ".wav"  32-bit float WAVE (formatLinearPCM, 32 bits, float).
// Buffers of any length are accepted in the processing format (float, non-interleaved, the file's rate
// and channel count).
//
// Both kinds stay readable if the process dies while writing. The ".m4a" is a fragmented MP4 while it
// is written (a killed process loses at most about the last second); finishing rewrites it into an
// ordinary MP4 that starts exactly on the first written sample. The ".wav" header describes every
// completed write.
class AudioFile {
public:
    // Throws MediaError when the settings do not fit the extension or the file cannot be created.
    AudioFile(const std::filesystem::path& path, const AudioFileSettings& settings);
    // Finishes the file if that has not happened; errors are swallowed (what was written stays).
    ~AudioFile();

    AudioFile(const AudioFile&) = delete;
    AudioFile& operator=(const AudioFile&) = delete;

    const AudioFormat& processingFormat() const { return processingFormat_; }
    const std::filesystem::path& path() const { return path_; }

    // Appends buffer.frameLength() frames. Throws MediaError when the buffer's format differs from the
    // processing format, the file is finished, or encoding or writing fails.
    void write(const PcmBuffer& buffer);

    // Completes and closes the file; later calls do nothing. Throws MediaError if the file could not be
    // completed (what already reached the disk stays readable).
    void finish();

    // Frames accepted by write() so far.
    int64_t framesWritten() const { return framesWritten_; }

    // The writer behind one container kind.
    class Writer {
    public:
        virtual ~Writer() = default;
        virtual void write(const float* const* channels, uint32_t frameCount) = 0;
        virtual void finish() = 0;
    };

private:
    std::filesystem::path path_;
    AudioFormat processingFormat_;
    std::unique_ptr<Writer> writer_;
    int64_t framesWritten_ = 0;
    bool finished_ = false;
};
