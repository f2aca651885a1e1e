#include "Platform/Audio/Simulated/SimulatedAudioHardware.h"
#include "Platform/Audio/PropertyData.h"

#include <QUuid>
#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <unistd.h>

struct SimulatedAudioHardware::Device {
    DeviceConfig config;
    bool alive = true;
    bool silent = false;

    // Aggregates only. Sub-devices and taps are resolved once, when the aggregate is created.
    bool isAggregate = false;
    AggregateDeviceDescription description;
    std::vector<AudioObjectID> subdevices;
    std::vector<AudioObjectID> taps;
    std::optional<Clock::time_point> tapStreamsAppear; // none: never
    std::optional<std::vector<int>> reportedStreams;
};

struct SimulatedAudioHardware::Tap {
    CATapDescription description;
    std::string uid;
};

struct SimulatedAudioHardware::Process {
    int32_t pid = 0;
    std::optional<std::string> bundleID;
    bool runningInput = false;
    std::optional<Clock::time_point> inputEnds; // the demonstration's call: stops using input then
};

struct SimulatedAudioHardware::IOProc {
    enum class Source { silence, deviceInput, tap };
    struct Stream {
        int channels = 0;
        Source source = Source::silence;
        AudioObjectID object = kAudioObjectUnknown;
    };

    AudioDeviceIOProcID id = 0;
    AudioObjectID device = kAudioObjectUnknown;
    AudioDeviceIOBlock block;
    bool running = false;

    // Set up by deviceStart; only the clock thread touches them while the procedure runs.
    std::vector<Stream> streams;
    std::vector<std::vector<float>> samples;
    std::unique_ptr<std::byte[]> inputStorage;
    AudioBufferList* input = nullptr;
    AudioBufferList output{}; // the engine never plays anything
    uint32_t frames = 0;
    double rate = 48000;
    double sampleTime = 0;
    AudioTimeStamp stamp{};
};

struct SimulatedAudioHardware::Fault {
    OSStatus status = kAudioHardwareNoError;
    int skip = 0;
    int times = -1;
};

struct SimulatedAudioHardware::Listeners {
    struct Entry {
        AudioObjectID object = kAudioObjectUnknown;
        AudioObjectPropertyAddress address;
        AudioObjectPropertyListenerBlock block;
    };
    std::mutex mutex;
    std::map<AudioObjectPropertyListenerID, Entry> entries;
    AudioObjectPropertyListenerID nextID = 1;
};

namespace {

using PropertyData::append;
using PropertyData::appendIDs;

// The stream layout as the property hands it out: a buffer list without sample memory.
void appendStreamConfiguration(std::vector<unsigned char>& bytes, const std::vector<int>& channels) {
    PropertyData::setStreamConfiguration(bytes, std::vector<uint32_t>(channels.begin(), channels.end()));
}

uint64_t monotonicNanoseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1'000'000'000u + static_cast<uint64_t>(now.tv_nsec);
}

} // namespace

SimulatedAudioHardware::SimulatedAudioHardware() : listeners_(std::make_shared<Listeners>()) {
    setOwnProcessVisible(true);
    clockThread_ = std::thread([this] { clockLoop(); });
}

SimulatedAudioHardware::~SimulatedAudioHardware() {
    {
        std::lock_guard lock(mutex_);
        quitting_ = true;
    }
    clockWake_.notify_all();
    cyclesDone_.notify_all();
    clockThread_.join();
    std::vector<std::thread> access;
    {
        std::lock_guard lock(mutex_);
        access.swap(accessThreads_);
    }
    for (std::thread& thread : access) {
        thread.join();
    }
}

std::unique_ptr<AudioHardware> SimulatedAudioHardware::makeDemo() {
    auto hardware = std::make_unique<SimulatedAudioHardware>();
    DeviceConfig microphone;
    microphone.name = "Microfono simulato";
    microphone.uid = "quillora-sim-microphone";
    microphone.inputStreams = {1};
    microphone.input = Signal::voice(150, 0.25f);
    hardware->addDevice(std::move(microphone));

    // The other side speaks in the microphone's pauses, like a conversation.
    DeviceConfig speakers;
    speakers.name = "Altoparlanti simulati";
    speakers.uid = "quillora-sim-speakers";
    speakers.outputStreams = {2};
    speakers.output = Signal::voice(220, 0.2f, 1.8);
    hardware->addDevice(std::move(speakers));

    hardware->setClockMode(ClockMode::realTime);

    // Lets tests of the whole program make the demonstration system refuse system-audio access ("tap")
    // or the creation of aggregate devices ("aggregate").
    if (const char* fault = std::getenv("QUILLORA_SIMULATED_FAULT"); fault != nullptr) {
        if (std::strcmp(fault, "tap") == 0) {
            hardware->injectFault(Operation::createProcessTap, kAudioHardwareIllegalOperationError);
        } else if (std::strcmp(fault, "aggregate") == 0) {
            hardware->injectFault(Operation::createAggregateDevice, kAudioHardwareIllegalOperationError);
        }
    }

    // Lets the call watch be shown and tried out: QUILLORA_SIMULATED_CALL="<application id>" makes a process
    // of that application use the microphone from now on, "<application id>:<seconds>" only for that long.
    if (const char* call = std::getenv("QUILLORA_SIMULATED_CALL"); call != nullptr && call[0] != '\0') {
        std::string identifier = call;
        std::optional<Clock::time_point> ends;
        if (const auto colon = identifier.rfind(':'); colon != std::string::npos) {
            const std::string_view seconds = std::string_view(identifier).substr(colon + 1);
            double value = -1;
            const auto [end, error] = std::from_chars(seconds.data(), seconds.data() + seconds.size(), value);
            if (error == std::errc() && end == seconds.data() + seconds.size() && value >= 0) {
                ends = Clock::now() +
                       std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(value));
                identifier.resize(colon);
            }
        }
        // Any process id but this program's own, which the call watch leaves out.
        const AudioObjectID process =
            hardware->addProcess(static_cast<int32_t>(getpid()) + 1, identifier, true);
        std::lock_guard lock(hardware->mutex_);
        hardware->processes_.at(process).inputEnds = ends;
    }
    return hardware;
}

