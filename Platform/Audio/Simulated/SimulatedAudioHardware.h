#pragma once

#include "Platform/Audio/AudioHardware.h"
#include "Platform/Audio/Simulated/SimulatedSignal.h"

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

// An in-process audio system with scripted devices, taps and processes, for tests and demos.
//
// One clock thread drives every started IO procedure, like a single graph clock: each cycle hands every
// procedure `bufferFrames` frames, one interleaved float buffer per input stream in the device's stream
// order (for an aggregate: the leading sub-device's input streams, then two channels per tap). A device's
// input streams carry its input signal on every channel; a tap's stream carries the sum of the output
// signals of all present devices. Buffers are allocated when a procedure starts, never per cycle.
//
// The clock runs at the real pace (bufferFrames / clockRate per cycle) or, in fast mode, only for the
// cycles a test grants, back to back. Configuration and inspection may be called from any thread while
// the clock runs; IO blocks run on the clock thread and may call back into this object.
class SimulatedAudioHardware final : public AudioHardware {
public:
    using Signal = SimulatedSignal;

    struct DeviceConfig {
        std::string name;
        std::string uid;
        std::vector<int> inputStreams;  // channels of each input stream, e.g. {1}, {2, 2} or {}
        std::vector<int> outputStreams; // channels of each output stream, e.g. {2}
        double nominalRate = 48000;
        Signal input;  // what its input streams capture
        Signal output; // what applications play through it (what a tap hears)
    };

    // When the tap streams of a new aggregate show up. Until then the aggregate reports only its leading
    // sub-device's streams.
    struct AggregateBehavior {
        std::optional<std::chrono::milliseconds> tapStreamDelay = std::chrono::milliseconds(0); // none: never
        // Replaces the whole stream layout once the tap streams have appeared (a misbehaving server).
        // Streams keep their natural sources by position; extra streams carry silence.
        std::optional<std::vector<int>> reportedStreams;
    };

    enum class ClockMode { realTime, fast };
    enum class Operation { createProcessTap, createAggregateDevice, createIOProc, deviceStart };

    // Matches every object in setPropertyFailure.
    static constexpr AudioObjectID kAnyObject = 0xFFFFFFFFu;

    // An empty system (no devices, the own process visible), fast clock, 1024-frame buffers at 48 kHz,
    // microphone access authorized.
    SimulatedAudioHardware();
    ~SimulatedAudioHardware() override;

    SimulatedAudioHardware(const SimulatedAudioHardware&) = delete;
    SimulatedAudioHardware& operator=(const SimulatedAudioHardware&) = delete;

    // The demonstration system: "Microfono simulato" (mono, speaking) as default input, "Altoparlanti
    // simulati" (stereo, carrying the other side of the call) as default output, real-time clock. The
    // environment variable QUILLORA_SIMULATED_FAULT set to "tap" or "aggregate" makes every creation of a
    // process tap or of an aggregate device fail with kAudioHardwareIllegalOperationError.
    // QUILLORA_SIMULATED_CALL set to "<application id>" adds a process of that application that uses the
    // microphone, as a call application would; "<application id>:<seconds>" stops it using the microphone
    // that many seconds after the system is made (the call ends).
    static std::unique_ptr<AudioHardware> makeDemo();

    // Devices. The first device with input streams becomes the default input, the first with output
    // streams the default output. Every change of a default, of the device list or of a device's
    // presence notifies the listeners of that property.
    AudioObjectID addDevice(DeviceConfig config);
    // Unplugs the device: it stays readable with alive = 0 but leaves the device list; a default that
    // pointed at it moves to the first other present device that qualifies, or to 0. Aggregates built
    // on it keep running with silence in its streams; its own IO procedures stop being called.
    void removeDevice(AudioObjectID device);
    // 0 clears the default. Returns false (and changes nothing) for an absent device.
    bool setDefaultInput(AudioObjectID device);
    bool setDefaultOutput(AudioObjectID device);
    void setInputSignal(AudioObjectID device, Signal signal);
    void setOutputSignal(AudioObjectID device, Signal signal);
    // A silent device's IO procedures, and those of every aggregate led by it, are no longer called.
    void setSilent(AudioObjectID device, bool silent);

