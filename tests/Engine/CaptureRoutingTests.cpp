// The capture callback's routing of a buffer list into the block ring, the ring itself, and the promise
// that neither allocates on the audio thread.
#include "AllocationCounter.h"
#include "QuilloraCore/BlockRing.h"
#include "QuilloraCore/CallRecorder.h"
#include "QuilloraCore/SerialQueue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

namespace {

// One input stream: interleaved samples, or a buffer without data.
struct Stream {
    uint32_t channels = 0;
    std::vector<float> samples; // frames * channels values
    bool nullData = false;
    std::optional<uint32_t> byteSize; // overrides samples.size() * 4
};

// Stream `index` whose sample (frame f, channel c) is index * 1000 + c * 100 + f / 128 (exact in float).
float value(uint32_t index, uint32_t channel, uint32_t frame) {
    return static_cast<float>(index * 1000 + channel * 100) + static_cast<float>(frame) / 128;
}
Stream interleaved(uint32_t index, uint32_t channels, uint32_t frames) {
    Stream stream{channels, {}, false, std::nullopt};
    for (uint32_t f = 0; f < frames; ++f) {
        for (uint32_t c = 0; c < channels; ++c) {
            stream.samples.push_back(value(index, c, f));
        }
    }
    return stream;
}
std::vector<float> channel(uint32_t index, uint32_t channel, uint32_t frames) {
    std::vector<float> values;
    for (uint32_t f = 0; f < frames; ++f) {
        values.push_back(value(index, channel, f));
    }
    return values;
}

// An AudioBufferList over the streams' memory, as the audio system hands it to the callback.
class BufferList {
public:
    explicit BufferList(std::vector<Stream>& streams)
        : storage_(audioBufferListSize(static_cast<uint32_t>(streams.size()))) {
        auto* list = reinterpret_cast<AudioBufferList*>(storage_.data());
        list->mNumberBuffers = static_cast<uint32_t>(streams.size());
        for (std::size_t i = 0; i < streams.size(); ++i) {
            AudioBuffer buffer;
            buffer.mNumberChannels = streams[i].channels;
            buffer.mDataByteSize =
                streams[i].byteSize.value_or(static_cast<uint32_t>(streams[i].samples.size() * 4));
            buffer.mData = streams[i].nullData ? nullptr : streams[i].samples.data();
            std::memcpy(storage_.data() + offsetof(AudioBufferList, mBuffers) + i * sizeof(AudioBuffer),
                        &buffer, sizeof buffer);
        }
    }
    const AudioBufferList& list() const { return *reinterpret_cast<const AudioBufferList*>(storage_.data()); }

private:
    alignas(AudioBufferList) std::vector<std::byte> storage_;
};

using Channels = std::vector<std::vector<float>>;

TEST(CaptureRouting, streamsGoToTheMicrophoneOrTheCallByTheirIndex) {
    struct Case {
        const char* name;
        std::vector<Stream> streams;
        CaptureRouting routing;
        Channels mic;
        Channels system;
        int frames;
    };
    const std::vector<Case> cases{
        {"microphone stream, then the stereo tap",
         {interleaved(0, 1, 256), interleaved(1, 2, 256)},
         {1, true, 48000},
         {channel(0, 0, 256)},
         {channel(1, 0, 256), channel(1, 1, 256)},
         256},
        {"a headset's own input leads: dropped, but its length counts",
         {interleaved(0, 1, 512), interleaved(1, 2, 256)},
         {1, false, 44100},
         {},
         {channel(1, 0, 256), channel(1, 1, 256)},
         512},
        {"nothing leads: everything is the call, in stream order",
         {interleaved(0, 1, 64), interleaved(1, 2, 128)},
         {0, true, 48000},
         {},
         {channel(0, 0, 64), channel(1, 0, 128), channel(1, 1, 128)},
         128},
        {"a buffer without data still takes its index",
         {Stream{1, {}, true, 1024u}, interleaved(1, 1, 256), interleaved(2, 2, 256)},
         {1, true, 48000},
         {},
         {channel(1, 0, 256), channel(2, 0, 256), channel(2, 1, 256)},
         256},
        {"a buffer without channels still takes its index",
         {Stream{0, std::vector<float>(256), false, std::nullopt}, interleaved(1, 2, 256)},
         {1, true, 48000},
         {},
         {channel(1, 0, 256), channel(1, 1, 256)},
         256},
        {"a buffer smaller than one frame gives empty arrays",
         {Stream{2, {0.5f, 0.5f}, false, 7u}, interleaved(1, 2, 100)},
         {1, true, 48000},
         {{}, {}},
         {channel(1, 0, 100), channel(1, 1, 100)},
         100},
    };
    for (Case c : cases) {
        SCOPED_TRACE(c.name);
        BufferList input(c.streams);
        BlockRing ring(1 << 20);
        ASSERT_TRUE(c.routing.route(input.list(), ring));
        BlockRing::Block block;
        ASSERT_TRUE(ring.pop(block));
        EXPECT_EQ(block.mic, c.mic);
        EXPECT_EQ(block.system, c.system);
        EXPECT_EQ(block.frameCount, c.frames);
        EXPECT_EQ(block.sampleRate, c.routing.sampleRate);
        EXPECT_FALSE(ring.pop(block)) << "one block per call";
        // A cycle that says its own rate (the graph switched rate mid-recording) hands that one on.
        ASSERT_TRUE(c.routing.route(input.list(), ring, 44100));
        ASSERT_TRUE(ring.pop(block));
        EXPECT_EQ(block.sampleRate, 44100);
    }

    // When no buffer holds a frame nothing is queued, and that is no dropped block.
    BlockRing ring(1 << 20);
    std::vector<Stream> tiny{Stream{2, {0.5f, 0.5f}, false, 4u}, Stream{1, {0.5f}, false, 3u}};
    std::vector<Stream> none;
    EXPECT_FALSE((CaptureRouting{1, true, 48000}.route(BufferList(tiny).list(), ring)));
    EXPECT_FALSE((CaptureRouting{0, false, 48000}.route(BufferList(none).list(), ring)));
    EXPECT_EQ(ring.droppedBlocks(), 0u);
}

TEST(CaptureRouting, neitherRoutingNorRingingTheWriterAllocates) {
    if (!allocationCountingWorks()) {
        GTEST_SKIP() << "allocations are not counted under a sanitizer";
    }
    std::vector<Stream> streams{interleaved(0, 1, 1024), interleaved(1, 2, 1024)};
    BufferList input(streams);
    BlockRing ring(1 << 20);
    SerialQueue queue("com.tandrevel.quillora.test");
    std::atomic<int> rings{0};
    queue.setDoorbellHandler([&] { rings.fetch_add(1); });
    const CaptureRouting routing{1, true, 48000};

    int queued = 0;
    const uint64_t before = allocationsOnThisThread();
    for (int i = 0; i < 50; ++i) {
        if (routing.route(input.list(), ring)) {
            ++queued;
            queue.ringDoorbell();
        }
    }
    const uint64_t allocations = allocationsOnThisThread() - before;
    EXPECT_EQ(allocations, 0u);
    EXPECT_EQ(queued, 50);
    queue.sync([] {});
    EXPECT_GE(rings.load(), 1);
    // The counter does see allocations, so the zero above means something.
    const auto* counted = new std::vector<float>(16);
    EXPECT_GT(allocationsOnThisThread(), before + allocations);
    delete counted;
}

// A block of `frames` samples on one mic and one system channel, all equal to `tag`.
bool pushTagged(BlockRing& ring, float tag, uint32_t frames) {
    std::vector<float> samples(std::max<uint32_t>(frames, 1), tag);
    const BlockRing::ChannelSource source{samples.data(), 1, frames};
    return ring.push(static_cast<int>(frames), 48000, std::span(&source, 1), std::span(&source, 1));
}

::testing::AssertionResult isTagged(const BlockRing::Block& block, float tag, uint32_t frames) {
    const std::vector<float> expected(frames, tag);
    if (block.frameCount == static_cast<int>(frames) && block.mic == Channels{expected} &&
        block.system == Channels{expected}) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "not the block tagged " << tag << " of " << frames << " frames";
}

TEST(BlockRing, aFullRingDropsAndCountsUntilTheConsumerMakesRoom) {
    BlockRing ring(4096);
    // Each entry: 24-byte header, two lengths, 2 * 100 samples = 832 bytes: four fit.
    int accepted = 0;
    while (pushTagged(ring, static_cast<float>(accepted + 1), 100)) {
        ++accepted;
    }
    EXPECT_EQ(accepted, 4);
    EXPECT_FALSE(pushTagged(ring, 99, 100));
    EXPECT_EQ(ring.droppedBlocks(), 2u);

    BlockRing::Block block;
    ASSERT_TRUE(ring.pop(block));
    EXPECT_TRUE(isTagged(block, 1, 100));
    EXPECT_TRUE(pushTagged(ring, 5, 100)) << "the popped entry's room is usable again (after a wrap)";
    for (float tag = 2; tag <= 5; tag += 1) {
        ASSERT_TRUE(ring.pop(block));
        EXPECT_TRUE(isTagged(block, tag, 100));
    }
    EXPECT_FALSE(ring.pop(block));
    EXPECT_EQ(ring.droppedBlocks(), 2u);

    // 336 bytes left at the end, 432 freed at the start: a 512-byte block must wrap and does not fit,
    // although 768 bytes are free in all. Taken, it would be written over blocks not yet read.
    BlockRing wrap(4096);
    ASSERT_TRUE(pushTagged(wrap, 1, 50));
    for (float tag = 2; tag <= 5; tag += 1) {
        ASSERT_TRUE(pushTagged(wrap, tag, 100));
    }
    ASSERT_TRUE(wrap.pop(block));
    EXPECT_FALSE(pushTagged(wrap, 9, 60));
    for (float tag = 2; tag <= 5; tag += 1) {
        ASSERT_TRUE(wrap.pop(block));
        EXPECT_TRUE(isTagged(block, tag, 100));
    }

    // More channels on a side than a block carries is refused (and counted); a full set on each is fine.
    std::vector<float> samples(4, 0.25f);
    std::vector<BlockRing::ChannelSource> many(BlockRing::maxChannels + 1, {samples.data(), 1, 4});
    BlockRing wide(1 << 16);
    EXPECT_FALSE(wide.push(4, 48000, std::span(many), {}));
    EXPECT_TRUE(wide.push(4, 48000, std::span(many).first(BlockRing::maxChannels),
                          std::span(many).first(BlockRing::maxChannels)));
    EXPECT_EQ(wide.droppedBlocks(), 1u);
}

TEST(BlockRing, whetherAnEmptyRingTakesABlockDoesNotDependOnWhereItStands) {
    // Otherwise a writer that has caught up could see every block of some size dropped for ever. 252
    // frames on each side make 2048 bytes, half the capacity, the most it takes.
    for (const uint32_t frames : {100u, 252u, 253u, 508u}) {
        SCOPED_TRACE(frames);
        BlockRing ring(4096);
        BlockRing::Block block;
        const bool atStart = pushTagged(ring, 1, frames);
        EXPECT_EQ(atStart, frames <= 252);
        while (ring.pop(block)) {
        }
        for (int shift = 0; shift < 60; ++shift) {
            ASSERT_TRUE(pushTagged(ring, 7, static_cast<uint32_t>(shift % 7 * 9)));
            ASSERT_TRUE(ring.pop(block));
            ASSERT_EQ(pushTagged(ring, 2, frames), atStart) << "shift " << shift;
            while (ring.pop(block)) {
            }
        }
    }
}

TEST(BlockRing, oneProducerAndOneConsumerOnTwoThreadsLoseTearAndReorderNothing) {
    BlockRing ring(64 * 1024);
    constexpr int blocks = 20000;
    std::vector<int> accepted;
    accepted.reserve(blocks);
    std::atomic<bool> producerDone{false};
    std::thread producer([&] {
        for (int i = 0; i < blocks; ++i) {
            if (pushTagged(ring, static_cast<float>(i), static_cast<uint32_t>(i % 300))) {
                accepted.push_back(i);
            }
        }
        producerDone = true;
    });
    std::vector<int> received; // the tag of each block, -1 for blocks of 0 frames (they carry none)
    BlockRing::Block block;
    bool intact = true;
    for (;;) {
        const bool finished = producerDone.load(); // read before the pop, so nothing is missed at the end
        if (!ring.pop(block)) {
            if (finished) {
                break;
            }
            continue;
        }
        received.push_back(block.mic[0].empty() ? -1 : static_cast<int>(block.mic[0][0]));
        // Every sample of the block, on both sides, carries its tag: nothing is torn across a wrap.
        const std::vector<float>& mic = block.mic[0];
        intact = intact && block.frameCount == static_cast<int>(mic.size()) && mic == block.system[0] &&
                 std::count(mic.begin(), mic.end(), mic.empty() ? 0.0f : mic[0]) == std::ssize(mic);
    }
    producer.join();
    EXPECT_TRUE(intact);
    ASSERT_EQ(received.size(), accepted.size());
    for (std::size_t i = 0; i < accepted.size(); ++i) {
        if (received[i] != -1) {
            ASSERT_EQ(received[i], accepted[i]) << i;
        }
    }
    EXPECT_EQ(accepted.size() + ring.droppedBlocks(), static_cast<std::size_t>(blocks));
}

} // namespace
