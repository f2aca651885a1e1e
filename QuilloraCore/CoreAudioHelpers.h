#pragma once

#include "Platform/Audio/AudioHardware.h"

#include <cstdint>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

// A failed audio-system operation: what we tried (in Italian, shown to the user as is) and the status
// code the audio layer returned.
class CoreAudioError : public std::exception {
public:
    CoreAudioError(std::string operation, int32_t status);

    const std::string& operation() const { return operation_; }
    int32_t status() const { return status_; }

    // operation + " non riuscito (OSStatus " + status + " " + fourCC(status) + ")"
    const std::string& errorDescription() const { return description_; }
    const char* what() const noexcept override { return description_.c_str(); }

    // The status as a quoted four-character code when all four bytes are printable, else "".
    static std::string fourCC(int32_t status);

private:
    std::string operation_;
    int32_t status_;
    std::string description_;
};

// The property reads of the engine, each turning a failure into a CoreAudioError. They go to
// AudioHardware::shared().
namespace CoreAudio {

// A fixed-size property (element 0), read into a value that starts as `initial`.
// Throws with the operation "Lettura proprietà " + the selector in unsigned decimal.
template <class T>
T value(AudioObjectID object, AudioObjectPropertySelector selector, AudioObjectPropertyScope scope,
        T initial) {
    static_assert(std::is_trivially_copyable_v<T>, "only plain values can be read as raw bytes");
    const AudioObjectPropertyAddress address{selector, scope, kAudioObjectPropertyElementMain};
    T result = initial;
    uint32_t size = sizeof(T);
    const OSStatus status =
        AudioHardware::shared().getPropertyData(object, address, 0, nullptr, &size, &result);
    if (status != kAudioHardwareNoError) {
        throw CoreAudioError("Lettura proprietà " + std::to_string(selector), status);
    }
    return result;
}

// A string property of the global scope. A read that succeeds without a string fails with 'what'.
std::string string(AudioObjectID object, AudioObjectPropertySelector selector);

// The channel count of each input stream of a device, in stream order; empty for a device without inputs.
std::vector<int> inputStreamChannels(AudioObjectID device);

// The audio process object of a process id; 0 when the audio system does not know the process.
AudioObjectID processObject(int32_t pid);

} // namespace CoreAudio
