#include "Platform/Audio/PipeWire/PipeWireAudioHardware.h"
#include "Platform/Audio/PropertyData.h"

#include "Platform/Audio/PipeWire/CaptureFilter.h"
#include "Platform/Audio/PipeWire/CaptureRouting.h"
#include "Platform/Audio/PipeWire/GraphWatcher.h"
#include "Platform/Audio/PipeWire/PipeWireSupport.h"
#include "Platform/Audio/PipeWire/PropertyListeners.h"
#include "Platform/Audio/PipeWire/RegistryCache.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <thread>
#include <utility>

using namespace PipeWireBackend;

namespace {

constexpr auto kReconnectInterval = std::chrono::seconds(1);
constexpr auto kConnectTimeout = std::chrono::seconds(2);
// How long a new capture node may take to show up with its ports.
constexpr auto kNodeTimeout = std::chrono::seconds(2);
// How long a new aggregate may take to run its first cycle (a suspended device has to wake up).
constexpr auto kFirstCycleTimeout = std::chrono::seconds(1);
// Changes are reported once the graph has settled for this long: unplugging the default microphone
// removes the node and moves the default a moment later, which is one change for the listener.
constexpr uint64_t kNotifyDelayNs = 20'000'000;

using PropertyData::append;
using PropertyData::appendIDs;

void appendStreams(std::vector<unsigned char>& bytes, const std::vector<uint32_t>& channels) {
    PropertyData::setStreamConfiguration(bytes, channels);
}

std::string upperCase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

std::string randomUuid() {
    std::random_device device;
    std::mt19937_64 generator((static_cast<uint64_t>(device()) << 32) ^ device());
    std::uniform_int_distribution<int> nibble(0, 15);
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string uuid;
    for (int i = 0; i < 32; ++i) {
        if (i == 8 || i == 12 || i == 16 || i == 20) {
            uuid.push_back('-');
        }
        int value = nibble(generator);
        if (i == 12) {
            value = 4; // version 4
        } else if (i == 16) {
            value = 8 | (value & 3); // RFC 4122 variant
        }
        uuid.push_back(digits[value]);
    }
    return uuid;
}

struct Tap {
    std::string uuid;
    std::string name;
    bool exclusive = true;
    std::set<int32_t> pids;
};

// What the engine sees as a device with IO procedures: an aggregate of ours, or a plain device that an IO
// procedure reads directly. Either way one capture node does the work.
struct Capture {
    struct TapSlot {
        AudioObjectID tap = kAudioObjectUnknown;
        std::string leftPort;
        std::string rightPort;
    };
    struct Proc {
        std::unique_ptr<AudioDeviceIOBlock> block;
        bool running = false;
    };

    bool aggregate = false;
    std::string uid;
    std::string name;
    std::vector<uint32_t> streams;
    CaptureFilter::Node node;
    std::string leadingUid;
    std::vector<std::string> leadingPorts;
    std::vector<TapSlot> taps;
    std::unique_ptr<CaptureFilter> filter;
    std::map<AudioDeviceIOProcID, Proc> procs;
    // A new aggregate runs, linked, before its first IO procedure starts, so that its nominal rate is the
    // rate the graph runs at with it rather than a configured one. Ends with the first stop.
    bool primed = false;

    bool anyRunning() const {
        return std::any_of(procs.begin(), procs.end(),
                           [](const auto& entry) { return entry.second.running; });
    }
    bool linked() const { return primed || anyRunning(); }
    // The rate of the capture node's last cycle, 0 before its first.
    uint32_t cycleRate() const { return filter ? filter->lastRate() : 0; }
    bool alive() const { return filter && !filter->failed(); }
};

// Makes `device`'s capture channels the first stream of the capture node, one input port per channel.
// A device that only plays brings none.
void addLeadingDevice(Capture& capture, const RegistryCache& cache, const Node& device) {
    const auto view = cache.device(device.objectId);
    if (!device.isSourceLike() || !view || view->inputStreams.empty()) {
        return;
    }
    const bool skipMonitors = device.mediaClass() == "Audio/Duplex";
    std::vector<std::string> channels;
    for (const PipeWireBackend::Port* port : cache.portsOf(device.globalId, PortDirection::output)) {
        if (port->audio && !(skipMonitors && port->monitor)) {
            channels.push_back(port->channel);
        }
    }
    channels.resize(view->inputStreams.front());
    capture.leadingUid = std::string(device.name());
    CaptureFilter::Stream stream;
    std::set<std::string> used;
    for (std::size_t i = 0; i < channels.size(); ++i) {
        const std::string channel = channels[i].empty() ? "AUX" + std::to_string(i) : channels[i];
        std::string name = "input_" + channel;
        if (!used.insert(name).second) {
            name = "input_" + std::to_string(i);
            used.insert(name);
        }
        capture.leadingPorts.push_back(name);
        stream.ports.push_back({name, channel});
    }
    capture.streams.push_back(static_cast<uint32_t>(stream.ports.size()));
    capture.node.streams.push_back(std::move(stream));
}

// The state listeners may watch, compared after every settled change.
struct Snapshot {
    AudioObjectID defaultInput = kAudioObjectUnknown;
    AudioObjectID defaultOutput = kAudioObjectUnknown;
    std::vector<AudioObjectID> devices;
    std::map<AudioObjectID, bool> running;
    std::vector<AudioObjectID> processes;
    std::vector<AudioObjectID> taps;
};

} // namespace

