// A writer that falls behind the capture: how much the block ring holds, and what is reported when blocks
// are lost anyway.
#include "LogSince.h"
#include "MediaTestSupport.h"
#include "QuilloraCore/BlockRing.h"
#include "QuilloraCore/CallRecorder.h"
#include "SimulatedTestSupport.h"

#include <QTemporaryDir>
#include <cmath>

namespace {

// Pushes blocks of `frames` frames and `channels` channels without popping, `seconds` worth; the number
// that did not fit.
uint64_t refusedWhenFilling(BlockRing& ring, double seconds, double rate, std::size_t channels,
                            uint32_t frames) {
    const std::vector<float> samples(frames, 0.25f);
    std::vector<BlockRing::ChannelSource> sources(channels, {samples.data(), 1, frames});
    const auto micChannels = std::min<std::size_t>(channels, BlockRing::maxChannels);
    const std::span<const BlockRing::ChannelSource> all(sources);
    const auto blocks = static_cast<int>(std::ceil(seconds * rate / frames));
    for (int b = 0; b < blocks; ++b) {
        ring.push(static_cast<int>(frames), rate, all.first(micChannels), all.subspan(micChannels));
    }
    return ring.droppedBlocks();
}

TEST(BlockRingSize, holdsTenSecondsOfAnyLayoutAndLittleMore) {
    struct Layout {
        double rate;
        std::size_t channels;
        uint32_t smallestBlock;
        uint32_t block;
    };
    // Mono mic and stereo call; a 16-channel interface at 96 kHz; the most channels a block may carry;
    // blocks down to the smallest quantum and up to the largest.
    for (const Layout layout :
         {Layout{48000, 3, 128, 1024}, Layout{48000, 3, 128, 128}, Layout{44100, 3, 128, 8192},
          Layout{96000, 18, 128, 256}, Layout{48000, 2 * BlockRing::maxChannels, 128, 128}}) {
        SCOPED_TRACE(::testing::Message() << layout.rate << " Hz, " << layout.channels << " channels, "
                                          << layout.block << "-frame blocks");
        const std::size_t bytes = BlockRing::bytesFor(10, layout.rate, layout.channels, layout.smallestBlock);
        BlockRing ten(bytes);
        EXPECT_EQ(refusedWhenFilling(ten, 10, layout.rate, layout.channels, layout.block), 0u);
        BlockRing eleven(bytes);
        EXPECT_GT(refusedWhenFilling(eleven, 11, layout.rate, layout.channels, layout.block), 0u)
            << "sized for far more than it needs";
    }
}

class WriterBacklogTest : public SimulatedAudioTest {
protected:
    QTemporaryDir folder;
};

// A 16-channel interface and a clock far faster than encoding: the ring overflows. Every lost block is
// counted, logged while the recording still runs, and the file holds exactly the blocks that were kept.
TEST_F(WriterBacklogTest, lostBlocksAreCountedAndLoggedWhileRecording) {
    addOutput("Altoparlanti", "speakers", SimulatedAudioHardware::Signal::tone(440, 0.3f));
    addInput("Interfaccia 16 canali", "interface", {16}, SimulatedAudioHardware::Signal::tone(220, 0.2f));
    const LogSince log;
    const auto output = std::filesystem::path(folder.path().toStdString()) / "backlog.m4a";
    CallRecorder recorder(output, std::nullopt);
    recorder.start(true);

    constexpr int blocks = 5600; // about two minutes, granted at once
    sim->runCycles(blocks);
    recorder.waitForWriter();
    const uint64_t dropped = recorder.droppedBlocks();
#if defined(__SANITIZE_THREAD__)
    if (dropped == 0) {
        recorder.stop();
        GTEST_SKIP() << "under ThreadSanitizer the simulated clock is no faster than the writer";
    }
#endif
    ASSERT_GT(dropped, 0u) << "the writer kept up with a clock that does not wait";
    EXPECT_LT(dropped, blocks - 400u) << "the ring held less than ten seconds";
    EXPECT_GT(log.count("Blocchi audio persi (scrittura in ritardo): "), 0u);

    const CallRecorder::Stats stats = recorder.stop();
    constexpr double blockSeconds = 1024.0 / 48000.0;
    EXPECT_NEAR(stats.seconds, static_cast<double>(blocks - dropped) * blockSeconds, 1e-6);
    EXPECT_TRUE(log.text().ends_with("Blocchi audio persi in tutto: " + std::to_string(dropped) + "\n"))
        << log.text();
    EXPECT_NEAR(decodeAudioFile(output).seconds(), stats.seconds, 0.05);
}

} // namespace
