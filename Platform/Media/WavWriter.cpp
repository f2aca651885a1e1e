#include "Platform/Media/WavWriter.h"

#include "Platform/Files/PrivateFiles.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

static_assert(std::endian::native == std::endian::little,
              "WAVE samples and sizes are written as stored in memory");

namespace {

// Header layout (offsets in bytes):
//   0 "RIFF"/"RF64", 4 size, 8 "WAVE"
//  12 "JUNK"/"ds64", 16 size 28, 20 RIFF size (64), 28 data size (64), 36 frame count (64), 44 table length
//  48 "fmt ", 52 size 18, 56 format 3 (IEEE float), channels, rate, byte rate, block align, 32 bits, cbSize 0
//  74 "fact", 78 size 4, 82 frame count
//  86 "data", 90 size, 94 samples
constexpr uint64_t riffSizeOffset = 4;
constexpr uint64_t ds64Offset = 12;
constexpr uint64_t factCountOffset = 82;
constexpr uint64_t dataSizeOffset = 90;

class HeaderBytes {
public:
    void tag(const char (&text)[5]) { append(text, 4); }
    void u16(uint16_t value) { append(&value, sizeof value); }
    void u32(uint32_t value) { append(&value, sizeof value); }
    void u64(uint64_t value) { append(&value, sizeof value); }
    const std::vector<unsigned char>& bytes() const { return bytes_; }

private:
    void append(const void* data, std::size_t size) {
        const auto* begin = static_cast<const unsigned char*>(data);
        bytes_.insert(bytes_.end(), begin, begin + size);
    }
    std::vector<unsigned char> bytes_;
};

std::string systemError(const std::string& what, int error) {
    return what + ": " + PrivateFiles::errorText(error);
}

} // namespace

WavWriter::WavWriter(const std::filesystem::path& path, uint32_t sampleRate, uint16_t channelCount,
                     uint64_t sizeLimit)
    : path_(path), channelCount_(channelCount), sizeLimit_(sizeLimit) {
    const uint16_t blockAlign = static_cast<uint16_t>(channelCount * sizeof(float));
    HeaderBytes header;
    header.tag("RIFF");
    header.u32(static_cast<uint32_t>(headerSize - 8));
    header.tag("WAVE");
    header.tag("JUNK");
    header.u32(28);
    header.u64(0);
    header.u64(0);
    header.u64(0);
    header.u32(0);
    header.tag("fmt ");
    header.u32(18);
    header.u16(3);
    header.u16(channelCount);
    header.u32(sampleRate);
    header.u32(sampleRate * blockAlign);
    header.u16(blockAlign);
    header.u16(32);
    header.u16(0);
    header.tag("fact");
    header.u32(4);
    header.u32(0);
    header.tag("data");
    header.u32(0);

    fd_ = PrivateFiles::open(path, O_WRONLY | O_TRUNC);
    if (fd_ < 0) {
        throw MediaError(systemError("Impossibile creare il file audio \"" + path.string() + "\"", errno));
    }
    try {
        writeAt(0, header.bytes().data(), header.bytes().size());
    } catch (...) {
        close(fd_);
        fd_ = -1;
        throw;
    }
}

WavWriter::~WavWriter() {
    if (fd_ >= 0) {
        close(fd_);
    }
}

void WavWriter::write(const float* const* channels, uint32_t frameCount) {
    if (fd_ < 0) {
        throw MediaError("Il file audio \"" + path_.string() + "\" è già chiuso");
    }
    if (frameCount == 0) {
        return;
    }
    interleaved_.resize(static_cast<std::size_t>(frameCount) * channelCount_);
    for (uint16_t c = 0; c < channelCount_; ++c) {
        const float* source = channels[c];
        float* target = interleaved_.data() + c;
        for (uint32_t i = 0; i < frameCount; ++i, target += channelCount_) {
            *target = source[i];
        }
    }
    const std::size_t bytes = interleaved_.size() * sizeof(float);
    // Always at the offset the header implies, so a failed write cannot shift later samples.
    writeAt(headerSize + dataBytes_, interleaved_.data(), bytes);
    dataBytes_ += bytes;
    updateSizes();
}

void WavWriter::finish() {
    if (fd_ < 0) {
        return;
    }
    const int fd = fd_;
    fd_ = -1;
    if (close(fd) != 0) {
        throw MediaError(systemError("Impossibile chiudere il file audio \"" + path_.string() + "\"", errno));
    }
}

void WavWriter::writeAt(uint64_t offset, const void* bytes, std::size_t size) {
    const auto* cursor = static_cast<const unsigned char*>(bytes);
    while (size > 0) {
        const ssize_t written = pwrite(fd_, cursor, size, static_cast<off_t>(offset));
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            throw MediaError(systemError("Impossibile scrivere il file audio \"" + path_.string() + "\"",
                                         written < 0 ? errno : EIO));
        }
        cursor += written;
        offset += static_cast<uint64_t>(written);
        size -= static_cast<std::size_t>(written);
    }
}

void WavWriter::updateSizes() {
    const uint64_t riffSize = headerSize - 8 + dataBytes_;
    const uint64_t frames = dataBytes_ / (sizeof(float) * channelCount_);
    const bool switching = !rf64_ && riffSize > sizeLimit_;
    if (rf64_ || switching) {
        // The 64-bit sizes go in first, so whichever header a reader sees, its sizes are valid.
        const std::array<uint64_t, 3> sizes{riffSize, dataBytes_, frames};
        writeAt(ds64Offset + 8, sizes.data(), sizeof sizes);
        if (switching) {
            rf64_ = true;
            writeAt(ds64Offset, "ds64", 4);
            writeAt(0, "RF64", 4);
            // In RF64 the 32-bit fields say "look in ds64".
            const uint32_t unknown = 0xFFFFFFFFu;
            writeAt(riffSizeOffset, &unknown, 4);
            writeAt(factCountOffset, &unknown, 4);
            writeAt(dataSizeOffset, &unknown, 4);
        }
        return;
    }
    const auto riff32 = static_cast<uint32_t>(riffSize);
    const auto data32 = static_cast<uint32_t>(dataBytes_);
    const auto frames32 = static_cast<uint32_t>(frames);
    writeAt(dataSizeOffset, &data32, 4);
    writeAt(factCountOffset, &frames32, 4);
    writeAt(riffSizeOffset, &riff32, 4);
}