struct PipeWireAudioHardware::Impl {
    enum class Connection { never, connected, lost };

    ThreadLoopPtr threadLoop;
    pw_loop* loop = nullptr;
    ContextPtr context;
    pw_loop* dataLoop = nullptr;
    CorePtr core;
    SpaHook coreHook;
    std::unique_ptr<GraphWatcher> watcher;
    RegistryCache cache;
    Connection connection = Connection::never;
    std::chrono::steady_clock::time_point lastAttempt{};
    int lastDoneSeq = -1;
    bool lossPending = false;

    spa_source* changeEvent = nullptr;
    spa_source* lossEvent = nullptr;
    spa_source* notifyTimer = nullptr;
    bool notifyArmed = false;
    Snapshot notified;

    std::map<AudioObjectID, Tap> taps;
    std::map<AudioObjectID, std::unique_ptr<Capture>> aggregates;
    std::map<AudioObjectID, std::unique_ptr<Capture>> directs; // IO procedures on plain devices
    PropertyListeners listeners;
    AudioDeviceIOProcID nextProc = 1;

    static const pw_core_events coreEvents;

    Impl();
    ~Impl();

    // ----- connection (loop lock held) -----
    bool connectedLocked();
    void connectLocked();
    void disconnectLocked();
    bool roundTripLocked();
    template <typename Predicate>
    bool waitLocked(std::chrono::nanoseconds timeout, Predicate ready);
    void graphChanged();

    // ----- loop-thread reactions -----
    void reconcileAll();
    void reconcile(Capture& capture);
    CaptureLayout layoutOf(const Capture& capture) const;
    Snapshot snapshot();
    void notifyChanges();

    // ----- captures -----
    Capture* captureOf(AudioObjectID device);
    OSStatus startFilterLocked(Capture& capture);
    void primeLocked(Capture& capture);
    double tapRate(AudioObjectID tap) const;
    void pushBlocks(Capture& capture, bool restartClock);
    OSStatus startLocked(Capture& capture, AudioDeviceIOProcID procID);
    void stopLocked(Capture& capture, AudioDeviceIOProcID procID);

    // ----- properties (loop lock held) -----
    OSStatus read(AudioObjectID object, const AudioObjectPropertyAddress& address, uint32_t qualifierSize,
                  const void* qualifier, std::vector<unsigned char>& bytes);
    OSStatus readString(AudioObjectID object, const AudioObjectPropertyAddress& address,
                        std::optional<std::string>& text);
};

const pw_core_events PipeWireAudioHardware::Impl::coreEvents = [] {
    pw_core_events events{};
    events.version = PW_VERSION_CORE_EVENTS;
    events.done = [](void* data, uint32_t id, int seq) {
        auto* self = static_cast<Impl*>(data);
        if (id == PW_ID_CORE) {
            self->lastDoneSeq = seq;
            pw_thread_loop_signal(self->threadLoop.get(), false);
        }
    };
    events.error = [](void* data, uint32_t id, int /*seq*/, int res, const char* /*message*/) {
        auto* self = static_cast<Impl*>(data);
        if (id == PW_ID_CORE && res == -EPIPE) {
            // Torn down outside this callback, which belongs to the core being torn down.
            self->lossPending = true;
            signalLoopEvent(self->loop, self->lossEvent);
            pw_thread_loop_signal(self->threadLoop.get(), false);
        }
    };
    return events;
}();

PipeWireAudioHardware::Impl::Impl() {
    pw_init(nullptr, nullptr);
    threadLoop.reset(pw_thread_loop_new("quillora-pipewire", nullptr));
    loop = pw_thread_loop_get_loop(threadLoop.get());
    PropertiesPtr props = makeProperties({
        // The real-time flavour of the client configuration: the data thread gets real-time priority.
        {PW_KEY_CONFIG_NAME, "client-rt.conf"},
        {PW_KEY_APP_NAME, "Quillora"},
    });
    context.reset(pw_context_new(loop, props.release(), 0));
    if (context) {
        dataLoop = pw_data_loop_get_loop(pw_context_get_data_loop(context.get()));
    }
    changeEvent = addLoopEvent(
        loop, [](void* data, uint64_t) { static_cast<Impl*>(data)->reconcileAll(); }, this);
    lossEvent = addLoopEvent(
        loop,
        [](void* data, uint64_t) {
            auto* self = static_cast<Impl*>(data);
            if (self->lossPending) {
                self->disconnectLocked();
            }
        },
        this);
    notifyTimer = addLoopTimer(
        loop, [](void* data, uint64_t) { static_cast<Impl*>(data)->notifyChanges(); }, this);
    pw_thread_loop_start(threadLoop.get());
    LoopLock lock(threadLoop.get());
    connectLocked();
}

