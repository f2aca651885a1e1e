#include "Platform/Audio/PipeWire/PropertyListeners.h"

#include <utility>
#include <vector>

namespace PipeWireBackend {

namespace {

constexpr AudioObjectPropertySelector kWildcard = fourCharCode("****");

} // namespace

AudioObjectPropertyListenerID PropertyListeners::add(AudioObjectID object,
                                                     const AudioObjectPropertyAddress& address,
                                                     AudioObjectPropertyListenerBlock block) {
    std::lock_guard lock(table_->mutex);
    const AudioObjectPropertyListenerID id = table_->next++;
    table_->entries.emplace(id, Entry{object, address, std::move(block)});
    return id;
}

bool PropertyListeners::remove(AudioObjectID object, const AudioObjectPropertyAddress& address,
                               AudioObjectPropertyListenerID id) {
    std::lock_guard lock(table_->mutex);
    const auto found = table_->entries.find(id);
    if (found == table_->entries.end() || found->second.object != object ||
        found->second.address.mSelector != address.mSelector) {
        return false;
    }
    table_->entries.erase(found);
    return true;
}

void PropertyListeners::deliver(AudioObjectID object, AudioObjectPropertySelector selector) {
    std::vector<std::pair<AudioObjectPropertyListenerID, AudioObjectPropertyAddress>> due;
    {
        std::lock_guard lock(table_->mutex);
        for (const auto& [id, entry] : table_->entries) {
            if (entry.object == object &&
                (entry.address.mSelector == selector || entry.address.mSelector == kWildcard)) {
                AudioObjectPropertyAddress address = entry.address;
                address.mSelector = selector;
                due.emplace_back(id, address);
            }
        }
    }
    const std::weak_ptr<Table> weak = table_;
    for (const auto& [id, address] : due) {
        // Bindings are copied by name: clang 14 cannot capture a structured binding.
        postToMainThread([weak, id = id, address = address] {
            const auto table = weak.lock();
            if (!table) {
                return;
            }
            AudioObjectPropertyListenerBlock block;
            {
                std::lock_guard lock(table->mutex);
                const auto found = table->entries.find(id);
                if (found == table->entries.end()) {
                    return;
                }
                block = found->second.block;
            }
            block(1, &address);
        });
    }
}

} // namespace PipeWireBackend
