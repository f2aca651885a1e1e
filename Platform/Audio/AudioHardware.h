#pragma once

// The audio hardware layer the capture engine talks to. It is shaped like a classic object/property audio
// API: every object (the system, devices, taps, processes) has a 32-bit id, properties are addressed by a
// four-character selector, a scope and element 0, and every call returns an OSStatus (0 = success).
//
// Two backends implement it: PipeWire (what users run) and Simulated (deterministic, for tests and
// demos). One process-wide instance is chosen at start-up; the engine never sees which one it is.
//
// Which backend condition gives which status:
//
//   status                               PipeWire backend                           Simulated backend
//   kAudioHardwareNoError        0       success                                    success
//   kAudioHardwareUnspecifiedError 'what' a request the server refused, a capture   injected failure without
//   a
//                                        node that never appeared with its ports     status of its own
//   kAudioHardwareBadObjectError '!obj'  unknown object id (destroyed tap, aggregate unknown object id
//                                        or IO procedure; a tap uid no tap has). A
//                                        device that went away stays readable, with
//                                        livn and goin 0
//   kAudioHardwareUnknownPropertyError 'who?' the object has no such property       same; also "unreadable"
//                                        (e.g. a sink asked for its input streams     properties injected by
//                                        tests is NOT this: it has zero streams)
//   kAudioHardwareBadPropertySizeError '!siz' caller's buffer too small, or a         same
//                                        qualifier of the wrong size
//   kAudioHardwareIllegalOperationError 'nope' operation not allowed in the current  tap or aggregate refused
//                                        state (starting an aggregate whose node     (default refusal status)
//                                        went with a lost connection, a uid already
//                                        in use, a missing out-parameter)
//   kAudioHardwareNotRunningError 'stop' no connection to the server (never reached the system was "stopped"
//                                        or lost; tried again at most once a second)

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

using AudioObjectID = uint32_t;
using OSStatus = int32_t;
using AudioObjectPropertySelector = uint32_t;
using AudioObjectPropertyScope = uint32_t;
using AudioObjectPropertyElement = uint32_t;

// 'abcd' as the big-endian 32-bit value the audio API uses for selectors, scopes and statuses.
constexpr uint32_t fourCharCode(const char (&code)[5]) {
    return (static_cast<uint32_t>(static_cast<unsigned char>(code[0])) << 24) |
           (static_cast<uint32_t>(static_cast<unsigned char>(code[1])) << 16) |
           (static_cast<uint32_t>(static_cast<unsigned char>(code[2])) << 8) |
           static_cast<uint32_t>(static_cast<unsigned char>(code[3]));
}

// Statuses
inline constexpr OSStatus kAudioHardwareNoError = 0;
inline constexpr OSStatus kAudioHardwareUnspecifiedError = static_cast<OSStatus>(fourCharCode("what"));
inline constexpr OSStatus kAudioHardwareBadObjectError = static_cast<OSStatus>(fourCharCode("!obj"));
inline constexpr OSStatus kAudioHardwareUnknownPropertyError = static_cast<OSStatus>(fourCharCode("who?"));
inline constexpr OSStatus kAudioHardwareBadPropertySizeError = static_cast<OSStatus>(fourCharCode("!siz"));
inline constexpr OSStatus kAudioHardwareIllegalOperationError = static_cast<OSStatus>(fourCharCode("nope"));
inline constexpr OSStatus kAudioHardwareNotRunningError = static_cast<OSStatus>(fourCharCode("stop"));

// Objects
inline constexpr AudioObjectID kAudioObjectUnknown = 0;
inline constexpr AudioObjectID kAudioObjectSystemObject = 1;

// Scopes and elements
inline constexpr AudioObjectPropertyScope kAudioObjectPropertyScopeGlobal = fourCharCode("glob");
inline constexpr AudioObjectPropertyScope kAudioDevicePropertyScopeInput = fourCharCode("inpt");
inline constexpr AudioObjectPropertyScope kAudioDevicePropertyScopeOutput = fourCharCode("outp");
inline constexpr AudioObjectPropertyElement kAudioObjectPropertyElementMain = 0;

// Selectors of the system object
inline constexpr AudioObjectPropertySelector kAudioHardwarePropertyDevices = fourCharCode("dev#");
inline constexpr AudioObjectPropertySelector kAudioHardwarePropertyDefaultInputDevice = fourCharCode("dIn ");
inline constexpr AudioObjectPropertySelector kAudioHardwarePropertyDefaultOutputDevice = fourCharCode("dOut");
inline constexpr AudioObjectPropertySelector kAudioHardwarePropertyProcessObjectList = fourCharCode("prs#");
inline constexpr AudioObjectPropertySelector kAudioHardwarePropertyTranslatePIDToProcessObject =
    fourCharCode("id2p");