PipeWireAudioHardware::Impl::~Impl() {
    {
        LoopLock lock(threadLoop.get());
        aggregates.clear();
        directs.clear();
        watcher.reset();
        coreHook.remove();
        core.reset();
    }
    pw_thread_loop_stop(threadLoop.get());
    destroyLoopSource(loop, changeEvent);
    destroyLoopSource(loop, lossEvent);
    destroyLoopSource(loop, notifyTimer);
    context.reset();
    threadLoop.reset();
    pw_deinit();
}

// ----- connection -----

template <typename Predicate>
bool PipeWireAudioHardware::Impl::waitLocked(std::chrono::nanoseconds timeout, Predicate ready) {
    if (pw_thread_loop_in_thread(threadLoop.get())) {
        return ready(); // waiting here would stop the very loop that has to answer
    }
    timespec deadline{};
    pw_thread_loop_get_time(threadLoop.get(), &deadline, timeout.count());
    while (!ready()) {
        if (pw_thread_loop_timed_wait_full(threadLoop.get(), &deadline) != 0) {
            return ready();
        }
    }
    return true;
}

bool PipeWireAudioHardware::Impl::roundTripLocked() {
    const int seq = syncCore(core.get(), 0);
    return waitLocked(kConnectTimeout, [&] { return lastDoneSeq == seq || lossPending || !core; });
}

void PipeWireAudioHardware::Impl::connectLocked() {
    lastAttempt = std::chrono::steady_clock::now();
    if (!context) {
        return;
    }
    core.reset(pw_context_connect(context.get(), nullptr, 0));
    if (!core) {
        return;
    }
    lossPending = false;
    addCoreListener(core.get(), coreHook, &coreEvents, this);
    watcher = std::make_unique<GraphWatcher>(core.get(), cache, [this] { graphChanged(); });
    // The first round trip brings every global; the second the properties of the objects bound meanwhile.
    if (!roundTripLocked() || !roundTripLocked() || lossPending) {
        disconnectLocked();
        return;
    }
    connection = Connection::connected;
    notified = snapshot();
}

void PipeWireAudioHardware::Impl::disconnectLocked() {
    const bool wasConnected = connection == Connection::connected;
    // Capture nodes and links live on the connection: those aggregates are dead for good.
    for (auto& [id, capture] : aggregates) {
        capture->filter.reset();
    }
    for (auto& [id, capture] : directs) {
        capture->filter.reset();
    }
    watcher.reset();
    coreHook.remove();
    core.reset();
    cache.clear();
    lossPending = false;
    if (wasConnected) {
        connection = Connection::lost;
        graphChanged();
    }
    pw_thread_loop_signal(threadLoop.get(), false);
}

bool PipeWireAudioHardware::Impl::connectedLocked() {
    if (connection != Connection::connected && !lossPending &&
        std::chrono::steady_clock::now() - lastAttempt >= kReconnectInterval) {
        connectLocked();
    }
    return connection == Connection::connected && !lossPending;
}

void PipeWireAudioHardware::Impl::graphChanged() {
    signalLoopEvent(loop, changeEvent);
    pw_thread_loop_signal(threadLoop.get(), false);
}

// ----- loop-thread reactions -----

CaptureLayout PipeWireAudioHardware::Impl::layoutOf(const Capture& capture) const {
    CaptureLayout layout;
    layout.filterNodeId = capture.filter ? capture.filter->nodeId() : SPA_ID_INVALID;
    layout.leadingUid = capture.leadingUid;
    layout.leadingPorts = capture.leadingPorts;
    for (const Capture::TapSlot& slot : capture.taps) {
        const auto tap = taps.find(slot.tap);
        if (tap == taps.end()) {
            continue; // destroyed: its inputs stay silent
        }
        CaptureLayout::Tap entry;
        entry.includeOnly = !tap->second.exclusive;
        entry.pids = tap->second.pids;
        entry.leftPort = slot.leftPort;
        entry.rightPort = slot.rightPort;
        layout.taps.push_back(std::move(entry));
    }
    return layout;
}

void PipeWireAudioHardware::Impl::reconcile(Capture& capture) {
    if (!capture.alive() || !core) {
        return;
    }
    std::set<PortPair> wanted;
    if (capture.linked()) {
        wanted = planCaptureLinks(cache, layoutOf(capture));
    }
    capture.filter->reconcileLinks(core.get(), cache, wanted);
}

void PipeWireAudioHardware::Impl::reconcileAll() {
    for (auto& [id, capture] : aggregates) {
        reconcile(*capture);
    }
    for (auto& [id, capture] : directs) {
        reconcile(*capture);
    }
    if (!notifyArmed) {
        notifyArmed = true;
        armLoopTimer(loop, notifyTimer, kNotifyDelayNs);
    }
}

Snapshot PipeWireAudioHardware::Impl::snapshot() {
    Snapshot state;
    if (connection != Connection::connected) {
        for (const auto& [id, tap] : taps) {
            state.taps.push_back(id);
        }
        return state;
    }
    state.defaultInput = cache.defaultDevice(DeviceDirection::input);
    state.defaultOutput = cache.defaultDevice(DeviceDirection::output);
    state.devices = cache.devices();
    for (const AudioObjectID device : state.devices) {
        state.running[device] = cache.device(device)->running;
    }
    for (const auto& [id, capture] : aggregates) {
        state.running[id] = capture->alive() && capture->anyRunning();
    }
    state.processes = cache.processesWithCaptureStreams();
    for (const auto& [id, tap] : taps) {
        state.taps.push_back(id);
    }
    return state;
}