    // Processes known to the audio system. An absent bundle id reads as "exists but holds no string".
    AudioObjectID addProcess(int32_t pid, std::optional<std::string> bundleID, bool runningInput);
    void setProcessRunningInput(AudioObjectID process, bool runningInput);
    void removeProcess(AudioObjectID process);
    // Whether this process has a process object (what translating getpid() finds). Visible by default.
    void setOwnProcessVisible(bool visible);

    // Applies to aggregates created afterwards.
    void setAggregateBehavior(AggregateBehavior behavior);

    // Fault injection. The operation succeeds `skip` more times, then fails with `status` `times` times
    // (negative: for ever). Replaces any earlier fault of that operation.
    void injectFault(Operation operation, OSStatus status, int skip = 0, int times = -1);
    void clearFaults();
    // Every read of `selector` on `object` (or on any object, with kAnyObject) fails with `status`.
    void setPropertyFailure(AudioObjectID object, AudioObjectPropertySelector selector,
                            OSStatus status = kAudioHardwareUnknownPropertyError);
    void clearPropertyFailures();
    // A stopped system answers every call with kAudioHardwareNotRunningError and calls no IO block.
    void setStopped(bool stopped);

    // Microphone authorization. A request while not determined answers `grantOnRequest` and records it.
    void setAuthorizationStatus(AVAuthorizationStatus status);
    void setGrantOnRequest(bool grant);

    // The clock.
    void setClockMode(ClockMode mode);
    // Takes effect for procedures started afterwards.
    void setBufferFrames(uint32_t frames);
    // The pace of the real-time clock and the rate of taps and of aggregates without a sub-device.
    void setClockRate(double rate);
    // Runs `cycles` more clock cycles and waits until they are done. In fast mode it grants them; in
    // real-time mode it only waits. Must not be called from an IO block.
    void runCycles(uint64_t cycles);
    // Fast mode: grants `cycles` more cycles and returns at once.
    void grantCycles(uint64_t cycles);
    uint64_t cyclesRun() const;

    // What the engine asked for, in call order, refused requests included.
    std::vector<CATapDescription> tapRequests() const;
    std::vector<AggregateDeviceDescription> aggregateRequests() const;
    int attempts(Operation operation) const;
    AudioObjectID lastTap() const;
    AudioObjectID lastAggregate() const;
    std::size_t liveTapCount() const;
    std::size_t liveAggregateCount() const;
    std::size_t ioProcCount() const;
    std::size_t runningIOProcCount() const;
    std::size_t listenerCount() const;
    int accessRequests() const;

    // AudioHardware
    std::string backendName() const override { return "simulated"; }
    OSStatus getPropertyDataSize(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                 uint32_t qualifierSize, const void* qualifier,
                                 uint32_t* outDataSize) override;
    OSStatus getPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                             uint32_t qualifierSize, const void* qualifier, uint32_t* ioDataSize,
                             void* outData) override;
    OSStatus getPropertyString(AudioObjectID object, const AudioObjectPropertyAddress& address,
                               std::optional<std::string>* outString) override;
    OSStatus createProcessTap(const CATapDescription& description, AudioObjectID* outTapID) override;
    OSStatus destroyProcessTap(AudioObjectID tapID) override;
    OSStatus createAggregateDevice(const AggregateDeviceDescription& description,
                                   AudioObjectID* outDeviceID) override;
    OSStatus destroyAggregateDevice(AudioObjectID deviceID) override;
    OSStatus createIOProcIDWithBlock(AudioObjectID deviceID, AudioDeviceIOBlock block,
                                     AudioDeviceIOProcID* outProcID) override;
    OSStatus deviceStart(AudioObjectID deviceID, AudioDeviceIOProcID procID) override;
    OSStatus deviceStop(AudioObjectID deviceID, AudioDeviceIOProcID procID) override;
    OSStatus destroyIOProcID(AudioObjectID deviceID, AudioDeviceIOProcID procID) override;
    OSStatus addPropertyListenerBlock(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                      AudioObjectPropertyListenerBlock listener,
                                      AudioObjectPropertyListenerID* outListenerID) override;
    OSStatus removePropertyListenerBlock(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                         AudioObjectPropertyListenerID listenerID) override;
    AVAuthorizationStatus authorizationStatus() override;
    void requestAccess(std::function<void(bool granted)> completion) override;