// ----- configuration -----

AudioObjectID SimulatedAudioHardware::addDevice(DeviceConfig config) {
    std::lock_guard lock(mutex_);
    const AudioObjectID id = nextObjectID_++;
    auto device = std::make_unique<Device>();
    device->config = std::move(config);
    const bool hasInputs = !device->config.inputStreams.empty();
    const bool hasOutputs = !device->config.outputStreams.empty();
    devices_.emplace(id, std::move(device));
    notify(kAudioObjectSystemObject, kAudioHardwarePropertyDevices);
    if (hasInputs && defaultInput_ == kAudioObjectUnknown) {
        defaultInput_ = id;
        notify(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultInputDevice);
    }
    if (hasOutputs && defaultOutput_ == kAudioObjectUnknown) {
        defaultOutput_ = id;
        notify(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultOutputDevice);
    }
    return id;
}

void SimulatedAudioHardware::removeDevice(AudioObjectID id) {
    std::lock_guard lock(mutex_);
    const auto found = devices_.find(id);
    if (found == devices_.end() || found->second->isAggregate || !found->second->alive) {
        return;
    }
    found->second->alive = false;
    notify(id, kAudioDevicePropertyDeviceIsAlive);
    notify(kAudioObjectSystemObject, kAudioHardwarePropertyDevices);
    if (defaultInput_ == id) {
        defaultInput_ = firstPresent(true);
        notify(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultInputDevice);
    }
    if (defaultOutput_ == id) {
        defaultOutput_ = firstPresent(false);
        notify(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultOutputDevice);
    }
}

bool SimulatedAudioHardware::setDefaultInput(AudioObjectID id) {
    std::lock_guard lock(mutex_);
    if (id != kAudioObjectUnknown) {
        const auto found = devices_.find(id);
        if (found == devices_.end() || found->second->isAggregate || !found->second->alive) {
            return false;
        }
    }
    if (defaultInput_ != id) {
        defaultInput_ = id;
        notify(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultInputDevice);
    }
    return true;
}

bool SimulatedAudioHardware::setDefaultOutput(AudioObjectID id) {
    std::lock_guard lock(mutex_);
    if (id != kAudioObjectUnknown) {
        const auto found = devices_.find(id);
        if (found == devices_.end() || found->second->isAggregate || !found->second->alive) {
            return false;
        }
    }
    if (defaultOutput_ != id) {
        defaultOutput_ = id;
        notify(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultOutputDevice);
    }
    return true;
}

void SimulatedAudioHardware::setInputSignal(AudioObjectID id, Signal signal) {
    std::lock_guard lock(mutex_);
    if (const auto found = devices_.find(id); found != devices_.end()) {
        found->second->config.input = signal;
    }
}

void SimulatedAudioHardware::setOutputSignal(AudioObjectID id, Signal signal) {
    std::lock_guard lock(mutex_);
    if (const auto found = devices_.find(id); found != devices_.end()) {
        found->second->config.output = signal;
    }
}

void SimulatedAudioHardware::setSilent(AudioObjectID id, bool silent) {
    std::lock_guard lock(mutex_);
    if (const auto found = devices_.find(id); found != devices_.end()) {
        found->second->silent = silent;
    }
}

AudioObjectID SimulatedAudioHardware::addProcess(int32_t pid, std::optional<std::string> bundleID,
                                                 bool runningInput) {
    std::lock_guard lock(mutex_);
    const AudioObjectID id = nextObjectID_++;
    processes_.emplace(id, Process{pid, std::move(bundleID), runningInput, std::nullopt});
    notify(kAudioObjectSystemObject, kAudioHardwarePropertyProcessObjectList);
    return id;
}

void SimulatedAudioHardware::setProcessRunningInput(AudioObjectID id, bool runningInput) {
    std::lock_guard lock(mutex_);
    if (const auto found = processes_.find(id); found != processes_.end()) {
        found->second.runningInput = runningInput;
        notify(id, kAudioProcessPropertyIsRunningInput);
    }
}

void SimulatedAudioHardware::removeProcess(AudioObjectID id) {
    std::lock_guard lock(mutex_);
    if (processes_.erase(id) > 0) {
        if (ownProcess_ == id) {
            ownProcess_ = kAudioObjectUnknown;
        }
        notify(kAudioObjectSystemObject, kAudioHardwarePropertyProcessObjectList);
    }
}

