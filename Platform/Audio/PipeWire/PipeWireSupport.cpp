#include "Platform/Audio/PipeWire/PipeWireSupport.h"

#include <string>

// libpipewire's method calls are macros that cast in C style; they are confined to this file.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wold-style-cast"
#pragma GCC diagnostic ignored "-Wcast-align"
#if defined(__clang__)
#pragma GCC diagnostic ignored "-Wgnu-zero-variadic-macro-arguments"
#pragma GCC diagnostic ignored "-Wgnu-statement-expression"
#endif

namespace PipeWireBackend {

void SpaHook::remove() {
    if (hook_.link.prev != nullptr) {
        spa_hook_remove(&hook_);
    }
    hook_ = spa_hook{};
}

const pw_proxy_events ProxyHandle::proxyEvents = [] {
    pw_proxy_events events{};
    events.version = PW_VERSION_PROXY_EVENTS;
    events.destroy = [](void* data) {
        auto* self = static_cast<ProxyHandle*>(data);
        self->objectHook_.remove();
        self->proxyHook_.remove();
        self->proxy_ = nullptr;
    };
    events.removed = [](void* data) {
        auto* self = static_cast<ProxyHandle*>(data);
        if (self->events_.removed) {
            self->events_.removed();
        }
    };
    events.error = [](void* data, int /*seq*/, int res, const char* message) {
        auto* self = static_cast<ProxyHandle*>(data);
        if (self->events_.error) {
            self->events_.error(res, message);
        }
    };
    return events;
}();

ProxyHandle::ProxyHandle(pw_proxy* proxy, Events events) : proxy_(proxy), events_(std::move(events)) {
    if (proxy_ != nullptr) {
        pw_proxy_add_listener(proxy_, proxyHook_.get(), &proxyEvents, this);
    }
}

void ProxyHandle::reset() {
    if (proxy_ == nullptr) {
        return;
    }
    objectHook_.remove();
    proxyHook_.remove();
    pw_proxy* proxy = proxy_;
    proxy_ = nullptr;
    pw_proxy_destroy(proxy);
}

Properties toProperties(const spa_dict* dict) {
    Properties props;
    if (dict == nullptr) {
        return props;
    }
    for (uint32_t i = 0; i < dict->n_items; ++i) {
        const spa_dict_item& item = dict->items[i];
        if (item.key != nullptr) {
            props.insert_or_assign(item.key, item.value != nullptr ? item.value : "");
        }
    }
    return props;
}

PropertiesPtr makeProperties(std::initializer_list<std::pair<const char*, std::string>> entries) {
    PropertiesPtr props(pw_properties_new(nullptr, nullptr));
    for (const auto& [key, value] : entries) {
        pw_properties_set(props.get(), key, value.c_str());
    }
    return props;
}

void addCoreListener(pw_core* core, SpaHook& hook, const pw_core_events* events, void* data) {
    pw_core_add_listener(core, hook.get(), events, data);
}

pw_registry* getRegistry(pw_core* core) {
    return pw_core_get_registry(core, PW_VERSION_REGISTRY, 0);
}

void addRegistryListener(pw_registry* registry, SpaHook& hook, const pw_registry_events* events, void* data) {
    pw_registry_add_listener(registry, hook.get(), events, data);
}

pw_proxy* bindGlobal(pw_registry* registry, uint32_t id, const char* type, uint32_t version) {
    return static_cast<pw_proxy*>(pw_registry_bind(registry, id, type, version, 0));
}

void addNodeListener(pw_proxy* node, SpaHook& hook, const pw_node_events* events, void* data) {
    pw_node_add_listener(reinterpret_cast<pw_node*>(node), hook.get(), events, data);
}

void addClientListener(pw_proxy* client, SpaHook& hook, const pw_client_events* events, void* data) {
    pw_client_add_listener(reinterpret_cast<pw_client*>(client), hook.get(), events, data);
}

void addMetadataListener(pw_proxy* metadata, SpaHook& hook, const pw_metadata_events* events, void* data) {
    pw_metadata_add_listener(reinterpret_cast<pw_metadata*>(metadata), hook.get(), events, data);
}

int syncCore(pw_core* core, int seq) {
    return pw_core_sync(core, PW_ID_CORE, seq);
}

pw_proxy* createLink(pw_core* core, const pw_properties* props) {
    return static_cast<pw_proxy*>(pw_core_create_object(core, "link-factory", PW_TYPE_INTERFACE_Link,
                                                        PW_VERSION_LINK, &props->dict, 0));
}

spa_source* addLoopEvent(pw_loop* loop, void (*callback)(void* data, uint64_t count), void* data) {
    return pw_loop_add_event(loop, callback, data);
}

void signalLoopEvent(pw_loop* loop, spa_source* source) {
    pw_loop_signal_event(loop, source);
}

spa_source* addLoopTimer(pw_loop* loop, void (*callback)(void* data, uint64_t expirations), void* data) {
    return pw_loop_add_timer(loop, callback, data);
}

void armLoopTimer(pw_loop* loop, spa_source* timer, uint64_t delayNanoseconds) {
    timespec value{};
    value.tv_sec = static_cast<time_t>(delayNanoseconds / SPA_NSEC_PER_SEC);
    value.tv_nsec = static_cast<long>(delayNanoseconds % SPA_NSEC_PER_SEC);
    timespec interval{};
    pw_loop_update_timer(loop, timer, &value, &interval, false);
}

void destroyLoopSource(pw_loop* loop, spa_source* source) {
    pw_loop_destroy_source(loop, source);
}

int invokeOnLoop(pw_loop* loop, spa_invoke_func_t function, const void* data, std::size_t size,
                 void* userData) {
    return pw_loop_invoke(loop, function, 0, data, size, true, userData);
}

} // namespace PipeWireBackend

#pragma GCC diagnostic pop