private:
    struct Device;
    struct Tap;
    struct Process;
    struct IOProc;
    struct Fault;
    struct Listeners;
    using Clock = std::chrono::steady_clock;

    // Property access, under mutex_. The value's bytes, or the failure status.
    OSStatus readProperty(AudioObjectID object, const AudioObjectPropertyAddress& address,
                          uint32_t qualifierSize, const void* qualifier, std::vector<unsigned char>& bytes);
    OSStatus readString(AudioObjectID object, const AudioObjectPropertyAddress& address,
                        std::optional<std::string>& string);
    std::optional<OSStatus> injectedPropertyFailure(AudioObjectID object,
                                                    AudioObjectPropertySelector selector) const;
    bool hasObject(AudioObjectID object) const;
    OSStatus consumeFault(Operation operation);

    std::vector<int> inputStreamsOf(const Device& device) const;
    bool isSilent(const Device& device) const;
    bool isRunning(AudioObjectID device) const;
    double nominalRateOf(const Device& device) const;
    AudioObjectID firstPresent(bool withInputs) const;
    void notify(AudioObjectID object, AudioObjectPropertySelector selector);
    void prepare(IOProc& proc);
    void fill(IOProc& proc);

    void clockLoop();
    void runCycle();

    mutable std::mutex mutex_; // the model; never held while an IO block runs
    // Held by the clock thread for a whole cycle; taken by whatever removes or re-buffers a procedure,
    // so that once deviceStop or destroyIOProcID returns its block is no longer running.
    std::recursive_mutex cycleMutex_;

    AudioObjectID nextObjectID_ = 2;
    AudioDeviceIOProcID nextProcID_ = 1;
    std::map<AudioObjectID, std::unique_ptr<Device>> devices_; // aggregates included
    std::map<AudioObjectID, Tap> taps_;
    std::map<AudioObjectID, Process> processes_;
    std::map<AudioDeviceIOProcID, std::shared_ptr<IOProc>> procs_;
    AudioObjectID defaultInput_ = kAudioObjectUnknown;
    AudioObjectID defaultOutput_ = kAudioObjectUnknown;
    AudioObjectID ownProcess_ = kAudioObjectUnknown;
    AudioObjectID lastTap_ = kAudioObjectUnknown;
    AudioObjectID lastAggregate_ = kAudioObjectUnknown;

    AggregateBehavior aggregateBehavior_;
    std::map<Operation, Fault> faults_;
    std::map<Operation, int> attempts_;
    std::map<std::pair<AudioObjectID, AudioObjectPropertySelector>, OSStatus> propertyFailures_;
    bool stopped_ = false;
    std::vector<CATapDescription> tapRequests_;
    std::vector<AggregateDeviceDescription> aggregateRequests_;

    AVAuthorizationStatus authorization_ = AVAuthorizationStatusAuthorized;
    bool grantOnRequest_ = true;
    int accessRequests_ = 0;
    std::vector<std::thread> accessThreads_;

    // Shared with queued listener deliveries, which must find out whether the listener (or this
    // whole object) is gone by the time the main thread runs them.
    std::shared_ptr<Listeners> listeners_;

    ClockMode clockMode_ = ClockMode::fast;
    uint32_t bufferFrames_ = 1024;
    double clockRate_ = 48000;
    uint64_t cyclesGranted_ = 0; // fast mode: cycles that may run, counted from the start
    uint64_t cyclesRun_ = 0;
    bool quitting_ = false;
    std::condition_variable clockWake_;  // the clock thread waits on it
    std::condition_variable cyclesDone_; // runCycles waits on it
    // The clock thread's list of procedures due in the current cycle; its capacity grows when a procedure
    // is created, so a cycle never allocates.
    std::vector<std::shared_ptr<IOProc>> due_;
    std::thread clockThread_;
};
