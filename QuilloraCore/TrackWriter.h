#pragma once

#include "Platform/Media/AudioConverter.h"
#include "Platform/Media/AudioFile.h"
#include "Platform/Media/AudioFormat.h"
#include "Platform/Media/PcmBuffer.h"
#include "QuilloraCore/CallRecorder.h"
#include "QuilloraCore/Mixer.h"
#include "QuilloraCore/VoiceLeveler.h"

#include <filesystem>
#include <memory>
#include <optional>

// Turns captured blocks into the recording: measures both sides, levels the voice, mixes voice (centre)
// and call (its own sides) into soft-limited stereo, converts to 48 kHz when the capture runs at another
// rate and appends to one AAC file. Optionally also writes the unprocessed voice and call as two float
// WAVE tracks. Used only from the recorder's writer queue, one block at a time.
class TrackWriter {
public:
    // Creates the output's folder and the debug folder, owner-only where they are new
    // (PrivateFiles::FileError), and opens the recording (MediaError).
    TrackWriter(const std::filesystem::path& outputURL, std::optional<std::filesystem::path> debugDirectory,
                std::shared_ptr<LevelMeter> meter);
    // Finishes the recording, then the debug tracks.
    ~TrackWriter();

    TrackWriter(const TrackWriter&) = delete;
    TrackWriter& operator=(const TrackWriter&) = delete;

    // One captured block: mic and system channels of the same time span, frameCount frames at
    // sampleRate Hz. Channels shorter than frameCount are padded with silence, longer ones cut.
    // Throws CoreAudioError when the block cannot be prepared or converted and MediaError when it cannot
    // be written; statistics, leveler and meter have then already taken it into account.
    void write(const Mixer::Channels& mic, const Mixer::Channels& system, int frameCount, double sampleRate);

    const CallRecorder::Stats& stats() const { return stats_; }

private:
    PcmBuffer& mixBuffer(uint32_t frames, double sampleRate);
    PcmBuffer makeBuffer(const Mixer::Channels& channels, double sampleRate) const;
    PcmBuffer resample(const PcmBuffer& buffer, const AudioFormat& format);
    // Appends what the converter still holds back (its filter delay) and drops it. Called when the
    // capture's rate changes and at the end, so that no frame is lost or repeated at a rate change.
    void finishConversion();
    void writeDebug(const Mixer::Channel& micMono, const Mixer::Stereo& system, double sampleRate,
                    const std::filesystem::path& directory);

    std::unique_ptr<AudioFile> file_;
    std::unique_ptr<AudioFile> micFile_;
    std::unique_ptr<AudioFile> systemFile_;
    std::optional<std::filesystem::path> debugDirectory_;
    std::unique_ptr<AudioConverter> converter_;
    double lastRate_ = 0;                // of the last block, to log a change of the capture's rate
    std::optional<PcmBuffer> mixBuffer_; // the stereo mix of the current block
    VoiceLeveler leveler_;
    CallRecorder::Stats stats_;
    std::shared_ptr<LevelMeter> meter_;
};