inline constexpr AudioObjectPropertySelector kAudioHardwarePropertyTapList = fourCharCode("tps#");

// Selectors of devices (aggregates included) and of every object
inline constexpr AudioObjectPropertySelector kAudioObjectPropertyName = fourCharCode("lnam");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyDeviceUID = fourCharCode("uid ");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyNominalSampleRate = fourCharCode("nsrt");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyDeviceIsRunning = fourCharCode("goin");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyDeviceIsAlive = fourCharCode("livn");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyStreamConfiguration = fourCharCode("slay");

// Selectors of taps
inline constexpr AudioObjectPropertySelector kAudioTapPropertyUID = fourCharCode("tuid");
inline constexpr AudioObjectPropertySelector kAudioTapPropertyFormat = fourCharCode("tfmt");

// Selectors of process objects
inline constexpr AudioObjectPropertySelector kAudioProcessPropertyPID = fourCharCode("ppid");
inline constexpr AudioObjectPropertySelector kAudioProcessPropertyBundleID = fourCharCode("pbid");
inline constexpr AudioObjectPropertySelector kAudioProcessPropertyIsRunningInput = fourCharCode("piri");

// Format ids
inline constexpr uint32_t kAudioFormatLinearPCM = fourCharCode("lpcm");
inline constexpr uint32_t kAudioFormatFlagIsFloat = 1u << 0;
inline constexpr uint32_t kAudioFormatFlagIsPacked = 1u << 3;

struct AudioObjectPropertyAddress {
    AudioObjectPropertySelector mSelector = 0;
    AudioObjectPropertyScope mScope = kAudioObjectPropertyScopeGlobal;
    AudioObjectPropertyElement mElement = kAudioObjectPropertyElementMain;

    bool operator==(const AudioObjectPropertyAddress&) const = default;
};

struct AudioStreamBasicDescription {
    double mSampleRate = 0;
    uint32_t mFormatID = 0;
    uint32_t mFormatFlags = 0;
    uint32_t mBytesPerPacket = 0;
    uint32_t mFramesPerPacket = 0;
    uint32_t mBytesPerFrame = 0;
    uint32_t mChannelsPerFrame = 0;
    uint32_t mBitsPerChannel = 0;
    uint32_t mReserved = 0;
};
static_assert(sizeof(AudioStreamBasicDescription) == 40);

// One stream's samples: interleaved 32-bit float, mNumberChannels per frame.
struct AudioBuffer {
    uint32_t mNumberChannels = 0;
    uint32_t mDataByteSize = 0;
    void* mData = nullptr;
};

// Variable-length: mNumberBuffers entries follow; allocate audioBufferListSize(n) bytes for n buffers.
struct AudioBufferList {
    uint32_t mNumberBuffers = 0;
    AudioBuffer mBuffers[1];
};

constexpr std::size_t audioBufferListSize(uint32_t numberBuffers) {
    return offsetof(AudioBufferList, mBuffers) +
           sizeof(AudioBuffer) * (numberBuffers == 0 ? 1 : numberBuffers);
}

struct AudioTimeStamp {
    double mSampleTime = 0; // frames since the device started
    uint64_t mHostTime = 0; // CLOCK_MONOTONIC nanoseconds
    // Frames per second of the cycle that produced the block: the graph may change rate while a device
    // runs (a stream comes or goes, a device is swapped). 0 when the backend does not say; the device's
    // nominal rate then holds.
    double mSampleRate = 0;
};

// A process tap: every application's playback mixed to stereo, except the listed process objects.
struct CATapDescription {
    enum MuteBehavior : int32_t { unmuted = 0, muted = 1, mutedWhenTapped = 2 };

    std::vector<AudioObjectID> processes; // process objects (not pids) to leave out
    bool exclusive = true;                // true: all processes except `processes`
    bool mixdownStereo = true;
    std::string uuid; // upper-case canonical UUID text
    std::string name;
    MuteBehavior muteBehavior = unmuted;
    bool isPrivate = false;

    static CATapDescription stereoGlobalTapButExcludeProcesses(std::vector<AudioObjectID> excluded) {
        CATapDescription description;
        description.processes = std::move(excluded);
        return description;
    }
};

// The aggregate description dictionary, one field per key. An empty `taps` or `subdevices` and an absent
// optional mean "key absent".
struct AggregateDeviceDescription {
    struct SubTap {
        std::string uid;
        bool drift = false;
    };
    struct SubDevice {
        std::string uid;
    };

