#pragma once

// Keeps a RegistryCache in step with the server: listens to the registry, binds nodes and clients for their
// full properties and state, and the "default" and "settings" metadata for their values. Runs on the
// loop thread; `onChange` is called after every change the cache saw.

#include "Platform/Audio/PipeWire/PipeWireSupport.h"
#include "Platform/Audio/PipeWire/RegistryCache.h"

#include <functional>
#include <map>
#include <memory>

namespace PipeWireBackend {

class GraphWatcher {
public:
    GraphWatcher(pw_core* core, RegistryCache& cache, std::function<void()> onChange);
    ~GraphWatcher();
    GraphWatcher(const GraphWatcher&) = delete;
    GraphWatcher& operator=(const GraphWatcher&) = delete;

private:
    struct Bound {
        GraphWatcher* owner = nullptr;
        uint32_t globalId = 0;
        uint64_t serial = 0;
        std::unique_ptr<ProxyHandle> proxy;
    };

    static const pw_registry_events registryEvents;
    static const pw_node_events nodeEvents;
    static const pw_client_events clientEvents;
    static const pw_metadata_events metadataEvents;

    void onGlobal(uint32_t id, const char* type, uint32_t version, const spa_dict* props);
    void onGlobalRemove(uint32_t id);
    void bind(uint32_t id, uint64_t serial, GlobalType type, const char* interface, uint32_t version);

    RegistryCache& cache_;
    std::function<void()> onChange_;
    std::unique_ptr<ProxyHandle> registry_;
    std::map<uint32_t, std::unique_ptr<Bound>> bound_;
};

} // namespace PipeWireBackend