void SimulatedAudioHardware::setOwnProcessVisible(bool visible) {
    std::lock_guard lock(mutex_);
    if (visible && ownProcess_ == kAudioObjectUnknown) {
        ownProcess_ = nextObjectID_++;
        processes_.emplace(ownProcess_, Process{static_cast<int32_t>(getpid()), "com.tandrevel.quillora",
                                                false, std::nullopt});
        notify(kAudioObjectSystemObject, kAudioHardwarePropertyProcessObjectList);
    } else if (!visible && ownProcess_ != kAudioObjectUnknown) {
        processes_.erase(ownProcess_);
        ownProcess_ = kAudioObjectUnknown;
        notify(kAudioObjectSystemObject, kAudioHardwarePropertyProcessObjectList);
    }
}

void SimulatedAudioHardware::setAggregateBehavior(AggregateBehavior behavior) {
    std::lock_guard lock(mutex_);
    aggregateBehavior_ = std::move(behavior);
}

void SimulatedAudioHardware::injectFault(Operation operation, OSStatus status, int skip, int times) {
    std::lock_guard lock(mutex_);
    faults_[operation] = Fault{status, skip, times};
}

void SimulatedAudioHardware::clearFaults() {
    std::lock_guard lock(mutex_);
    faults_.clear();
}

void SimulatedAudioHardware::setPropertyFailure(AudioObjectID object, AudioObjectPropertySelector selector,
                                                OSStatus status) {
    std::lock_guard lock(mutex_);
    propertyFailures_[{object, selector}] = status;
}

void SimulatedAudioHardware::clearPropertyFailures() {
    std::lock_guard lock(mutex_);
    propertyFailures_.clear();
}

void SimulatedAudioHardware::setStopped(bool stopped) {
    std::lock_guard lock(mutex_);
    stopped_ = stopped;
}

void SimulatedAudioHardware::setAuthorizationStatus(AVAuthorizationStatus status) {
    std::lock_guard lock(mutex_);
    authorization_ = status;
}

void SimulatedAudioHardware::setGrantOnRequest(bool grant) {
    std::lock_guard lock(mutex_);
    grantOnRequest_ = grant;
}

void SimulatedAudioHardware::setClockMode(ClockMode mode) {
    {
        std::lock_guard lock(mutex_);
        clockMode_ = mode;
    }
    clockWake_.notify_all();
}

void SimulatedAudioHardware::setBufferFrames(uint32_t frames) {
    std::lock_guard lock(mutex_);
    bufferFrames_ = std::max<uint32_t>(frames, 1);
}

void SimulatedAudioHardware::setClockRate(double rate) {
    std::lock_guard lock(mutex_);
    if (rate > 0) {
        clockRate_ = rate;
    }
}

void SimulatedAudioHardware::runCycles(uint64_t cycles) {
    std::unique_lock lock(mutex_);
    uint64_t target = cyclesRun_ + cycles;
    if (clockMode_ == ClockMode::fast) {
        cyclesGranted_ = std::max(cyclesGranted_, cyclesRun_) + cycles;
        target = cyclesGranted_;
        clockWake_.notify_all();
    }
    cyclesDone_.wait(lock, [&] { return cyclesRun_ >= target || quitting_; });
}

void SimulatedAudioHardware::grantCycles(uint64_t cycles) {
    {
        std::lock_guard lock(mutex_);
        cyclesGranted_ = std::max(cyclesGranted_, cyclesRun_) + cycles;
    }
    clockWake_.notify_all();
}

uint64_t SimulatedAudioHardware::cyclesRun() const {
    std::lock_guard lock(mutex_);
    return cyclesRun_;
}

// ----- inspection -----

std::vector<CATapDescription> SimulatedAudioHardware::tapRequests() const {
    std::lock_guard lock(mutex_);
    return tapRequests_;
}

std::vector<AggregateDeviceDescription> SimulatedAudioHardware::aggregateRequests() const {
    std::lock_guard lock(mutex_);
    return aggregateRequests_;
}

int SimulatedAudioHardware::attempts(Operation operation) const {
    std::lock_guard lock(mutex_);
    const auto found = attempts_.find(operation);
    return found == attempts_.end() ? 0 : found->second;
}

AudioObjectID SimulatedAudioHardware::lastTap() const {
    std::lock_guard lock(mutex_);
    return lastTap_;
}

AudioObjectID SimulatedAudioHardware::lastAggregate() const {
    std::lock_guard lock(mutex_);
    return lastAggregate_;
}

std::size_t SimulatedAudioHardware::liveTapCount() const {
    std::lock_guard lock(mutex_);
    return taps_.size();
}

std::size_t SimulatedAudioHardware::liveAggregateCount() const {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(std::count_if(
        devices_.begin(), devices_.end(), [](const auto& entry) { return entry.second->isAggregate; }));
}

std::size_t SimulatedAudioHardware::ioProcCount() const {
    std::lock_guard lock(mutex_);
    return procs_.size();
}

std::size_t SimulatedAudioHardware::runningIOProcCount() const {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(
        std::count_if(procs_.begin(), procs_.end(), [](const auto& entry) { return entry.second->running; }));
}

std::size_t SimulatedAudioHardware::listenerCount() const {
    std::lock_guard lock(listeners_->mutex);
    return listeners_->entries.size();
}

int SimulatedAudioHardware::accessRequests() const {
    std::lock_guard lock(mutex_);
    return accessRequests_;
}

// ----- properties -----

bool SimulatedAudioHardware::hasObject(AudioObjectID object) const {
    return object == kAudioObjectSystemObject || devices_.contains(object) || taps_.contains(object) ||
           processes_.contains(object);
}

