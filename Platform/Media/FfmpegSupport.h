#pragma once

// Internal to Platform/Media: the only place outside FFmpeg that sees its types.

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
}

#include <filesystem>
#include <memory>
#include <string>

namespace Ffmpeg {

struct CodecContextDeleter {
    void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
struct FrameDeleter {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct PacketDeleter {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct AudioFifoDeleter {
    void operator()(AVAudioFifo* fifo) const { av_audio_fifo_free(fifo); }
};
// An output context owns its AVIOContext once opened; the deleter closes that too.
struct OutputContextDeleter {
    void operator()(AVFormatContext* context) const;
};
struct InputContextDeleter {
    void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};

using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextDeleter>;
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;
using AudioFifoPtr = std::unique_ptr<AVAudioFifo, AudioFifoDeleter>;
using OutputContextPtr = std::unique_ptr<AVFormatContext, OutputContextDeleter>;
using InputContextPtr = std::unique_ptr<AVFormatContext, InputContextDeleter>;

// Once per process: FFmpeg's own log shows warnings and errors only (its encoders report statistics at
// the informational level on every close).
void quietenLogging();

// An AVERROR code explained in Italian.
std::string errorText(int averror);

// avio_open for writing, the file created owner-only (see PrivateFiles). Returns avio_open's status.
int openPrivately(AVIOContext*& io, const std::filesystem::path& path);

// AVERROR_EOF and AVERROR(EAGAIN), kept out of line: their macros use C casts.
int endOfFile();
int tryAgain();

// Throws MediaError: "<what>: <errorText>".
[[noreturn]] void fail(const std::string& what, int averror);

// Owns an AVDictionary of options for the duration of one call.
class Options {
public:
    Options() = default;
    Options(const Options&) = delete;
    Options& operator=(const Options&) = delete;
    ~Options() { av_dict_free(&dictionary_); }

    void set(const char* key, const char* value) { av_dict_set(&dictionary_, key, value, 0); }
    AVDictionary** get() { return &dictionary_; }

    // Keys FFmpeg did not use, comma-separated; empty when all were taken.
    std::string unused() const;

private:
    AVDictionary* dictionary_ = nullptr;
};

} // namespace Ffmpeg