void PipeWireAudioHardware::Impl::notifyChanges() {
    notifyArmed = false;
    const Snapshot now = snapshot();
    const Snapshot before = std::exchange(notified, now);
    // Without a server the defaults are unknown, not changed: reporting them would send a recorder
    // rebuilding at once, before a restarting server could come back.
    const bool defaultsKnown = connection == Connection::connected;
    if (defaultsKnown && now.defaultInput != before.defaultInput) {
        listeners.deliver(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultInputDevice);
    }
    if (defaultsKnown && now.defaultOutput != before.defaultOutput) {
        listeners.deliver(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultOutputDevice);
    }
    if (now.devices != before.devices) {
        listeners.deliver(kAudioObjectSystemObject, kAudioHardwarePropertyDevices);
        for (const AudioObjectID device : before.devices) {
            if (!std::binary_search(now.devices.begin(), now.devices.end(), device)) {
                listeners.deliver(device, kAudioDevicePropertyDeviceIsAlive);
            }
        }
    }
    if (now.processes != before.processes) {
        listeners.deliver(kAudioObjectSystemObject, kAudioHardwarePropertyProcessObjectList);
    }
    if (now.taps != before.taps) {
        listeners.deliver(kAudioObjectSystemObject, kAudioHardwarePropertyTapList);
    }
    for (const auto& [device, running] : now.running) {
        const auto previous = before.running.find(device);
        if (previous != before.running.end() && previous->second != running) {
            listeners.deliver(device, kAudioDevicePropertyDeviceIsRunning);
        }
    }
    for (const auto& [id, capture] : aggregates) {
        if (!capture->alive() && before.running.contains(id) && !now.running.contains(id)) {
            listeners.deliver(id, kAudioDevicePropertyDeviceIsAlive);
        }
    }
}

// ----- captures -----

Capture* PipeWireAudioHardware::Impl::captureOf(AudioObjectID device) {
    if (const auto found = aggregates.find(device); found != aggregates.end()) {
        return found->second.get();
    }
    if (const auto found = directs.find(device); found != directs.end()) {
        return found->second.get();
    }
    return nullptr;
}

// Creates the capture node and waits until the server lists it with all its ports.
OSStatus PipeWireAudioHardware::Impl::startFilterLocked(Capture& capture) {
    capture.filter =
        std::make_unique<CaptureFilter>(core.get(), dataLoop, capture.node, [this] { graphChanged(); });
    CaptureFilter* filter = capture.filter.get();
    const bool ready = waitLocked(kNodeTimeout, [&] {
        if (filter->failed() || !core) {
            return true;
        }
        const uint32_t nodeId = filter->nodeId();
        if (nodeId == SPA_ID_INVALID || cache.node(nodeId) == nullptr) {
            return false;
        }
        for (const CaptureFilter::Stream& stream : capture.node.streams) {
            for (const CaptureFilter::Port& port : stream.ports) {
                if (cache.portNamed(nodeId, PortDirection::input, port.name) == nullptr) {
                    return false;
                }
            }
        }
        return true;
    });
    if (!core) {
        return kAudioHardwareNotRunningError;
    }
    if (!ready || filter->failed()) {
        capture.filter.reset();
        return kAudioHardwareUnspecifiedError;
    }
    return kAudioHardwareNoError;
}

// Activates and links a new aggregate and waits (bounded) for its first cycle: what it then reports as
// its nominal rate is the rate the graph really runs at with it.
void PipeWireAudioHardware::Impl::primeLocked(Capture& capture) {
    capture.primed = true;
    capture.filter->setActive(true);
    reconcile(capture);
    if (pw_thread_loop_in_thread(threadLoop.get())) {
        return; // the loop that has to run the cycle is this one
    }
    // The links exist on the server once it has answered.
    roundTripLocked();
    const auto deadline = std::chrono::steady_clock::now() + kFirstCycleTimeout;
    while (capture.alive() && core && capture.cycleRate() == 0 &&
           std::chrono::steady_clock::now() < deadline) {
        // The real-time thread does not signal us: look again every few milliseconds.
        timespec slice{};
        pw_thread_loop_get_time(threadLoop.get(), &slice, 5'000'000);
        pw_thread_loop_timed_wait_full(threadLoop.get(), &slice);
    }
}

// The rate the tap delivers at: the cycle rate of a capture that reads it, else the graph's setting.
double PipeWireAudioHardware::Impl::tapRate(AudioObjectID tap) const {
    for (const auto& [id, capture] : aggregates) {
        const bool readsTap = std::any_of(capture->taps.begin(), capture->taps.end(),
                                          [tap](const Capture::TapSlot& slot) { return slot.tap == tap; });
        if (readsTap && capture->cycleRate() > 0) {
            return capture->cycleRate();
        }
    }
    return cache.graphRate();
}