std::optional<OSStatus>
SimulatedAudioHardware::injectedPropertyFailure(AudioObjectID object,
                                                AudioObjectPropertySelector selector) const {
    if (const auto found = propertyFailures_.find({object, selector}); found != propertyFailures_.end()) {
        return found->second;
    }
    if (const auto found = propertyFailures_.find({kAnyObject, selector}); found != propertyFailures_.end()) {
        return found->second;
    }
    return std::nullopt;
}

OSStatus SimulatedAudioHardware::readProperty(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                              uint32_t qualifierSize, const void* qualifier,
                                              std::vector<unsigned char>& bytes) {
    if (stopped_) {
        return kAudioHardwareNotRunningError;
    }
    if (!hasObject(object)) {
        return kAudioHardwareBadObjectError;
    }
    const AudioObjectPropertySelector selector = address.mSelector;
    if (const auto failure = injectedPropertyFailure(object, selector)) {
        return *failure;
    }
    bytes.clear();

    if (object == kAudioObjectSystemObject) {
        switch (selector) {
        case kAudioHardwarePropertyDevices: {
            std::vector<AudioObjectID> ids;
            for (const auto& [id, device] : devices_) {
                if (!device->isAggregate && device->alive) {
                    ids.push_back(id);
                }
            }
            appendIDs(bytes, ids);
            return kAudioHardwareNoError;
        }
        case kAudioHardwarePropertyDefaultInputDevice:
            append(bytes, defaultInput_);
            return kAudioHardwareNoError;
        case kAudioHardwarePropertyDefaultOutputDevice:
            append(bytes, defaultOutput_);
            return kAudioHardwareNoError;
        case kAudioHardwarePropertyProcessObjectList: {
            std::vector<AudioObjectID> ids;
            for (const auto& entry : processes_) {
                ids.push_back(entry.first);
            }
            appendIDs(bytes, ids);
            return kAudioHardwareNoError;
        }
        case kAudioHardwarePropertyTapList: {
            std::vector<AudioObjectID> ids;
            for (const auto& entry : taps_) {
                ids.push_back(entry.first);
            }
            appendIDs(bytes, ids);
            return kAudioHardwareNoError;
        }
        case kAudioHardwarePropertyTranslatePIDToProcessObject: {
            // A pid the audio system does not know translates to 0, which is not an error.
            AudioObjectID found = kAudioObjectUnknown;
            if (qualifier != nullptr && qualifierSize == sizeof(int32_t)) {
                int32_t pid = 0;
                std::memcpy(&pid, qualifier, sizeof(pid));
                for (const auto& [id, process] : processes_) {
                    if (process.pid == pid) {
                        found = id;
                        break;
                    }
                }
            } else if (qualifier != nullptr || qualifierSize != 0) {
                return kAudioHardwareBadPropertySizeError;
            }
            append(bytes, found);
            return kAudioHardwareNoError;
        }
        default:
            return kAudioHardwareUnknownPropertyError;
        }
    }

    if (const auto found = devices_.find(object); found != devices_.end()) {
        const Device& device = *found->second;
        switch (selector) {
        case kAudioDevicePropertyNominalSampleRate:
            append(bytes, nominalRateOf(device));
            return kAudioHardwareNoError;
        case kAudioDevicePropertyDeviceIsRunning:
            append(bytes, static_cast<uint32_t>(isRunning(object) ? 1 : 0));
            return kAudioHardwareNoError;
        case kAudioDevicePropertyDeviceIsAlive:
            append(bytes, static_cast<uint32_t>(device.alive ? 1 : 0));
            return kAudioHardwareNoError;
        case kAudioDevicePropertyStreamConfiguration:
            if (address.mScope == kAudioDevicePropertyScopeInput) {
                appendStreamConfiguration(bytes, inputStreamsOf(device));
                return kAudioHardwareNoError;
            }
            if (address.mScope == kAudioDevicePropertyScopeOutput) {
                appendStreamConfiguration(bytes, device.isAggregate ? std::vector<int>{}
                                                                    : device.config.outputStreams);
                return kAudioHardwareNoError;
            }
            return kAudioHardwareUnknownPropertyError;
        default:
            return kAudioHardwareUnknownPropertyError;
        }
    }

    if (taps_.contains(object)) {
        if (selector != kAudioTapPropertyFormat) {
            return kAudioHardwareUnknownPropertyError;
        }
        append(bytes, PropertyData::tapFormat(clockRate_));
        return kAudioHardwareNoError;
    }

    const Process& process = processes_.at(object);
    switch (selector) {
    case kAudioProcessPropertyPID:
        append(bytes, process.pid);
        return kAudioHardwareNoError;
    case kAudioProcessPropertyIsRunningInput: {
        const bool running =
            process.runningInput && (!process.inputEnds || Clock::now() < *process.inputEnds);
        append(bytes, static_cast<uint32_t>(running ? 1 : 0));
        return kAudioHardwareNoError;
    }
    default:
        return kAudioHardwareUnknownPropertyError;
    }
}

