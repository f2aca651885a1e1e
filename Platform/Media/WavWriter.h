#pragma once

#include "Platform/Media/AudioFile.h"

#include <cstdint>
#include <filesystem>
#include <vector>

// 32-bit float WAVE written by hand, so that the header is right after every write: the RIFF, fact and
// data sizes are rewritten once the samples are on their way to the disk, and a killed process leaves a
// file whose header describes everything written before the kill. A file that outgrows the 32-bit RIFF
// sizes becomes RF64 (the header reserves room for that from the start).
class WavWriter final : public AudioFile::Writer {
public:
    // sizeLimit: largest RIFF size before switching to RF64; smaller values only serve tests.
    WavWriter(const std::filesystem::path& path, uint32_t sampleRate, uint16_t channelCount,
              uint64_t sizeLimit = 0xFFFFFFFFu);
    ~WavWriter() override;

    WavWriter(const WavWriter&) = delete;
    WavWriter& operator=(const WavWriter&) = delete;

    void write(const float* const* channels, uint32_t frameCount) override;
    void finish() override;

    static constexpr uint64_t headerSize = 94;

private:
    void writeAt(uint64_t offset, const void* bytes, std::size_t size);
    void updateSizes();

    std::filesystem::path path_;
    int fd_ = -1;
    uint16_t channelCount_;
    uint64_t sizeLimit_;
    uint64_t dataBytes_ = 0;
    bool rf64_ = false;
    std::vector<float> interleaved_;
};