void PipeWireAudioHardware::Impl::pushBlocks(Capture& capture, bool restartClock) {
    if (!capture.filter) {
        return;
    }
    std::vector<const AudioDeviceIOBlock*> blocks;
    for (const auto& [id, proc] : capture.procs) {
        if (proc.running) {
            blocks.push_back(proc.block.get());
        }
    }
    capture.filter->setBlocks(blocks, restartClock);
}

OSStatus PipeWireAudioHardware::Impl::startLocked(Capture& capture, AudioDeviceIOProcID procID) {
    const auto proc = capture.procs.find(procID);
    if (proc == capture.procs.end()) {
        return kAudioHardwareBadObjectError;
    }
    if (proc->second.running) {
        return kAudioHardwareNoError;
    }
    if (!capture.filter) {
        if (capture.aggregate) {
            return kAudioHardwareIllegalOperationError; // its node went with a lost connection
        }
        if (const OSStatus status = startFilterLocked(capture); status != kAudioHardwareNoError) {
            return status;
        }
    }
    if (capture.filter->failed()) {
        return kAudioHardwareIllegalOperationError;
    }
    const bool first = !capture.anyRunning();
    proc->second.running = true;
    pushBlocks(capture, first);
    capture.filter->setActive(true);
    reconcile(capture);
    graphChanged();
    return kAudioHardwareNoError;
}

void PipeWireAudioHardware::Impl::stopLocked(Capture& capture, AudioDeviceIOProcID procID) {
    const auto proc = capture.procs.find(procID);
    if (proc == capture.procs.end() || !proc->second.running) {
        return;
    }
    proc->second.running = false;
    pushBlocks(capture, false);
    if (!capture.anyRunning()) {
        capture.primed = false;
    }
    if (!capture.anyRunning() && capture.filter) {
        capture.filter->setActive(false);
        reconcile(capture);
        if (!capture.aggregate) {
            capture.filter.reset(); // a plain device's capture node exists only while it is read
        }
    }
    graphChanged();
}

// ----- properties -----

OSStatus PipeWireAudioHardware::Impl::read(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                           uint32_t qualifierSize, const void* qualifier,
                                           std::vector<unsigned char>& bytes) {
    if (!connectedLocked()) {
        return kAudioHardwareNotRunningError;
    }
    const AudioObjectPropertySelector selector = address.mSelector;
    bytes.clear();

    if (object == kAudioObjectSystemObject) {
        switch (selector) {
        case kAudioHardwarePropertyDevices:
            appendIDs(bytes, cache.devices());
            return kAudioHardwareNoError;
        case kAudioHardwarePropertyDefaultInputDevice:
            append(bytes, cache.defaultDevice(DeviceDirection::input));
            return kAudioHardwareNoError;
        case kAudioHardwarePropertyDefaultOutputDevice:
            append(bytes, cache.defaultDevice(DeviceDirection::output));
            return kAudioHardwareNoError;
        case kAudioHardwarePropertyProcessObjectList:
            appendIDs(bytes, cache.processesWithCaptureStreams());
            return kAudioHardwareNoError;
        case kAudioHardwarePropertyTapList: {
            std::vector<AudioObjectID> ids;
            for (const auto& [id, tap] : taps) {
                ids.push_back(id);
            }
            appendIDs(bytes, ids);
            return kAudioHardwareNoError;
        }
        case kAudioHardwarePropertyTranslatePIDToProcessObject: {
            if (qualifier == nullptr || qualifierSize != sizeof(int32_t)) {
                return kAudioHardwareBadPropertySizeError;
            }
            int32_t pid = 0;
            std::memcpy(&pid, qualifier, sizeof(pid));
            append(bytes, cache.processObject(pid));
            return kAudioHardwareNoError;
        }
        default:
            return kAudioHardwareUnknownPropertyError;
        }
    }

    if (const auto found = aggregates.find(object); found != aggregates.end()) {
        const Capture& capture = *found->second;
        switch (selector) {
        case kAudioDevicePropertyNominalSampleRate: {
            // The rate its node last ran at; the graph's setting only when it never ran (no cycle came
            // within the priming wait).
            const uint32_t rate = capture.cycleRate();
            append(bytes, rate > 0 ? static_cast<double>(rate) : cache.graphRate());
            return kAudioHardwareNoError;
        }
        case kAudioDevicePropertyDeviceIsRunning:
            append(bytes, static_cast<uint32_t>(capture.alive() && capture.anyRunning() ? 1 : 0));
            return kAudioHardwareNoError;
        case kAudioDevicePropertyDeviceIsAlive:
            append(bytes, static_cast<uint32_t>(capture.alive() ? 1 : 0));
            return kAudioHardwareNoError;
        case kAudioDevicePropertyStreamConfiguration:
            if (address.mScope == kAudioDevicePropertyScopeInput) {
                appendStreams(bytes, capture.streams);
                return kAudioHardwareNoError;
            }
            if (address.mScope == kAudioDevicePropertyScopeOutput) {
                appendStreams(bytes, {});
                return kAudioHardwareNoError;
            }
            return kAudioHardwareUnknownPropertyError;
        default:
            return kAudioHardwareUnknownPropertyError;
        }
    }

    if (const auto device = cache.device(object)) {
        switch (selector) {
        case kAudioDevicePropertyNominalSampleRate:
            append(bytes, device->nominalRate);
            return kAudioHardwareNoError;
        case kAudioDevicePropertyDeviceIsRunning:
            append(bytes, static_cast<uint32_t>(device->running ? 1 : 0));
            return kAudioHardwareNoError;
        case kAudioDevicePropertyDeviceIsAlive:
            append(bytes, static_cast<uint32_t>(device->alive ? 1 : 0));
            return kAudioHardwareNoError;
        case kAudioDevicePropertyStreamConfiguration:
            if (address.mScope == kAudioDevicePropertyScopeInput) {
                appendStreams(bytes, device->inputStreams);
                return kAudioHardwareNoError;
            }
            if (address.mScope == kAudioDevicePropertyScopeOutput) {
                appendStreams(bytes, device->outputStreams);
                return kAudioHardwareNoError;
            }
            return kAudioHardwareUnknownPropertyError;
        default:
            return kAudioHardwareUnknownPropertyError;
        }
    }

    if (taps.contains(object)) {
        if (selector != kAudioTapPropertyFormat) {
            return kAudioHardwareUnknownPropertyError;
        }
        append(bytes, PropertyData::tapFormat(tapRate(object)));
        return kAudioHardwareNoError;
    }

    if (const auto process = cache.process(object)) {
        switch (selector) {
        case kAudioProcessPropertyPID:
            append(bytes, process->pid);
            return kAudioHardwareNoError;
        case kAudioProcessPropertyIsRunningInput:
            append(bytes, static_cast<uint32_t>(process->runningInput ? 1 : 0));
            return kAudioHardwareNoError;
        default:
            return kAudioHardwareUnknownPropertyError;
        }
    }
    return kAudioHardwareBadObjectError;
}