OSStatus SimulatedAudioHardware::readString(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                            std::optional<std::string>& string) {
    if (stopped_) {
        return kAudioHardwareNotRunningError;
    }
    if (!hasObject(object)) {
        return kAudioHardwareBadObjectError;
    }
    const AudioObjectPropertySelector selector = address.mSelector;
    if (const auto failure = injectedPropertyFailure(object, selector)) {
        return *failure;
    }
    if (const auto found = devices_.find(object); found != devices_.end()) {
        if (selector == kAudioObjectPropertyName) {
            string = found->second->config.name;
            return kAudioHardwareNoError;
        }
        if (selector == kAudioDevicePropertyDeviceUID) {
            string = found->second->config.uid;
            return kAudioHardwareNoError;
        }
        return kAudioHardwareUnknownPropertyError;
    }
    if (const auto found = taps_.find(object); found != taps_.end()) {
        if (selector == kAudioTapPropertyUID) {
            string = found->second.uid;
            return kAudioHardwareNoError;
        }
        if (selector == kAudioObjectPropertyName) {
            string = found->second.description.name;
            return kAudioHardwareNoError;
        }
        return kAudioHardwareUnknownPropertyError;
    }
    if (const auto found = processes_.find(object); found != processes_.end()) {
        if (selector == kAudioProcessPropertyBundleID) {
            string = found->second.bundleID;
            return kAudioHardwareNoError;
        }
    }
    return kAudioHardwareUnknownPropertyError;
}

OSStatus SimulatedAudioHardware::getPropertyDataSize(AudioObjectID object,
                                                     const AudioObjectPropertyAddress& address,
                                                     uint32_t qualifierSize, const void* qualifier,
                                                     uint32_t* outDataSize) {
    std::lock_guard lock(mutex_);
    std::vector<unsigned char> bytes;
    const OSStatus status = readProperty(object, address, qualifierSize, qualifier, bytes);
    if (status != kAudioHardwareNoError) {
        return status;
    }
    return PropertyData::deliverSize(bytes, outDataSize);
}

OSStatus SimulatedAudioHardware::getPropertyData(AudioObjectID object,
                                                 const AudioObjectPropertyAddress& address,
                                                 uint32_t qualifierSize, const void* qualifier,
                                                 uint32_t* ioDataSize, void* outData) {
    std::lock_guard lock(mutex_);
    std::vector<unsigned char> bytes;
    const OSStatus status = readProperty(object, address, qualifierSize, qualifier, bytes);
    if (status != kAudioHardwareNoError) {
        return status;
    }
    return PropertyData::deliver(bytes, address.mSelector, ioDataSize, outData);
}

OSStatus SimulatedAudioHardware::getPropertyString(AudioObjectID object,
                                                   const AudioObjectPropertyAddress& address,
                                                   std::optional<std::string>* outString) {
    std::lock_guard lock(mutex_);
    std::optional<std::string> string;
    const OSStatus status = readString(object, address, string);
    if (status != kAudioHardwareNoError) {
        return status;
    }
    return PropertyData::deliverString(std::move(string), outString);
}

// ----- taps and aggregates -----

OSStatus SimulatedAudioHardware::consumeFault(Operation operation) {
    ++attempts_[operation];
    const auto found = faults_.find(operation);
    if (found == faults_.end()) {
        return kAudioHardwareNoError;
    }
    Fault& fault = found->second;
    if (fault.skip > 0) {
        --fault.skip;
        return kAudioHardwareNoError;
    }
    if (fault.times == 0) {
        return kAudioHardwareNoError;
    }
    if (fault.times > 0) {
        --fault.times;
    }
    return fault.status;
}

OSStatus SimulatedAudioHardware::createProcessTap(const CATapDescription& description,
                                                  AudioObjectID* outTapID) {
    std::lock_guard lock(mutex_);
    if (stopped_) {
        return kAudioHardwareNotRunningError;
    }
    tapRequests_.push_back(description);
    if (const OSStatus status = consumeFault(Operation::createProcessTap); status != kAudioHardwareNoError) {
        return status;
    }
    if (outTapID == nullptr) {
        return kAudioHardwareIllegalOperationError;
    }
    std::string uid = description.uuid;
    if (uid.empty()) {
        uid = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper().toStdString();
    }
    const bool taken =
        std::any_of(taps_.begin(), taps_.end(), [&](const auto& entry) { return entry.second.uid == uid; });
    if (taken) {
        return kAudioHardwareIllegalOperationError;
    }
    const AudioObjectID id = nextObjectID_++;
    taps_.emplace(id, Tap{description, std::move(uid)});
    lastTap_ = id;
    *outTapID = id;
    notify(kAudioObjectSystemObject, kAudioHardwarePropertyTapList);
    return kAudioHardwareNoError;
}

OSStatus SimulatedAudioHardware::destroyProcessTap(AudioObjectID tapID) {
    std::lock_guard lock(mutex_);
    if (stopped_) {
        return kAudioHardwareNotRunningError;
    }
    if (taps_.erase(tapID) == 0) {
        return kAudioHardwareBadObjectError;
    }
    // Aggregates that held it keep its streams, which now carry silence.
    notify(kAudioObjectSystemObject, kAudioHardwarePropertyTapList);
    return kAudioHardwareNoError;
}

