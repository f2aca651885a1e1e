#pragma once

// Owning handles for libpipewire objects, and plain functions for the library's macro-based calls (which
// expand to C casts that our warning settings reject; PipeWireSupport.cpp compiles them once).

#include "Platform/Audio/PipeWire/RegistryCache.h"

#include <pipewire/extensions/metadata.h>
#include <pipewire/filter.h>
#include <pipewire/pipewire.h>

#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>

namespace PipeWireBackend {

struct ThreadLoopDeleter {
    void operator()(pw_thread_loop* loop) const { pw_thread_loop_destroy(loop); }
};
struct ContextDeleter {
    void operator()(pw_context* context) const { pw_context_destroy(context); }
};
struct CoreDeleter {
    void operator()(pw_core* core) const { pw_core_disconnect(core); }
};
struct FilterDeleter {
    void operator()(pw_filter* filter) const { pw_filter_destroy(filter); }
};
struct PropertiesDeleter {
    void operator()(pw_properties* properties) const { pw_properties_free(properties); }
};

using ThreadLoopPtr = std::unique_ptr<pw_thread_loop, ThreadLoopDeleter>;
using ContextPtr = std::unique_ptr<pw_context, ContextDeleter>;
using CorePtr = std::unique_ptr<pw_core, CoreDeleter>;
using FilterPtr = std::unique_ptr<pw_filter, FilterDeleter>;
using PropertiesPtr = std::unique_ptr<pw_properties, PropertiesDeleter>;

// A listener registration, removed when it goes. Must go before the object it listens to.
class SpaHook {
public:
    SpaHook() = default;
    ~SpaHook() { remove(); }
    SpaHook(const SpaHook&) = delete;
    SpaHook& operator=(const SpaHook&) = delete;

    spa_hook* get() { return &hook_; }
    void remove();
    // For a hook whose list was cleaned up by its owner (pw_filter_destroy does): nothing left to unlink.
    void forget() { hook_ = spa_hook{}; }

private:
    spa_hook hook_{};
};

// A proxy we own, with its object listener (node info, metadata properties…). Should libpipewire destroy
// the proxy first (the core went away), both listeners are dropped then and nothing more happens.
class ProxyHandle {
public:
    struct Events {
        std::function<void()> removed;                           // the server object is gone
        std::function<void(int res, const char* message)> error; // the server refused a request on it
    };

    ProxyHandle() = default;
    ProxyHandle(pw_proxy* proxy, Events events);
    ~ProxyHandle() { reset(); }
    ProxyHandle(const ProxyHandle&) = delete;
    ProxyHandle& operator=(const ProxyHandle&) = delete;

    pw_proxy* get() const { return proxy_; }
    explicit operator bool() const { return proxy_ != nullptr; }
    // For the typed add_listener call of the bound interface.
    SpaHook& objectHook() { return objectHook_; }
    void reset();

private:
    static const pw_proxy_events proxyEvents;

    pw_proxy* proxy_ = nullptr;
    Events events_;
    SpaHook proxyHook_;
    SpaHook objectHook_;
};

// The thread loop's lock for the life of a scope (recursive).
class LoopLock {
public:
    explicit LoopLock(pw_thread_loop* loop) : loop_(loop) { pw_thread_loop_lock(loop_); }
    ~LoopLock() { pw_thread_loop_unlock(loop_); }
    LoopLock(const LoopLock&) = delete;
    LoopLock& operator=(const LoopLock&) = delete;

private:
    pw_thread_loop* loop_;
};

Properties toProperties(const spa_dict* dict);
PropertiesPtr makeProperties(std::initializer_list<std::pair<const char*, std::string>> entries);

// The library's macro calls.
void addCoreListener(pw_core* core, SpaHook& hook, const pw_core_events* events, void* data);
pw_registry* getRegistry(pw_core* core);
void addRegistryListener(pw_registry* registry, SpaHook& hook, const pw_registry_events* events, void* data);
pw_proxy* bindGlobal(pw_registry* registry, uint32_t id, const char* type, uint32_t version);
void addNodeListener(pw_proxy* node, SpaHook& hook, const pw_node_events* events, void* data);
void addClientListener(pw_proxy* client, SpaHook& hook, const pw_client_events* events, void* data);
void addMetadataListener(pw_proxy* metadata, SpaHook& hook, const pw_metadata_events* events, void* data);
int syncCore(pw_core* core, int seq);
pw_proxy* createLink(pw_core* core, const pw_properties* props);

spa_source* addLoopEvent(pw_loop* loop, void (*callback)(void* data, uint64_t count), void* data);
void signalLoopEvent(pw_loop* loop, spa_source* source);
spa_source* addLoopTimer(pw_loop* loop, void (*callback)(void* data, uint64_t expirations), void* data);
void armLoopTimer(pw_loop* loop, spa_source* timer, uint64_t delayNanoseconds);
void destroyLoopSource(pw_loop* loop, spa_source* source);
// Runs `function` on `loop`'s thread and waits for it (or runs it at once on that thread).
int invokeOnLoop(pw_loop* loop, spa_invoke_func_t function, const void* data, std::size_t size,
                 void* userData);

} // namespace PipeWireBackend