OSStatus PipeWireAudioHardware::Impl::readString(AudioObjectID object,
                                                 const AudioObjectPropertyAddress& address,
                                                 std::optional<std::string>& text) {
    if (!connectedLocked()) {
        return kAudioHardwareNotRunningError;
    }
    const AudioObjectPropertySelector selector = address.mSelector;
    if (object == kAudioObjectSystemObject) {
        return kAudioHardwareUnknownPropertyError;
    }
    if (const auto found = aggregates.find(object); found != aggregates.end()) {
        if (selector == kAudioObjectPropertyName) {
            text = found->second->name;
            return kAudioHardwareNoError;
        }
        if (selector == kAudioDevicePropertyDeviceUID) {
            text = found->second->uid;
            return kAudioHardwareNoError;
        }
        return kAudioHardwareUnknownPropertyError;
    }
    if (const auto device = cache.device(object)) {
        if (selector == kAudioObjectPropertyName) {
            text = device->name;
            return kAudioHardwareNoError;
        }
        if (selector == kAudioDevicePropertyDeviceUID) {
            text = device->uid;
            return kAudioHardwareNoError;
        }
        return kAudioHardwareUnknownPropertyError;
    }
    if (const auto found = taps.find(object); found != taps.end()) {
        if (selector == kAudioTapPropertyUID) {
            text = found->second.uuid;
            return kAudioHardwareNoError;
        }
        if (selector == kAudioObjectPropertyName) {
            text = found->second.name;
            return kAudioHardwareNoError;
        }
        return kAudioHardwareUnknownPropertyError;
    }
    if (const auto process = cache.process(object)) {
        if (selector == kAudioProcessPropertyBundleID) {
            text = process->bundleId;
            return kAudioHardwareNoError;
        }
        return kAudioHardwareUnknownPropertyError;
    }
    return kAudioHardwareBadObjectError;
}

// ----- the interface -----

PipeWireAudioHardware::PipeWireAudioHardware() : impl_(std::make_unique<Impl>()) {}

PipeWireAudioHardware::~PipeWireAudioHardware() = default;

bool PipeWireAudioHardware::isConnected() {
    LoopLock lock(impl_->threadLoop.get());
    return impl_->connectedLocked();
}

OSStatus PipeWireAudioHardware::getPropertyDataSize(AudioObjectID object,
                                                    const AudioObjectPropertyAddress& address,
                                                    uint32_t qualifierSize, const void* qualifier,
                                                    uint32_t* outDataSize) {
    LoopLock lock(impl_->threadLoop.get());
    std::vector<unsigned char> bytes;
    if (const OSStatus status = impl_->read(object, address, qualifierSize, qualifier, bytes); status != 0) {
        return status;
    }
    return PropertyData::deliverSize(bytes, outDataSize);
}

OSStatus PipeWireAudioHardware::getPropertyData(AudioObjectID object,
                                                const AudioObjectPropertyAddress& address,
                                                uint32_t qualifierSize, const void* qualifier,
                                                uint32_t* ioDataSize, void* outData) {
    LoopLock lock(impl_->threadLoop.get());
    std::vector<unsigned char> bytes;
    if (const OSStatus status = impl_->read(object, address, qualifierSize, qualifier, bytes); status != 0) {
        return status;
    }
    return PropertyData::deliver(bytes, address.mSelector, ioDataSize, outData);
}

