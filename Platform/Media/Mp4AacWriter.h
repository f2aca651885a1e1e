#pragma once

#include "Platform/Media/AudioFile.h"
#include "Platform/Media/FfmpegSupport.h"

#include <filesystem>

// AAC (FFmpeg's native encoder) in an MP4 container. While recording the file at its final path is a
// fragmented MP4 flushed about once a second, so a killed process leaves a playable file. finish()
// drains the encoder, completes the fragmented file and then rewrites it as an ordinary MP4 whose edit
// list hides the encoder's priming; if that rewrite fails the fragmented file is kept.
class Mp4AacWriter final : public AudioFile::Writer {
public:
    Mp4AacWriter(const std::filesystem::path& path, int sampleRate, int channelCount, int64_t bitRate);

    void write(const float* const* channels, uint32_t frameCount) override;
    void finish() override;

private:
    void encodeFullFrames();
    void encodeFrame(int frameSamples);
    void sendToEncoder(const AVFrame* frame);
    void dropIncompleteTail();

    std::filesystem::path path_;
    Ffmpeg::OutputContextPtr output_;
    Ffmpeg::CodecContextPtr encoder_;
    Ffmpeg::FramePtr frame_;
    Ffmpeg::PacketPtr packet_;
    Ffmpeg::AudioFifoPtr fifo_;
    AVStream* stream_ = nullptr;
    int64_t nextPts_ = 0; // samples handed to the encoder so far
    int64_t packetsWritten_ = 0;
    int64_t completeBytes_ = 0; // the file's length after the last write that fully reached the disk
};
