#pragma once

// The capture node behind an aggregate device (or behind IO procedures on a plain device): one pw_filter
// with one DSP input port per channel, scheduled every graph cycle even when nothing is linked, whose
// real-time process callback interleaves the ports into one buffer per stream and calls the IO blocks.
// Also owns the links into its ports.
//
// Everything but process() runs on the loop thread with the loop lock held.

#include "Platform/Audio/AudioHardware.h"
#include "Platform/Audio/ClockContinuity.h"
#include "Platform/Audio/PipeWire/CaptureRouting.h"
#include "Platform/Audio/PipeWire/PipeWireSupport.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace PipeWireBackend {

class CaptureFilter {
public:
    // Frames per cycle the buffers hold; a longer cycle is cut to this (PipeWire's quantum limit).
    static constexpr uint32_t kMaxFrames = 8192;
    static constexpr std::size_t kMaxBlocks = 16;

    struct Port {
        std::string name;    // port.name
        std::string channel; // audio.channel
    };
    struct Stream {
        std::vector<Port> ports; // one per channel, interleaved in this order
    };
    struct Node {
        std::string name;        // node.name
        std::string description; // node.description, media.name
        std::vector<Stream> streams;
    };

    // Creates and connects the node (inactive: not scheduled until setActive(true)). `onStateChange` runs
    // on the loop thread when the node's state changes, e.g. when it fails.
    CaptureFilter(pw_core* core, pw_loop* dataLoop, Node node, std::function<void()> onStateChange);
    ~CaptureFilter();
    CaptureFilter(const CaptureFilter&) = delete;
    CaptureFilter& operator=(const CaptureFilter&) = delete;

    // The node's global id once the server has it, else SPA_ID_INVALID.
    uint32_t nodeId() const;
    bool failed() const { return failed_; }

    void setActive(bool active);
    // The blocks to call from the next cycle on; returns once the real-time thread uses them. When
    // `restartClock`, sample times start again at 0.
    void setBlocks(const std::vector<const AudioDeviceIOBlock*>& blocks, bool restartClock);
    // The graph rate seen by the last cycle, 0 before the first.
    uint32_t lastRate() const { return lastRate_.load(std::memory_order_relaxed); }

    // Makes the links into this node exactly `wanted` (node ids come from the cache). Links the server
    // refused are not asked for again while they stay wanted.
    void reconcileLinks(pw_core* core, const RegistryCache& cache, const std::set<PortPair>& wanted);

private:
    struct RtBlocks {
        std::array<const AudioDeviceIOBlock*, kMaxBlocks> items{};
        std::size_t count = 0;
        bool restartClock = false;
    };
    struct RtStream {
        uint32_t channels = 0;
        std::size_t firstPort = 0;
        std::unique_ptr<float[]> samples; // kMaxFrames × channels, interleaved
    };
    struct LinkEntry {
        std::unique_ptr<ProxyHandle> proxy;
        bool gone = false; // removed by the server, or refused
    };

    static const pw_filter_events filterEvents;
    static int applyBlocks(spa_loop* loop, bool async, uint32_t seq, const void* data, size_t size,
                           void* userData);
    void process(spa_io_position* position);
    void deliver(const spa_io_position* position, uint32_t frames, uint32_t rate);
    void bridgeRateSwitch(const spa_io_position* position, uint32_t rate);

    Node node_;
    pw_loop* dataLoop_;
    std::function<void()> onStateChange_;
    FilterPtr filter_;
    SpaHook filterHook_;
    bool failed_ = false;
    bool active_ = false;

    // Real-time side: built before connecting, then touched only by process() (and applyBlocks, which
    // runs on the same thread).
    std::vector<void*> ports_;
    std::vector<RtStream> streams_;
    std::vector<uint64_t> listStorage_; // an AudioBufferList with one buffer per stream
    AudioBufferList* list_ = nullptr;
    AudioBufferList emptyOutput_{};
    RtBlocks rtBlocks_;
    double sampleTime_ = 0;
    uint32_t previousRate_ = 0;    // of the last cycle
    uint64_t previousEndNsec_ = 0; // when the last cycle's frames ended
    ClockContinuity clock_;
    std::atomic<uint32_t> lastRate_{0};

    std::map<PortPair, LinkEntry> links_;
    std::set<PortPair> refused_;
};

} // namespace PipeWireBackend
