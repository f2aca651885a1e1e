#include "Platform/Audio/PipeWire/CaptureFilter.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>

namespace PipeWireBackend {

const pw_filter_events CaptureFilter::filterEvents = [] {
    pw_filter_events events{};
    events.version = PW_VERSION_FILTER_EVENTS;
    events.state_changed = [](void* data, pw_filter_state /*old*/, pw_filter_state state,
                              const char* /*error*/) {
        auto* self = static_cast<CaptureFilter*>(data);
        if (state == PW_FILTER_STATE_ERROR || state == PW_FILTER_STATE_UNCONNECTED) {
            self->failed_ = true;
        }
        if (self->onStateChange_) {
            self->onStateChange_();
        }
    };
    events.process = [](void* data, spa_io_position* position) {
        static_cast<CaptureFilter*>(data)->process(position);
    };
    return events;
}();

CaptureFilter::CaptureFilter(pw_core* core, pw_loop* dataLoop, Node node, std::function<void()> onStateChange)
    : node_(std::move(node)), dataLoop_(dataLoop), onStateChange_(std::move(onStateChange)) {
    PropertiesPtr props = makeProperties({
        {PW_KEY_MEDIA_TYPE, "Audio"},
        {PW_KEY_MEDIA_CATEGORY, "Capture"},
        {PW_KEY_MEDIA_CLASS, "Stream/Input/Audio"},
        {PW_KEY_NODE_NAME, node_.name},
        {PW_KEY_NODE_DESCRIPTION, node_.description},
        {PW_KEY_MEDIA_NAME, node_.description},
        // We link it ourselves; the session manager must not connect it to the default microphone.
        {PW_KEY_NODE_AUTOCONNECT, "false"},
        // Scheduled every cycle even with nothing linked, so that silence arrives as silence.
        {"node.always-process", "true"},
        {PW_KEY_NODE_WANT_DRIVER, "true"},
    });
    filter_.reset(pw_filter_new(core, node_.name.c_str(), props.release()));
    if (!filter_) {
        failed_ = true;
        return;
    }
    pw_filter_add_listener(filter_.get(), filterHook_.get(), &filterEvents, this);

    std::size_t channelsTotal = 0;
    for (const Stream& stream : node_.streams) {
        RtStream rt;
        rt.channels = static_cast<uint32_t>(stream.ports.size());
        rt.firstPort = channelsTotal;
        rt.samples = std::make_unique<float[]>(static_cast<std::size_t>(kMaxFrames) *
                                               std::max<uint32_t>(1, rt.channels));
        channelsTotal += stream.ports.size();
        streams_.push_back(std::move(rt));
        for (const Port& port : stream.ports) {
            PropertiesPtr portProps = makeProperties({
                {PW_KEY_FORMAT_DSP, "32 bit float mono audio"},
                {PW_KEY_PORT_NAME, port.name},
                {PW_KEY_AUDIO_CHANNEL, port.channel},
            });
            void* data =
                pw_filter_add_port(filter_.get(), PW_DIRECTION_INPUT, PW_FILTER_PORT_FLAG_MAP_BUFFERS,
                                   sizeof(uint64_t), portProps.release(), nullptr, 0);
            if (data == nullptr) {
                failed_ = true;
                return;
            }
            ports_.push_back(data);
        }
    }
    const auto streamCount = static_cast<uint32_t>(streams_.size());
    listStorage_.assign((audioBufferListSize(streamCount) + sizeof(uint64_t) - 1) / sizeof(uint64_t), 0);
    list_ = reinterpret_cast<AudioBufferList*>(listStorage_.data());
    list_->mNumberBuffers = streamCount;

    const auto flags = static_cast<pw_filter_flags>(PW_FILTER_FLAG_RT_PROCESS | PW_FILTER_FLAG_INACTIVE);
    if (pw_filter_connect(filter_.get(), flags, nullptr, 0) < 0) {
        failed_ = true;
    }
}

CaptureFilter::~CaptureFilter() {
    links_.clear();
    // Destroying the filter stops its real-time processing first, then drops its listeners, ours included.
    filter_.reset();
    filterHook_.forget();
}

uint32_t CaptureFilter::nodeId() const {
    return filter_ ? pw_filter_get_node_id(filter_.get()) : SPA_ID_INVALID;
}

void CaptureFilter::setActive(bool active) {
    if (!filter_ || active == active_) {
        return;
    }
    active_ = active;
    pw_filter_set_active(filter_.get(), active);
}

void CaptureFilter::setBlocks(const std::vector<const AudioDeviceIOBlock*>& blocks, bool restartClock) {
    RtBlocks next;
    next.count = std::min(blocks.size(), kMaxBlocks);
    std::copy_n(blocks.begin(), next.count, next.items.begin());
    next.restartClock = restartClock;
    invokeOnLoop(dataLoop_, &CaptureFilter::applyBlocks, &next, sizeof(next), this);
}

int CaptureFilter::applyBlocks(spa_loop* /*loop*/, bool /*async*/, uint32_t /*seq*/, const void* data,
                               size_t /*size*/, void* userData) {
    auto* self = static_cast<CaptureFilter*>(userData);
    std::memcpy(&self->rtBlocks_, data, sizeof(RtBlocks));
    if (self->rtBlocks_.restartClock) {
        self->sampleTime_ = 0;
    }
    return 0;
}

// Real-time thread: no allocation, no locks, no logging.
void CaptureFilter::process(spa_io_position* position) {
    if (position == nullptr) {
        return;
    }
    const auto frames = static_cast<uint32_t>(std::min<uint64_t>(position->clock.duration, kMaxFrames));
    // The cycle's own rate (1/denom seconds per frame), not the configured one: with several allowed
    // rates the graph follows its streams, and it may switch while we run.
    const uint32_t rate = position->clock.rate.num == 1 ? position->clock.rate.denom : 0;
    lastRate_.store(rate, std::memory_order_relaxed);
    const bool rateChanged = previousRate_ != 0 && rate != previousRate_;
    bridgeRateSwitch(position, rate);
    if (rateChanged) {
        // The driver's pause at a rate switch is bridged with silence above, and positions counted at
        // another rate say nothing about this one: the timeline starts over.
        clock_.reset();
    }
    // A cycle of the graph that never reached us (our node woken too late, or the driver skipping ahead)
    // shows as a position further on than the last one's end. The sample time moves on by as much, so
    // that whoever reads the time stamps sees the hole where it is.
    const uint64_t skipped =
        clock_.advance(position->clock.id, position->clock.position, position->clock.duration);
    const bool deliver = rtBlocks_.count > 0;
    if (deliver) {
        sampleTime_ += static_cast<double>(skipped);
    }

    for (std::size_t s = 0; s < streams_.size(); ++s) {
        RtStream& stream = streams_[s];
        for (uint32_t c = 0; c < stream.channels; ++c) {
            // Always take the port's buffer so that its queue keeps moving; NULL means nothing is linked.
            const auto* input =
                static_cast<const float*>(pw_filter_get_dsp_buffer(ports_[stream.firstPort + c], frames));
            if (!deliver) {
                continue;
            }
            float* out = stream.samples.get() + c;
            const uint32_t stride = stream.channels;
            if (input == nullptr) {
                for (uint32_t i = 0; i < frames; ++i) {
                    out[static_cast<std::size_t>(i) * stride] = 0.0f;
                }
            } else if (stride == 1) {
                std::memcpy(out, input, static_cast<std::size_t>(frames) * sizeof(float));
            } else {
                for (uint32_t i = 0; i < frames; ++i) {
                    out[static_cast<std::size_t>(i) * stride] = input[i];
                }
            }
        }
    }
    if (deliver) {
        this->deliver(position, frames, rate);
    }
}

// Hands the streams' first `frames` interleaved frames to every block.
void CaptureFilter::deliver(const spa_io_position* position, uint32_t frames, uint32_t rate) {
    for (std::size_t s = 0; s < streams_.size(); ++s) {
        AudioBuffer& buffer = list_->mBuffers[s];
        buffer.mNumberChannels = streams_[s].channels;
        buffer.mDataByteSize = frames * streams_[s].channels * static_cast<uint32_t>(sizeof(float));
        buffer.mData = streams_[s].samples.get();
    }
    AudioTimeStamp stamp;
    stamp.mSampleTime = sampleTime_;
    stamp.mHostTime = static_cast<uint64_t>(position->clock.nsec);
    stamp.mSampleRate = rate;
    for (std::size_t i = 0; i < rtBlocks_.count; ++i) {
        try {
            (*rtBlocks_.items[i])(&stamp, list_, &stamp, &emptyOutput_, &stamp);
        } catch (...) {
            // A block must not throw; PipeWire's C stack above us cannot carry an exception.
        }
    }
    sampleTime_ += frames;
}

// Switching the graph's rate stops the driver for a moment (about 60 ms measured): no cycle runs, yet
// the call goes on. The pause is handed on as silence at the new rate, so that the recording keeps the
// call's length across the switch.
void CaptureFilter::bridgeRateSwitch(const spa_io_position* position, uint32_t rate) {
    const uint32_t previousRate = std::exchange(previousRate_, rate);
    const uint64_t previousEnd = std::exchange(
        previousEndNsec_,
        rate == 0 ? 0 : position->clock.nsec + position->clock.duration * SPA_NSEC_PER_SEC / rate);
    if (previousRate == 0 || rate == 0 || previousRate == rate || previousEnd == 0 ||
        position->clock.nsec <= previousEnd || rtBlocks_.count == 0) {
        return;
    }
    // At most a second is looked at (more would be cut to kMaxFrames anyway, and could overflow here).
    const uint64_t pauseNs = std::min<uint64_t>(position->clock.nsec - previousEnd, SPA_NSEC_PER_SEC);
    const uint64_t pause = pauseNs * rate / SPA_NSEC_PER_SEC;
    const auto frames = static_cast<uint32_t>(std::min<uint64_t>(pause, kMaxFrames));
    if (frames == 0) {
        return;
    }
    for (RtStream& stream : streams_) {
        std::memset(stream.samples.get(), 0,
                    static_cast<std::size_t>(frames) * stream.channels * sizeof(float));
    }
    deliver(position, frames, rate);
}

void CaptureFilter::reconcileLinks(pw_core* core, const RegistryCache& cache,
                                   const std::set<PortPair>& wanted) {
    for (auto entry = links_.begin(); entry != links_.end();) {
        if (entry->second.gone || !wanted.contains(entry->first)) {
            entry = links_.erase(entry);
        } else {
            ++entry;
        }
    }
    std::erase_if(refused_, [&wanted](const PortPair& pair) { return !wanted.contains(pair); });

    for (const PortPair& pair : wanted) {
        if (links_.contains(pair) || refused_.contains(pair)) {
            continue;
        }
        const PipeWireBackend::Port* output = cache.port(pair.outputPort);
        const PipeWireBackend::Port* input = cache.port(pair.inputPort);
        if (output == nullptr || input == nullptr) {
            continue;
        }
        PropertiesPtr props = makeProperties({
            {PW_KEY_LINK_OUTPUT_NODE, std::to_string(output->nodeId)},
            {PW_KEY_LINK_OUTPUT_PORT, std::to_string(output->globalId)},
            {PW_KEY_LINK_INPUT_NODE, std::to_string(input->nodeId)},
            {PW_KEY_LINK_INPUT_PORT, std::to_string(input->globalId)},
            // Our links go with us, whatever way this program ends.
            {PW_KEY_OBJECT_LINGER, "false"},
        });
        pw_proxy* proxy = createLink(core, props.get());
        if (proxy == nullptr) {
            refused_.insert(pair);
            continue;
        }
        LinkEntry& entry = links_[pair];
        ProxyHandle::Events events;
        events.removed = [this, pair] {
            if (const auto found = links_.find(pair); found != links_.end()) {
                found->second.gone = true;
            }
        };
        events.error = [this, pair](int /*res*/, const char* /*message*/) {
            if (const auto found = links_.find(pair); found != links_.end()) {
                found->second.gone = true;
            }
            refused_.insert(pair);
        };
        entry.proxy = std::make_unique<ProxyHandle>(proxy, std::move(events));
    }
}

} // namespace PipeWireBackend
