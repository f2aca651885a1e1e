// The capture callback's routing of a buffer list into the block ring, the ring itself, and the promise
// that neither allocates on the audio thread.
#include "AllocationCounter.h"
#include "QuilloraCore/BlockRing.h"
#include "QuilloraCore/CallRecorder.h"
#include "QuilloraCore/SerialQueue.h"

#include <gtest/gtest.h>

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

// Stream `index` whose sample (frame f, channel c) is index * 1000 + c * 100 + f / 100 (exact in float).
Stream interleaved(uint32_t index, uint32_t channels, uint32_t frames) {
    Stream stream{channels, {}, false, std::nullopt};
    for (uint32_t f = 0; f < frames; ++f) {
        for (uint32_t c = 0; c < channels; ++c) {
            stream.samples.push_back(static_cast<float>(index * 1000 + c * 100) +
                                     static_cast<float>(f) / 128);
        }
    }
    return stream;
}

std::vector<float> expectedChannel(uint32_t index, uint32_t channel, uint32_t frames) {
    std::vector<float> values;
    for (uint32_t f = 0; f < frames; ++f) {
        values.push_back(static_cast<float>(index * 1000 + channel * 100) + static_cast<float>(f) / 128);
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

constexpr std::size_t ringBytes = 1 << 20;

} // namespace

TEST(CaptureRouting, microphoneStreamThenStereoTapGiveOneMicAndTwoSystemArrays) {
    std::vector<Stream> streams{interleaved(0, 1, 256), interleaved(1, 2, 256)};
    BufferList input(streams);
    BlockRing ring(ringBytes);
    const CaptureRouting routing{1, true, 48000};

    ASSERT_TRUE(routing.route(input.list(), ring));
    BlockRing::Block block;
    ASSERT_TRUE(ring.pop(block));
    EXPECT_EQ(block.frameCount, 256);
    EXPECT_EQ(block.sampleRate, 48000);
    ASSERT_EQ(block.mic.size(), 1u);
    EXPECT_EQ(block.mic[0], expectedChannel(0, 0, 256));
    ASSERT_EQ(block.system.size(), 2u);
    EXPECT_EQ(block.system[0], expectedChannel(1, 0, 256)); // channel 0 first
    EXPECT_EQ(block.system[1], expectedChannel(1, 1, 256));
    EXPECT_FALSE(ring.pop(block)) << "one block per call";

    // A cycle that says its own rate (the graph switched rate mid-recording) hands that one on.
    ASSERT_TRUE(routing.route(input.list(), ring, 44100));
    ASSERT_TRUE(ring.pop(block));
    EXPECT_EQ(block.sampleRate, 44100);
}

TEST(CaptureRouting, leadingStreamsOfAnOutputDeviceAreDroppedButCountForTheFrameCount) {
    // A headset's own input leads the aggregate; it is not the microphone we were asked to record.
    std::vector<Stream> streams{interleaved(0, 1, 512), interleaved(1, 2, 256)};
    BufferList input(streams);
    BlockRing ring(ringBytes);

    ASSERT_TRUE((CaptureRouting{1, false, 44100}.route(input.list(), ring)));
    BlockRing::Block block;
    ASSERT_TRUE(ring.pop(block));
    EXPECT_TRUE(block.mic.empty());
    ASSERT_EQ(block.system.size(), 2u);
    EXPECT_EQ(block.system[0], expectedChannel(1, 0, 256));
    EXPECT_EQ(block.frameCount, 512) << "the longest buffer sets the frame count, dropped or not";
    EXPECT_EQ(block.sampleRate, 44100);
}

TEST(CaptureRouting, withoutLeadingStreamsEverythingIsSystemAudioInStreamOrder) {
    std::vector<Stream> streams{interleaved(0, 1, 64), interleaved(1, 2, 128)};
    BufferList input(streams);
    BlockRing ring(ringBytes);

    for (const bool leadingAreMicrophone : {true, false}) {
        ASSERT_TRUE((CaptureRouting{0, leadingAreMicrophone, 48000}.route(input.list(), ring)));
        BlockRing::Block block;
        ASSERT_TRUE(ring.pop(block));
        EXPECT_TRUE(block.mic.empty());
        ASSERT_EQ(block.system.size(), 3u);
        EXPECT_EQ(block.system[0], expectedChannel(0, 0, 64)); // streams of different lengths stay so
        EXPECT_EQ(block.system[1], expectedChannel(1, 0, 128));
        EXPECT_EQ(block.system[2], expectedChannel(1, 1, 128));
        EXPECT_EQ(block.frameCount, 128);
    }
}

TEST(CaptureRouting, aSkippedBufferStillTakesItsStreamIndex) {
    for (const bool nullData : {true, false}) {
        SCOPED_TRACE(nullData ? "null data" : "no channels");
        Stream empty =
            nullData ? Stream{1, {}, true, 1024u} : Stream{0, std::vector<float>(256), false, std::nullopt};
        std::vector<Stream> streams{empty, interleaved(1, 1, 256), interleaved(2, 2, 256)};
        BufferList input(streams);
        BlockRing ring(ringBytes);

        ASSERT_TRUE((CaptureRouting{1, true, 48000}.route(input.list(), ring)));
        BlockRing::Block block;
        ASSERT_TRUE(ring.pop(block));
        EXPECT_TRUE(block.mic.empty()) << "index 0 is the microphone's, even though it had nothing";
        ASSERT_EQ(block.system.size(), 3u);
        EXPECT_EQ(block.system[0], expectedChannel(1, 0, 256));
        EXPECT_EQ(block.system[2], expectedChannel(2, 1, 256));
    }
}

TEST(CaptureRouting, aBufferSmallerThanOneFrameGivesEmptyArraysAndNoFrames) {
    BlockRing ring(ringBytes);
    BlockRing::Block block;

    // A stereo microphone buffer of 7 bytes (one frame needs 8) beside a normal tap.
    std::vector<Stream> streams{Stream{2, {0.5f, 0.5f}, false, 7u}, interleaved(1, 2, 100)};
    BufferList input(streams);
    ASSERT_TRUE((CaptureRouting{1, true, 48000}.route(input.list(), ring)));
    ASSERT_TRUE(ring.pop(block));
    ASSERT_EQ(block.mic.size(), 2u);
    EXPECT_TRUE(block.mic[0].empty());
    EXPECT_TRUE(block.mic[1].empty());
    ASSERT_EQ(block.system.size(), 2u);
    EXPECT_EQ(block.frameCount, 100);

    // When no buffer holds a frame nothing is queued.
    std::vector<Stream> tiny{Stream{2, {0.5f, 0.5f}, false, 4u}, Stream{1, {0.5f}, false, 3u}};
    BufferList tinyInput(tiny);
    EXPECT_FALSE((CaptureRouting{1, true, 48000}.route(tinyInput.list(), ring)));
    std::vector<Stream> none;
    BufferList noBuffers(none);
    EXPECT_FALSE((CaptureRouting{0, false, 48000}.route(noBuffers.list(), ring)));
    EXPECT_FALSE(ring.pop(block));
    EXPECT_EQ(ring.droppedBlocks(), 0u) << "a block without frames is not a dropped block";
}

TEST(CaptureRouting, neitherRoutingNorRingingAllocates) {
    std::vector<Stream> streams{interleaved(0, 1, 1024), interleaved(1, 2, 1024)};
    BufferList input(streams);
    BlockRing ring(ringBytes);
    SerialQueue queue("com.tandrevel.quillora.test");
    std::atomic<int> rings{0};
    queue.setDoorbellHandler([&] { rings.fetch_add(1); });
    const CaptureRouting routing{1, true, 48000};

    std::size_t allocations = 0;
    int queued = 0;
    {
        AllocationCounter::Scope scope;
        for (int i = 0; i < 50; ++i) {
            if (routing.route(input.list(), ring)) {
                ++queued;
                queue.ringDoorbell();
            }
        }
        allocations = scope.allocations();
    }
    EXPECT_EQ(allocations, 0u);
    EXPECT_EQ(queued, 50);
    queue.sync([] {});
    EXPECT_GE(rings.load(), 1);

    // The counter does see allocations, so the zero above means something.
    AllocationCounter::Scope scope;
    std::vector<float> allocated(16);
    EXPECT_GE(scope.allocations(), 1u);
}

// ---- the ring ----

namespace {

// A block of `frames` samples on one mic and one system channel, all equal to `tag`.
bool pushTagged(BlockRing& ring, float tag, uint32_t frames) {
    std::vector<float> samples(std::max<uint32_t>(frames, 1), tag);
    const BlockRing::ChannelSource channel{samples.data(), 1, frames};
    return ring.push(static_cast<int>(frames), 48000, std::span(&channel, 1), std::span(&channel, 1));
}

void expectTagged(const BlockRing::Block& block, float tag, uint32_t frames) {
    ASSERT_EQ(block.mic.size(), 1u);
    ASSERT_EQ(block.system.size(), 1u);
    EXPECT_EQ(block.frameCount, static_cast<int>(frames));
    EXPECT_EQ(block.mic[0], std::vector<float>(frames, tag));
    EXPECT_EQ(block.system[0], std::vector<float>(frames, tag));
}

} // namespace

TEST(BlockRing, blocksOfChangingSizesComeOutIntactAcrossManyWraps) {
    BlockRing ring(4096);
    BlockRing::Block block;
    std::vector<std::pair<float, uint32_t>> inFlight;
    float next = 1;
    std::size_t popped = 0;
    for (int round = 0; round < 2000; ++round) {
        // Up to 984 bytes an entry (0 frames included); with at most three in the ring and up to one
        // entry's worth skipped at the end, 4096 bytes always suffice.
        const uint32_t frames = static_cast<uint32_t>((round * 37) % 120);
        if (pushTagged(ring, next, frames)) {
            inFlight.emplace_back(next, frames);
        }
        next += 1;
        // The consumer lags by up to two blocks, so the write position keeps moving through the end.
        while (inFlight.size() > static_cast<std::size_t>(round % 3)) {
            ASSERT_TRUE(ring.pop(block));
            expectTagged(block, inFlight.front().first, inFlight.front().second);
            inFlight.erase(inFlight.begin());
            ++popped;
        }
    }
    while (!inFlight.empty()) {
        ASSERT_TRUE(ring.pop(block));
        expectTagged(block, inFlight.front().first, inFlight.front().second);
        inFlight.erase(inFlight.begin());
        ++popped;
    }
    EXPECT_FALSE(ring.pop(block));
    EXPECT_EQ(popped, 2000u);
    EXPECT_EQ(ring.droppedBlocks(), 0u);
}

TEST(BlockRing, aFullRingDropsAndCountsUntilTheConsumerMakesRoom) {
    BlockRing ring(4096);
    // Each entry: 24-byte header, two lengths, 2 * 100 samples = 832 bytes: four fit.
    int accepted = 0;
    while (pushTagged(ring, static_cast<float>(accepted + 1), 100)) {
        ++accepted;
    }
    EXPECT_EQ(accepted, 4);
    EXPECT_EQ(ring.droppedBlocks(), 1u);
    EXPECT_FALSE(pushTagged(ring, 99, 100));
    EXPECT_FALSE(pushTagged(ring, 99, 100));
    EXPECT_EQ(ring.droppedBlocks(), 3u);

    BlockRing::Block block;
    ASSERT_TRUE(ring.pop(block));
    expectTagged(block, 1, 100);
    EXPECT_TRUE(pushTagged(ring, 5, 100)) << "the popped entry's room is usable again (after a wrap)";
    for (float tag = 2; tag <= 5; tag += 1) {
        ASSERT_TRUE(ring.pop(block));
        expectTagged(block, tag, 100);
    }
    EXPECT_FALSE(ring.pop(block));
    EXPECT_EQ(ring.droppedBlocks(), 3u);
}

TEST(BlockRing, whetherAnEmptyRingTakesABlockDoesNotDependOnWhereItStands) {
    // Otherwise a writer that has caught up could see every block of some size dropped for ever: the
    // position only moves when a block gets in. An entry is a 24-byte header, two 4-byte lengths and
    // the samples: 252 frames on each side make 2048 bytes, half the capacity, the most it takes.
    for (const uint32_t frames : {100u, 252u, 253u, 300u, 400u, 508u}) {
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

TEST(BlockRing, refusesMoreChannelsPerSideThanItCarries) {
    BlockRing ring(1 << 16);
    std::vector<float> samples(4, 0.25f);
    std::vector<BlockRing::ChannelSource> many(BlockRing::maxChannels + 1, {samples.data(), 1, 4});
    EXPECT_FALSE(ring.push(4, 48000, std::span(many), {}));
    EXPECT_TRUE(ring.push(4, 48000, std::span(many).first(BlockRing::maxChannels),
                          std::span(many).first(BlockRing::maxChannels)))
        << "a full set of microphone and system channels together is fine";
    EXPECT_EQ(ring.droppedBlocks(), 1u);
}

TEST(BlockRing, oneProducerAndOneConsumerOnTwoThreadsLoseAndReorderNothing) {
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
        intact = intact && block.frameCount == static_cast<int>(block.mic[0].size()) &&
                 block.mic[0] == block.system[0];
    }
    producer.join();
    EXPECT_TRUE(intact);
    ASSERT_EQ(received.size(), accepted.size());
    for (std::size_t i = 0; i < accepted.size(); ++i) {
        if (received[i] != -1) { // blocks of 0 frames carry no tag
            ASSERT_EQ(received[i], accepted[i]) << i;
        }
    }
    EXPECT_EQ(accepted.size() + ring.droppedBlocks(), static_cast<std::size_t>(blocks));
}