OSStatus PipeWireAudioHardware::getPropertyString(AudioObjectID object,
                                                  const AudioObjectPropertyAddress& address,
                                                  std::optional<std::string>* outString) {
    LoopLock lock(impl_->threadLoop.get());
    std::optional<std::string> text;
    if (const OSStatus status = impl_->readString(object, address, text); status != 0) {
        return status;
    }
    return PropertyData::deliverString(std::move(text), outString);
}

OSStatus PipeWireAudioHardware::createProcessTap(const CATapDescription& description,
                                                 AudioObjectID* outTapID) {
    LoopLock lock(impl_->threadLoop.get());
    if (!impl_->connectedLocked()) {
        return kAudioHardwareNotRunningError;
    }
    if (outTapID == nullptr) {
        return kAudioHardwareIllegalOperationError;
    }
    // Mute behaviours other than "unmuted" would need rerouting other applications; the tap only listens.
    Tap tap;
    tap.uuid = description.uuid.empty() ? randomUuid() : upperCase(description.uuid);
    tap.name = description.name;
    tap.exclusive = description.exclusive;
    for (const AudioObjectID process : description.processes) {
        if (const auto pid = impl_->cache.pidOfProcess(process)) {
            tap.pids.insert(*pid);
        }
    }
    for (const auto& [id, existing] : impl_->taps) {
        if (existing.uuid == tap.uuid) {
            return kAudioHardwareIllegalOperationError;
        }
    }
    const AudioObjectID id = impl_->cache.allocateObjectId();
    impl_->taps.emplace(id, std::move(tap));
    impl_->graphChanged();
    *outTapID = id;
    return kAudioHardwareNoError;
}

OSStatus PipeWireAudioHardware::destroyProcessTap(AudioObjectID tapID) {
    LoopLock lock(impl_->threadLoop.get());
    if (impl_->taps.erase(tapID) == 0) {
        return kAudioHardwareBadObjectError;
    }
    impl_->graphChanged();
    return kAudioHardwareNoError;
}

OSStatus PipeWireAudioHardware::createAggregateDevice(const AggregateDeviceDescription& description,
                                                      AudioObjectID* outDeviceID) {
    LoopLock lock(impl_->threadLoop.get());
    if (!impl_->connectedLocked()) {
        return kAudioHardwareNotRunningError;
    }
    if (outDeviceID == nullptr || description.uid.empty()) {
        return kAudioHardwareIllegalOperationError;
    }
    for (const auto& [id, existing] : impl_->aggregates) {
        if (existing->uid == description.uid) {
            return kAudioHardwareIllegalOperationError;
        }
    }

    auto capture = std::make_unique<Capture>();
    capture->aggregate = true;
    capture->uid = description.uid;
    capture->name = description.name;
    capture->node.name = description.uid;
    capture->node.description = description.name.empty() ? std::string("Quillora") : description.name;

    // The leading sub-device: its capture channels come first. A device that is gone, or that only plays,
    // contributes no streams.
    std::string leading = description.master.value_or("");
    if (leading.empty() && !description.subdevices.empty()) {
        leading = description.subdevices.front().uid;
    }
    if (const Node* device = impl_->cache.deviceByUid(leading)) {
        addLeadingDevice(*capture, impl_->cache, *device);
    }

    for (std::size_t index = 0; index < description.taps.size(); ++index) {
        const std::string uuid = upperCase(description.taps[index].uid);
        const auto tap = std::find_if(impl_->taps.begin(), impl_->taps.end(),
                                      [&uuid](const auto& entry) { return entry.second.uuid == uuid; });
        if (tap == impl_->taps.end()) {
            return kAudioHardwareBadObjectError;
        }
        const std::string prefix = index == 0 ? "tap_" : "tap" + std::to_string(index + 1) + "_";
        Capture::TapSlot slot{tap->first, prefix + "FL", prefix + "FR"};
        CaptureFilter::Stream stream;
        stream.ports = {{slot.leftPort, "FL"}, {slot.rightPort, "FR"}};
        capture->taps.push_back(std::move(slot));
        capture->streams.push_back(2);
        capture->node.streams.push_back(std::move(stream));
    }

    impl_->cache.addOwnNodeName(capture->node.name);
    if (const OSStatus status = impl_->startFilterLocked(*capture); status != kAudioHardwareNoError) {
        impl_->cache.removeOwnNodeName(capture->node.name);
        return status;
    }
    impl_->primeLocked(*capture);
    const AudioObjectID id = impl_->cache.allocateObjectId();
    impl_->aggregates.emplace(id, std::move(capture));
    impl_->graphChanged();
    *outDeviceID = id;
    return kAudioHardwareNoError;
}

OSStatus PipeWireAudioHardware::destroyAggregateDevice(AudioObjectID deviceID) {
    LoopLock lock(impl_->threadLoop.get());
    const auto found = impl_->aggregates.find(deviceID);
    if (found == impl_->aggregates.end()) {
        return kAudioHardwareBadObjectError;
    }
    std::unique_ptr<Capture> capture = std::move(found->second);
    impl_->aggregates.erase(found);
    if (capture->filter) {
        capture->filter->setBlocks({}, false);
        capture->filter.reset();
    }
    impl_->cache.removeOwnNodeName(capture->node.name);
    impl_->graphChanged();
    return kAudioHardwareNoError;
}

