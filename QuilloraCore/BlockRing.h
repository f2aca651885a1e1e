#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

// Carries captured blocks from the real-time thread to the writer queue without allocating on the way
// in. One producer (the capture callback) and one consumer (the writer queue). Entries are variable
// sized: a header, each channel's length, then the samples, de-interleaved as they are copied in.
class BlockRing {
public:
    // One channel of an interleaved buffer: sample i is base[i * stride].
    struct ChannelSource {
        const float* base = nullptr;
        uint32_t stride = 1;
        uint32_t frames = 0;
    };

    // A block as the writer wants it.
    struct Block {
        std::vector<std::vector<float>> mic;
        std::vector<std::vector<float>> system;
        int frameCount = 0;
        double sampleRate = 0;
    };

    // Per side (mic, system); a block with more is dropped.
    static constexpr std::size_t maxChannels = 64;

    explicit BlockRing(std::size_t capacityBytes);

    // Capacity that holds `seconds` of blocks of `channels` channels in all (both sides) at `sampleRate`,
    // for blocks of at least `blockFrames` frames: the samples, every entry's header and lengths, and the
    // room a wrap can leave unused at the end.
    static std::size_t bytesFor(double seconds, double sampleRate, std::size_t channels,
                                uint32_t blockFrames);

    // Producer side, real-time safe. False when the block does not fit (the writer is too far behind, or
    // the block alone needs more than half the capacity); the block is then counted as dropped.
    bool push(int frameCount, double sampleRate, std::span<const ChannelSource> mic,
              std::span<const ChannelSource> system) noexcept;

    // Consumer side. False when nothing is waiting.
    bool pop(Block& out);

    std::size_t capacityBytes() const { return capacity_; }
    uint64_t droppedBlocks() const { return dropped_.load(std::memory_order_relaxed); }

private:
    struct Header;

    std::size_t capacity_;
    std::unique_ptr<std::byte[]> storage_;
    // Monotonic byte positions; position % capacity_ is the offset. The writer of each owns it alone.
    alignas(64) std::atomic<uint64_t> head_{0}; // next byte the producer writes
    alignas(64) std::atomic<uint64_t> tail_{0}; // next byte the consumer reads
    std::atomic<uint64_t> dropped_{0};
};
