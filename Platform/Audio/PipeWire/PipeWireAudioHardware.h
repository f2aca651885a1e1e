#pragma once

#include "Platform/Audio/AudioHardware.h"

#include <memory>

// The audio hardware layer over a PipeWire server (libpipewire, in-process).
//
// A thread loop keeps a cache of the server's graph (nodes, ports, links, clients, the "default" and
// "settings" metadata), so property reads need no round trip. Devices are Audio/Source and Audio/Sink
// nodes; a process tap is a rule (every application's playback except some processes) that an aggregate
// device carries out with links; an aggregate device is one capture node of ours whose real-time callback
// calls the IO blocks. Calls may come from any thread except PipeWire's own (an IO block must not call
// back in). If the server cannot be reached, every call answers kAudioHardwareNotRunningError and the
// connection is tried again, at most once a second, on later calls.
class PipeWireAudioHardware final : public AudioHardware {
public:
    PipeWireAudioHardware();
    ~PipeWireAudioHardware() override;
    PipeWireAudioHardware(const PipeWireAudioHardware&) = delete;
    PipeWireAudioHardware& operator=(const PipeWireAudioHardware&) = delete;

    // Whether the server answers now.
    bool isConnected();

    std::string backendName() const override { return "pipewire"; }
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
    struct Impl;
    std::unique_ptr<Impl> impl_;
};