OSStatus SimulatedAudioHardware::createAggregateDevice(const AggregateDeviceDescription& description,
                                                       AudioObjectID* outDeviceID) {
    std::lock_guard lock(mutex_);
    if (stopped_) {
        return kAudioHardwareNotRunningError;
    }
    aggregateRequests_.push_back(description);
    if (const OSStatus status = consumeFault(Operation::createAggregateDevice);
        status != kAudioHardwareNoError) {
        return status;
    }
    if (outDeviceID == nullptr || description.uid.empty()) {
        return kAudioHardwareIllegalOperationError;
    }
    const bool taken = std::any_of(devices_.begin(), devices_.end(), [&](const auto& entry) {
        return entry.second->config.uid == description.uid;
    });
    if (taken) {
        return kAudioHardwareIllegalOperationError;
    }

    auto device = std::make_unique<Device>();
    device->isAggregate = true;
    device->description = description;
    device->config.name = description.name;
    device->config.uid = description.uid;
    // Unknown sub-devices and taps are left out, as if they had not been listed.
    for (const auto& subdevice : description.subdevices) {
        for (const auto& [id, candidate] : devices_) {
            if (!candidate->isAggregate && candidate->alive && candidate->config.uid == subdevice.uid) {
                device->subdevices.push_back(id);
                break;
            }
        }
    }
    for (const auto& subtap : description.taps) {
        for (const auto& [id, tap] : taps_) {
            if (tap.uid == subtap.uid) {
                device->taps.push_back(id);
                break;
            }
        }
    }
    if (aggregateBehavior_.tapStreamDelay) {
        device->tapStreamsAppear = Clock::now() + *aggregateBehavior_.tapStreamDelay;
    }
    device->reportedStreams = aggregateBehavior_.reportedStreams;

    const AudioObjectID id = nextObjectID_++;
    devices_.emplace(id, std::move(device));
    lastAggregate_ = id;
    *outDeviceID = id;
    return kAudioHardwareNoError;
}

OSStatus SimulatedAudioHardware::destroyAggregateDevice(AudioObjectID deviceID) {
    std::lock_guard cycle(cycleMutex_);
    std::lock_guard lock(mutex_);
    if (stopped_) {
        return kAudioHardwareNotRunningError;
    }
    const auto found = devices_.find(deviceID);
    if (found == devices_.end() || !found->second->isAggregate) {
        return kAudioHardwareBadObjectError;
    }
    // Its IO procedures go with it.
    std::erase_if(procs_, [&](auto& entry) {
        if (entry.second->device != deviceID) {
            return false;
        }
        entry.second->running = false;
        return true;
    });
    devices_.erase(found);
    return kAudioHardwareNoError;
}

// ----- IO procedures -----

OSStatus SimulatedAudioHardware::createIOProcIDWithBlock(AudioObjectID deviceID, AudioDeviceIOBlock block,
                                                         AudioDeviceIOProcID* outProcID) {
    std::lock_guard cycle(cycleMutex_);
    std::lock_guard lock(mutex_);
    if (stopped_) {
        return kAudioHardwareNotRunningError;
    }
    const auto found = devices_.find(deviceID);
    if (found == devices_.end() || !found->second->alive) {
        return kAudioHardwareBadObjectError;
    }
    if (!block || outProcID == nullptr) {
        return kAudioHardwareIllegalOperationError;
    }
    if (const OSStatus status = consumeFault(Operation::createIOProc); status != kAudioHardwareNoError) {
        return status;
    }
    auto proc = std::make_shared<IOProc>();
    proc->id = nextProcID_++;
    proc->device = deviceID;
    proc->block = std::move(block);
    procs_.emplace(proc->id, proc);
    due_.reserve(procs_.size());
    *outProcID = proc->id;
    return kAudioHardwareNoError;
}

OSStatus SimulatedAudioHardware::deviceStart(AudioObjectID deviceID, AudioDeviceIOProcID procID) {
    std::lock_guard cycle(cycleMutex_);
    std::lock_guard lock(mutex_);
    if (stopped_) {
        return kAudioHardwareNotRunningError;
    }
    const auto found = procs_.find(procID);
    if (found == procs_.end() || found->second->device != deviceID) {
        return kAudioHardwareBadObjectError;
    }
    const auto device = devices_.find(deviceID);
    if (device == devices_.end() || !device->second->alive) {
        return kAudioHardwareBadObjectError;
    }
    if (const OSStatus status = consumeFault(Operation::deviceStart); status != kAudioHardwareNoError) {
        return status;
    }
    IOProc& proc = *found->second;
    if (!proc.running) {
        prepare(proc);
        proc.running = true;
    }
    return kAudioHardwareNoError;
}

OSStatus SimulatedAudioHardware::deviceStop(AudioObjectID deviceID, AudioDeviceIOProcID procID) {
    std::lock_guard cycle(cycleMutex_);
    std::lock_guard lock(mutex_);
    if (stopped_) {
        return kAudioHardwareNotRunningError;
    }
    const auto found = procs_.find(procID);
    if (found == procs_.end() || found->second->device != deviceID) {
        return kAudioHardwareBadObjectError;
    }
    found->second->running = false;
    return kAudioHardwareNoError;
}

OSStatus SimulatedAudioHardware::destroyIOProcID(AudioObjectID deviceID, AudioDeviceIOProcID procID) {
    std::lock_guard cycle(cycleMutex_);
    std::lock_guard lock(mutex_);
    if (stopped_) {
        return kAudioHardwareNotRunningError;
    }
    const auto found = procs_.find(procID);
    if (found == procs_.end() || found->second->device != deviceID) {
        return kAudioHardwareBadObjectError;
    }
    found->second->running = false;
    procs_.erase(found);
    return kAudioHardwareNoError;
}

// ----- listeners and authorization -----