OSStatus PipeWireAudioHardware::createIOProcIDWithBlock(AudioObjectID deviceID, AudioDeviceIOBlock block,
                                                        AudioDeviceIOProcID* outProcID) {
    LoopLock lock(impl_->threadLoop.get());
    if (!impl_->connectedLocked()) {
        return kAudioHardwareNotRunningError;
    }
    if (outProcID == nullptr || !block) {
        return kAudioHardwareIllegalOperationError;
    }
    Capture* capture = impl_->captureOf(deviceID);
    if (capture == nullptr) {
        // A plain device read directly: its own capture node, made when a procedure starts.
        const auto device = impl_->cache.device(deviceID);
        if (!device) {
            return kAudioHardwareBadObjectError;
        }
        if (!device->alive) {
            return kAudioHardwareIllegalOperationError;
        }
        auto direct = std::make_unique<Capture>();
        direct->uid = device->uid;
        direct->name = device->name;
        direct->node.name = "com.tandrevel.quillora.device." + std::to_string(deviceID);
        direct->node.description = "Quillora";
        if (const Node* node = impl_->cache.deviceNode(deviceID)) {
            addLeadingDevice(*direct, impl_->cache, *node);
        }
        impl_->cache.addOwnNodeName(direct->node.name);
        capture = direct.get();
        impl_->directs.emplace(deviceID, std::move(direct));
    }
    const AudioDeviceIOProcID id = impl_->nextProc++;
    capture->procs[id].block = std::make_unique<AudioDeviceIOBlock>(std::move(block));
    *outProcID = id;
    return kAudioHardwareNoError;
}

OSStatus PipeWireAudioHardware::deviceStart(AudioObjectID deviceID, AudioDeviceIOProcID procID) {
    LoopLock lock(impl_->threadLoop.get());
    Capture* capture = impl_->captureOf(deviceID);
    if (capture == nullptr) {
        return kAudioHardwareBadObjectError;
    }
    if (!impl_->connectedLocked()) {
        return kAudioHardwareNotRunningError;
    }
    return impl_->startLocked(*capture, procID);
}

OSStatus PipeWireAudioHardware::deviceStop(AudioObjectID deviceID, AudioDeviceIOProcID procID) {
    LoopLock lock(impl_->threadLoop.get());
    Capture* capture = impl_->captureOf(deviceID);
    if (capture == nullptr) {
        return kAudioHardwareBadObjectError;
    }
    if (!capture->procs.contains(procID)) {
        return kAudioHardwareBadObjectError;
    }
    impl_->stopLocked(*capture, procID);
    return kAudioHardwareNoError;
}

OSStatus PipeWireAudioHardware::destroyIOProcID(AudioObjectID deviceID, AudioDeviceIOProcID procID) {
    LoopLock lock(impl_->threadLoop.get());
    Capture* capture = impl_->captureOf(deviceID);
    if (capture == nullptr || !capture->procs.contains(procID)) {
        return kAudioHardwareBadObjectError;
    }
    impl_->stopLocked(*capture, procID);
    capture->procs.erase(procID);
    if (!capture->aggregate && capture->procs.empty()) {
        impl_->cache.removeOwnNodeName(capture->node.name);
        impl_->directs.erase(deviceID);
    }
    return kAudioHardwareNoError;
}

OSStatus PipeWireAudioHardware::addPropertyListenerBlock(AudioObjectID object,
                                                         const AudioObjectPropertyAddress& address,
                                                         AudioObjectPropertyListenerBlock listener,
                                                         AudioObjectPropertyListenerID* outListenerID) {
    if (outListenerID == nullptr || !listener) {
        return kAudioHardwareIllegalOperationError;
    }
    {
        LoopLock lock(impl_->threadLoop.get());
        if (!impl_->connectedLocked()) {
            return kAudioHardwareNotRunningError;
        }
        const bool known = object == kAudioObjectSystemObject || impl_->captureOf(object) != nullptr ||
                           impl_->cache.device(object).has_value() || impl_->taps.contains(object) ||
                           impl_->cache.pidOfProcess(object).has_value();
        if (!known) {
            return kAudioHardwareBadObjectError;
        }
    }
    *outListenerID = impl_->listeners.add(object, address, std::move(listener));
    return kAudioHardwareNoError;
}

OSStatus PipeWireAudioHardware::removePropertyListenerBlock(AudioObjectID object,
                                                            const AudioObjectPropertyAddress& address,
                                                            AudioObjectPropertyListenerID listenerID) {
    return impl_->listeners.remove(object, address, listenerID) ? kAudioHardwareNoError
                                                                : kAudioHardwareBadObjectError;
}

AVAuthorizationStatus PipeWireAudioHardware::authorizationStatus() {
    // A desktop session grants its applications the microphone; there is nothing to ask.
    return AVAuthorizationStatusAuthorized;
}

void PipeWireAudioHardware::requestAccess(std::function<void(bool granted)> completion) {
    if (!completion) {
        return;
    }
    std::thread([completion = std::move(completion)] { completion(true); }).detach();
}
