#pragma once

// The property listeners registered with the backend, and their delivery on the main thread.

#include "Platform/Audio/AudioHardware.h"

#include <map>
#include <memory>
#include <mutex>

namespace PipeWireBackend {

class PropertyListeners {
public:
    PropertyListeners() : table_(std::make_shared<Table>()) {}

    AudioObjectPropertyListenerID add(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                      AudioObjectPropertyListenerBlock block);
    // False when no such listener is registered for that object and selector.
    bool remove(AudioObjectID object, const AudioObjectPropertyAddress& address,
                AudioObjectPropertyListenerID id);
    // Queues a call of every listener of (object, selector) on the main thread; a listener removed before
    // its turn comes is not called, and none is called once this table is gone. Any thread.
    void deliver(AudioObjectID object, AudioObjectPropertySelector selector);

private:
    struct Entry {
        AudioObjectID object = kAudioObjectUnknown;
        AudioObjectPropertyAddress address;
        AudioObjectPropertyListenerBlock block;
    };
    struct Table {
        std::mutex mutex;
        std::map<AudioObjectPropertyListenerID, Entry> entries;
        AudioObjectPropertyListenerID next = 1;
    };

    // Shared with the queued deliveries, which hold it weakly.
    std::shared_ptr<Table> table_;
};

} // namespace PipeWireBackend