OSStatus SimulatedAudioHardware::addPropertyListenerBlock(AudioObjectID object,
                                                          const AudioObjectPropertyAddress& address,
                                                          AudioObjectPropertyListenerBlock listener,
                                                          AudioObjectPropertyListenerID* outListenerID) {
    std::lock_guard lock(mutex_);
    if (stopped_) {
        return kAudioHardwareNotRunningError;
    }
    if (!hasObject(object)) {
        return kAudioHardwareBadObjectError;
    }
    if (!listener || outListenerID == nullptr) {
        return kAudioHardwareIllegalOperationError;
    }
    std::lock_guard listenersLock(listeners_->mutex);
    const AudioObjectPropertyListenerID id = listeners_->nextID++;
    listeners_->entries.emplace(id, Listeners::Entry{object, address, std::move(listener)});
    *outListenerID = id;
    return kAudioHardwareNoError;
}

OSStatus SimulatedAudioHardware::removePropertyListenerBlock(AudioObjectID object,
                                                             const AudioObjectPropertyAddress& address,
                                                             AudioObjectPropertyListenerID listenerID) {
    std::lock_guard lock(listeners_->mutex);
    const auto found = listeners_->entries.find(listenerID);
    if (found == listeners_->entries.end() || found->second.object != object ||
        !(found->second.address == address)) {
        return kAudioHardwareIllegalOperationError;
    }
    listeners_->entries.erase(found);
    return kAudioHardwareNoError;
}

void SimulatedAudioHardware::notify(AudioObjectID object, AudioObjectPropertySelector selector) {
    std::lock_guard lock(listeners_->mutex);
    for (const auto& [id, entry] : listeners_->entries) {
        if (entry.object != object || entry.address.mSelector != selector) {
            continue;
        }
        // Delivered later on the main thread, and only if the listener is still registered by then.
        postToMainThread(
            [weak = std::weak_ptr<Listeners>(listeners_), listenerID = id, address = entry.address] {
                const auto listeners = weak.lock();
                if (!listeners) {
                    return;
                }
                AudioObjectPropertyListenerBlock block;
                {
                    std::lock_guard deliveryLock(listeners->mutex);
                    const auto current = listeners->entries.find(listenerID);
                    if (current == listeners->entries.end()) {
                        return;
                    }
                    block = current->second.block;
                }
                block(1, &address);
            });
    }
}

AVAuthorizationStatus SimulatedAudioHardware::authorizationStatus() {
    std::lock_guard lock(mutex_);
    return authorization_;
}

void SimulatedAudioHardware::requestAccess(std::function<void(bool granted)> completion) {
    std::lock_guard lock(mutex_);
    ++accessRequests_;
    bool granted = authorization_ == AVAuthorizationStatusAuthorized;
    if (authorization_ == AVAuthorizationStatusNotDetermined) {
        granted = grantOnRequest_;
        authorization_ = granted ? AVAuthorizationStatusAuthorized : AVAuthorizationStatusDenied;
    }
    accessThreads_.emplace_back([completion = std::move(completion), granted] {
        if (completion) {
            completion(granted);
        }
    });
}

// ----- device state -----

std::vector<int> SimulatedAudioHardware::inputStreamsOf(const Device& device) const {
    if (!device.isAggregate) {
        return device.config.inputStreams;
    }
    std::vector<int> streams;
    for (AudioObjectID subdevice : device.subdevices) {
        const auto& channels = devices_.at(subdevice)->config.inputStreams;
        streams.insert(streams.end(), channels.begin(), channels.end());
    }
    if (!device.tapStreamsAppear || Clock::now() < *device.tapStreamsAppear) {
        return streams;
    }
    if (device.reportedStreams) {
        return *device.reportedStreams;
    }
    streams.insert(streams.end(), device.taps.size(), 2);
    return streams;
}

bool SimulatedAudioHardware::isSilent(const Device& device) const {
    if (device.silent) {
        return true;
    }
    return std::any_of(device.subdevices.begin(), device.subdevices.end(),
                       [&](AudioObjectID subdevice) { return devices_.at(subdevice)->silent; });
}

bool SimulatedAudioHardware::isRunning(AudioObjectID deviceID) const {
    for (const auto& [id, proc] : procs_) {
        if (!proc->running) {
            continue;
        }
        if (proc->device == deviceID) {
            return true;
        }
        const Device& host = *devices_.at(proc->device);
        if (std::find(host.subdevices.begin(), host.subdevices.end(), deviceID) != host.subdevices.end()) {
            return true;
        }
    }
    return false;
}

double SimulatedAudioHardware::nominalRateOf(const Device& device) const {
    if (!device.isAggregate) {
        return device.config.nominalRate;
    }
    // The leading sub-device is the clock source.
    return device.subdevices.empty() ? clockRate_
                                     : devices_.at(device.subdevices.front())->config.nominalRate;
}

AudioObjectID SimulatedAudioHardware::firstPresent(bool withInputs) const {
    for (const auto& [id, device] : devices_) {
        if (device->isAggregate || !device->alive) {
            continue;
        }
        const auto& streams = withInputs ? device->config.inputStreams : device->config.outputStreams;
        if (!streams.empty()) {
            return id;
        }
    }
    return kAudioObjectUnknown;
}

// ----- the clock -----

