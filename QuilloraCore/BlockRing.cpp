#include "QuilloraCore/BlockRing.h"

#include <algorithm>
#include <cmath>
#include <cstring>

struct BlockRing::Header {
    uint32_t size; // bytes of the whole entry, header included; 0 marks "wrap to the start"
    uint32_t micChannels;
    uint32_t systemChannels;
    int32_t frameCount;
    double sampleRate;
};

namespace {

constexpr std::size_t alignUp(std::size_t n) {
    return (n + 7) & ~std::size_t{7};
}

} // namespace

BlockRing::BlockRing(std::size_t capacityBytes)
    : capacity_(alignUp(capacityBytes)), storage_(std::make_unique<std::byte[]>(capacity_)) {}

std::size_t BlockRing::bytesFor(double seconds, double sampleRate, std::size_t channels,
                                uint32_t blockFrames) {
    const auto frames = static_cast<std::size_t>(std::ceil(std::max(seconds * sampleRate, 0.0)));
    const std::size_t frameBytes = std::max<std::size_t>(channels, 1) * sizeof(float);
    const std::size_t entries = frames / std::max<uint32_t>(blockFrames, 1) + 1;
    const std::size_t perEntry = alignUp(sizeof(Header) + channels * sizeof(uint32_t)) + 8;
    // A wrap leaves less than one entry unused; the graph's largest blocks are 8192 frames.
    const std::size_t largestEntry =
        perEntry + std::size_t{std::max<uint32_t>(blockFrames, 8192)} * frameBytes;
    return frames * frameBytes + entries * perEntry + largestEntry;
}

bool BlockRing::push(int frameCount, double sampleRate, std::span<const ChannelSource> mic,
                     std::span<const ChannelSource> system) noexcept {
    const std::size_t channels = mic.size() + system.size();
    std::size_t samples = 0;
    for (const auto& c : mic) {
        samples += c.frames;
    }
    for (const auto& c : system) {
        samples += c.frames;
    }
    const std::size_t entry = alignUp(sizeof(Header) + channels * sizeof(uint32_t) + samples * sizeof(float));

    const uint64_t head = head_.load(std::memory_order_relaxed);
    const uint64_t tail = tail_.load(std::memory_order_acquire);
    const std::size_t offset = head % capacity_;
    const std::size_t untilEnd = capacity_ - offset;
    // An entry never straddles the end: if it does not fit there, a wrap marker skips the rest. Entries
    // of at most half the capacity always fit an empty ring, wherever its position, so a writer that has
    // caught up never keeps refusing blocks.
    const std::size_t needed = entry <= untilEnd ? entry : untilEnd + entry;
    if (entry > capacity_ / 2 || mic.size() > maxChannels || system.size() > maxChannels ||
        capacity_ - (head - tail) < needed) {
        dropped_.fetch_add(1, std::memory_order_relaxed);
        return false;
    }

    uint64_t position = head;
    if (entry > untilEnd) {
        if (untilEnd >= sizeof(uint32_t)) {
            const uint32_t wrap = 0;
            std::memcpy(storage_.get() + offset, &wrap, sizeof wrap);
        }
        position += untilEnd;
    }

    std::byte* out = storage_.get() + position % capacity_;
    const Header header{static_cast<uint32_t>(entry), static_cast<uint32_t>(mic.size()),
                        static_cast<uint32_t>(system.size()), frameCount, sampleRate};
    std::memcpy(out, &header, sizeof header);
    std::byte* lengths = out + sizeof header;
    auto* samplesOut = reinterpret_cast<float*>(lengths + channels * sizeof(uint32_t));
    std::size_t index = 0;
    auto copyChannel = [&](const ChannelSource& source) {
        std::memcpy(lengths + index * sizeof(uint32_t), &source.frames, sizeof(uint32_t));
        ++index;
        for (uint32_t i = 0; i < source.frames; ++i) {
            samplesOut[i] = source.base[static_cast<std::size_t>(i) * source.stride];
        }
        samplesOut += source.frames;
    };
    for (const auto& c : mic) {
        copyChannel(c);
    }
    for (const auto& c : system) {
        copyChannel(c);
    }

    head_.store(position + entry, std::memory_order_release);
    return true;
}

bool BlockRing::pop(Block& out) {
    uint64_t tail = tail_.load(std::memory_order_relaxed);
    const uint64_t head = head_.load(std::memory_order_acquire);
    if (tail == head) {
        return false;
    }
    std::size_t offset = tail % capacity_;
    const std::size_t untilEnd = capacity_ - offset;
    uint32_t size = 0;
    if (untilEnd >= sizeof(uint32_t)) {
        std::memcpy(&size, storage_.get() + offset, sizeof size);
    }
    if (size == 0) { // wrap marker, or too little room left for one
        tail += untilEnd;
        offset = 0;
    }

    const std::byte* in = storage_.get() + offset;
    Header header{};
    std::memcpy(&header, in, sizeof header);
    const std::byte* lengths = in + sizeof header;
    const std::size_t channels = header.micChannels + header.systemChannels;
    const auto* samplesIn = reinterpret_cast<const float*>(lengths + channels * sizeof(uint32_t));

    out.frameCount = header.frameCount;
    out.sampleRate = header.sampleRate;
    out.mic.resize(header.micChannels);
    out.system.resize(header.systemChannels);
    for (std::size_t c = 0; c < channels; ++c) {
        uint32_t frames = 0;
        std::memcpy(&frames, lengths + c * sizeof(uint32_t), sizeof frames);
        auto& channel = c < header.micChannels ? out.mic[c] : out.system[c - header.micChannels];
        channel.assign(samplesIn, samplesIn + frames);
        samplesIn += frames;
    }

    tail_.store(tail + header.size, std::memory_order_release);
    return true;
}