    std::string name;
    std::string uid;
    bool isPrivate = false;
    std::optional<bool> stacked;
    std::optional<bool> tapAutoStart;
    std::vector<SubTap> taps;
    std::optional<std::string> master; // the clock source's device UID
    std::vector<SubDevice> subdevices;
};

// Called on the real-time thread once per cycle. `inputData` holds one buffer per input stream, in the
// device's stream order. Must not allocate, block or log (the engine's first-block line excepted).
using AudioDeviceIOBlock = std::function<void(const AudioTimeStamp* now, const AudioBufferList* inputData,
                                              const AudioTimeStamp* inputTime, AudioBufferList* outputData,
                                              const AudioTimeStamp* outputTime)>;
using AudioDeviceIOProcID = uint64_t; // 0 = none

// Delivered on the main thread (the Qt event loop) after the property changed.
using AudioObjectPropertyListenerBlock =
    std::function<void(uint32_t numberAddresses, const AudioObjectPropertyAddress* addresses)>;
using AudioObjectPropertyListenerID = uint64_t; // 0 = none

enum AVAuthorizationStatus : int32_t {
    AVAuthorizationStatusNotDetermined = 0,
    AVAuthorizationStatusRestricted = 1,
    AVAuthorizationStatusDenied = 2,
    AVAuthorizationStatusAuthorized = 3,
};

class AudioHardware {
public:
    virtual ~AudioHardware() = default;

    // The process-wide instance. The first call picks the backend: Simulated when the environment variable
    // QUILLORA_AUDIO_BACKEND is "simulated", otherwise PipeWire.
    static AudioHardware& shared();
    // Replaces the process-wide instance (start-up code and tests). Not thread-safe against users of the
    // previous instance.
    static void setShared(std::unique_ptr<AudioHardware> hardware);
    // The backend's name: "pipewire" or "simulated".
    virtual std::string backendName() const = 0;

    // Properties. `qualifier` may be null with size 0. For variable-length properties ask the size first.
    virtual OSStatus getPropertyDataSize(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                         uint32_t qualifierSize, const void* qualifier,
                                         uint32_t* outDataSize) = 0;
    // On entry *ioDataSize is the buffer's size; on return the bytes written.
    virtual OSStatus getPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                     uint32_t qualifierSize, const void* qualifier, uint32_t* ioDataSize,
                                     void* outData) = 0;
    // String-valued properties (names, UIDs, bundle ids). Success with *outString left empty (nullopt) means
    // the property exists but holds no string.
    virtual OSStatus getPropertyString(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                       std::optional<std::string>* outString) = 0;

    // Process taps
    virtual OSStatus createProcessTap(const CATapDescription& description, AudioObjectID* outTapID) = 0;
    virtual OSStatus destroyProcessTap(AudioObjectID tapID) = 0;

    // Aggregate devices: input streams are the leading sub-device's first, then each tap's.
    virtual OSStatus createAggregateDevice(const AggregateDeviceDescription& description,
                                           AudioObjectID* outDeviceID) = 0;
    virtual OSStatus destroyAggregateDevice(AudioObjectID deviceID) = 0;

    // IO procedures
    virtual OSStatus createIOProcIDWithBlock(AudioObjectID deviceID, AudioDeviceIOBlock block,
                                             AudioDeviceIOProcID* outProcID) = 0;
    virtual OSStatus deviceStart(AudioObjectID deviceID, AudioDeviceIOProcID procID) = 0;
    virtual OSStatus deviceStop(AudioObjectID deviceID, AudioDeviceIOProcID procID) = 0;
    virtual OSStatus destroyIOProcID(AudioObjectID deviceID, AudioDeviceIOProcID procID) = 0;

    // Property listeners, delivered on the main thread.
    virtual OSStatus addPropertyListenerBlock(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                              AudioObjectPropertyListenerBlock listener,
                                              AudioObjectPropertyListenerID* outListenerID) = 0;
    virtual OSStatus removePropertyListenerBlock(AudioObjectID object,
                                                 const AudioObjectPropertyAddress& address,
                                                 AudioObjectPropertyListenerID listenerID) = 0;

    // Microphone authorization. The completion runs once, on any thread but the main one, and must not
    // need the main thread to have run.
    virtual AVAuthorizationStatus authorizationStatus() = 0;
    virtual void requestAccess(std::function<void(bool granted)> completion) = 0;
};

// Runs `task` on the main thread's event loop (queued). Used by backends to deliver listener blocks.
void postToMainThread(std::function<void()> task);