void SimulatedAudioHardware::prepare(IOProc& proc) {
    const Device& device = *devices_.at(proc.device);
    using Source = IOProc::Source;

    std::vector<IOProc::Stream> natural;
    if (!device.isAggregate) {
        for (int channels : device.config.inputStreams) {
            natural.push_back({channels, Source::deviceInput, proc.device});
        }
    } else {
        for (AudioObjectID subdevice : device.subdevices) {
            for (int channels : devices_.at(subdevice)->config.inputStreams) {
                natural.push_back({channels, Source::deviceInput, subdevice});
            }
        }
        for (AudioObjectID tap : device.taps) {
            natural.push_back({2, Source::tap, tap});
        }
    }
    // The procedure gets what the device reports right now, with each stream keeping its source by
    // position.
    const std::vector<int> layout = inputStreamsOf(device);
    proc.streams.clear();
    for (std::size_t i = 0; i < layout.size(); ++i) {
        IOProc::Stream stream = i < natural.size() ? natural[i] : IOProc::Stream{};
        stream.channels = layout[i];
        proc.streams.push_back(stream);
    }

    proc.frames = bufferFrames_;
    proc.rate = nominalRateOf(device);
    proc.sampleTime = 0;
    const auto count = static_cast<uint32_t>(proc.streams.size());
    proc.samples.assign(count, {});
    proc.inputStorage = std::make_unique<std::byte[]>(audioBufferListSize(count));
    proc.input = reinterpret_cast<AudioBufferList*>(proc.inputStorage.get());
    proc.input->mNumberBuffers = count;
    AudioBuffer* buffers = proc.input->mBuffers;
    for (uint32_t i = 0; i < count; ++i) {
        const auto channels = static_cast<uint32_t>(std::max(proc.streams[i].channels, 0));
        proc.samples[i].assign(static_cast<std::size_t>(proc.frames) * channels, 0.0f);
        buffers[i].mNumberChannels = channels;
        buffers[i].mDataByteSize = static_cast<uint32_t>(proc.samples[i].size() * sizeof(float));
        buffers[i].mData = proc.samples[i].empty() ? nullptr : proc.samples[i].data();
    }
    proc.output.mNumberBuffers = 0;
}

void SimulatedAudioHardware::fill(IOProc& proc) {
    using Source = IOProc::Source;
    for (std::size_t s = 0; s < proc.streams.size(); ++s) {
        const IOProc::Stream& stream = proc.streams[s];
        std::vector<float>& samples = proc.samples[s];
        if (stream.channels <= 0) {
            continue;
        }
        const auto channels = static_cast<std::size_t>(stream.channels);
        const Device* source = nullptr;
        if (stream.source == Source::deviceInput) {
            const auto found = devices_.find(stream.object);
            if (found != devices_.end() && found->second->alive) {
                source = found->second.get();
            }
        }
        const bool tapPresent = stream.source == Source::tap && taps_.contains(stream.object);
        for (uint32_t frame = 0; frame < proc.frames; ++frame) {
            const double seconds = (proc.sampleTime + frame) / proc.rate;
            float value = 0;
            if (source != nullptr) {
                value = source->config.input.at(seconds);
            } else if (tapPresent) {
                // Everything applications play, on every present output device.
                for (const auto& [id, device] : devices_) {
                    if (!device->isAggregate && device->alive) {
                        value += device->config.output.at(seconds);
                    }
                }
            }
            std::fill_n(samples.begin() + static_cast<std::ptrdiff_t>(frame * channels), channels, value);
        }
    }
    proc.stamp.mSampleTime = proc.sampleTime;
    proc.stamp.mHostTime = monotonicNanoseconds();
    proc.sampleTime += proc.frames;
}

void SimulatedAudioHardware::runCycle() {
    std::lock_guard cycle(cycleMutex_);
    {
        std::lock_guard lock(mutex_);
        if (stopped_) {
            return;
        }
        for (const auto& [id, proc] : procs_) {
            if (!proc->running) {
                continue;
            }
            const Device& device = *devices_.at(proc->device);
            if (!device.alive || isSilent(device)) {
                continue;
            }
            fill(*proc);
            due_.push_back(proc);
        }
    }
    // Blocks run without the model lock, so they may read properties. A block may also stop or destroy
    // procedures (cycleMutex_ is recursive); `due_` keeps them alive until the cycle ends.
    for (std::size_t i = 0; i < due_.size(); ++i) {
        IOProc& proc = *due_[i];
        if (!proc.running) {
            continue;
        }
        const AudioTimeStamp now = proc.stamp;
        proc.block(&now, proc.input, &proc.stamp, &proc.output, &proc.stamp);
    }
    due_.clear();
}

void SimulatedAudioHardware::clockLoop() {
    std::unique_lock lock(mutex_);
    auto next = Clock::now();
    while (!quitting_) {
        if (clockMode_ == ClockMode::fast) {
            if (cyclesRun_ >= cyclesGranted_) {
                clockWake_.wait(lock);
                next = Clock::now();
                continue;
            }
        } else {
            const auto period = std::chrono::duration_cast<Clock::duration>(
                std::chrono::duration<double>(bufferFrames_ / clockRate_));
            const auto now = Clock::now();
            if (now < next) {
                clockWake_.wait_until(lock, next);
                continue;
            }
            next += period;
            // After a long stall (or a switch from fast mode) start again from now instead of catching up.
            if (now - next > 10 * period) {
                next = now + period;
            }
        }
        lock.unlock();
        runCycle();
        lock.lock();
        ++cyclesRun_;
        cyclesDone_.notify_all();
    }
}
