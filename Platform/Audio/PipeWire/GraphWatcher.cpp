#include "Platform/Audio/PipeWire/GraphWatcher.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <string_view>

namespace PipeWireBackend {

namespace {

GlobalType globalTypeOf(const char* type) {
    const std::string_view name(type != nullptr ? type : "");
    if (name == PW_TYPE_INTERFACE_Node) {
        return GlobalType::node;
    }
    if (name == PW_TYPE_INTERFACE_Port) {
        return GlobalType::port;
    }
    if (name == PW_TYPE_INTERFACE_Link) {
        return GlobalType::link;
    }
    if (name == PW_TYPE_INTERFACE_Client) {
        return GlobalType::client;
    }
    if (name == PW_TYPE_INTERFACE_Metadata) {
        return GlobalType::metadata;
    }
    return GlobalType::other;
}

uint64_t serialOf(const Properties& props) {
    const auto found = props.find(std::string_view(PW_KEY_OBJECT_SERIAL));
    if (found == props.end()) {
        return 0;
    }
    uint64_t serial = 0;
    std::from_chars(found->second.data(), found->second.data() + found->second.size(), serial);
    return serial;
}

NodeState nodeStateOf(pw_node_state state) {
    switch (state) {
    case PW_NODE_STATE_ERROR:
        return NodeState::error;
    case PW_NODE_STATE_CREATING:
        return NodeState::creating;
    case PW_NODE_STATE_SUSPENDED:
        return NodeState::suspended;
    case PW_NODE_STATE_IDLE:
        return NodeState::idle;
    case PW_NODE_STATE_RUNNING:
        return NodeState::running;
    }
    return NodeState::unknown;
}

} // namespace

const pw_registry_events GraphWatcher::registryEvents = [] {
    pw_registry_events events{};
    events.version = PW_VERSION_REGISTRY_EVENTS;
    events.global = [](void* data, uint32_t id, uint32_t /*permissions*/, const char* type, uint32_t version,
                       const spa_dict* props) {
        static_cast<GraphWatcher*>(data)->onGlobal(id, type, version, props);
    };
    events.global_remove = [](void* data, uint32_t id) {
        static_cast<GraphWatcher*>(data)->onGlobalRemove(id);
    };
    return events;
}();

const pw_node_events GraphWatcher::nodeEvents = [] {
    pw_node_events events{};
    events.version = PW_VERSION_NODE_EVENTS;
    events.info = [](void* data, const pw_node_info* info) {
        auto* bound = static_cast<Bound*>(data);
        std::optional<NodeState> state;
        if ((info->change_mask & PW_NODE_CHANGE_MASK_STATE) != 0) {
            state = nodeStateOf(info->state);
        }
        std::optional<Properties> props;
        if ((info->change_mask & PW_NODE_CHANGE_MASK_PROPS) != 0) {
            props = toProperties(info->props);
        }
        if (!state && !props) {
            return;
        }
        bound->owner->cache_.nodeInfo(bound->globalId, bound->serial, props ? &*props : nullptr, state);
        bound->owner->onChange_();
    };
    return events;
}();

const pw_client_events GraphWatcher::clientEvents = [] {
    pw_client_events events{};
    events.version = PW_VERSION_CLIENT_EVENTS;
    events.info = [](void* data, const pw_client_info* info) {
        auto* bound = static_cast<Bound*>(data);
        if ((info->change_mask & PW_CLIENT_CHANGE_MASK_PROPS) == 0) {
            return;
        }
        bound->owner->cache_.clientInfo(bound->globalId, bound->serial, toProperties(info->props));
        bound->owner->onChange_();
    };
    return events;
}();

const pw_metadata_events GraphWatcher::metadataEvents = [] {
    pw_metadata_events events{};
    events.version = PW_VERSION_METADATA_EVENTS;
    events.property = [](void* data, uint32_t subject, const char* key, const char* /*type*/,
                         const char* value) -> int {
        auto* bound = static_cast<Bound*>(data);
        std::optional<std::string_view> text;
        if (value != nullptr) {
            text = value;
        }
        bound->owner->cache_.metadataProperty(bound->globalId, subject, key != nullptr ? key : "", text);
        bound->owner->onChange_();
        return 0;
    };
    return events;
}();

GraphWatcher::GraphWatcher(pw_core* core, RegistryCache& cache, std::function<void()> onChange)
    : cache_(cache), onChange_(std::move(onChange)) {
    registry_ =
        std::make_unique<ProxyHandle>(reinterpret_cast<pw_proxy*>(getRegistry(core)), ProxyHandle::Events{});
    if (*registry_) {
        addRegistryListener(reinterpret_cast<pw_registry*>(registry_->get()), registry_->objectHook(),
                            &registryEvents, this);
    }
}

GraphWatcher::~GraphWatcher() {
    bound_.clear();
    registry_.reset();
}

void GraphWatcher::onGlobal(uint32_t id, const char* type, uint32_t version, const spa_dict* dict) {
    Properties props = toProperties(dict);
    const uint64_t serial = serialOf(props);
    const GlobalType globalType = globalTypeOf(type);
    // A reused id whose removal we have not seen: the old binding is stale.
    bound_.erase(id);
    bool bindMetadata = false;
    if (globalType == GlobalType::metadata) {
        const auto name = props.find(std::string_view("metadata.name"));
        bindMetadata = name != props.end() && (name->second == "default" || name->second == "settings");
    }
    cache_.globalAdded(id, globalType, serial, std::move(props));
    switch (globalType) {
    case GlobalType::node:
        bind(id, serial, globalType, PW_TYPE_INTERFACE_Node, std::min<uint32_t>(version, PW_VERSION_NODE));
        break;
    case GlobalType::client:
        bind(id, serial, globalType, PW_TYPE_INTERFACE_Client,
             std::min<uint32_t>(version, PW_VERSION_CLIENT));
        break;
    case GlobalType::metadata:
        if (bindMetadata) {
            bind(id, serial, globalType, PW_TYPE_INTERFACE_Metadata,
                 std::min<uint32_t>(version, PW_VERSION_METADATA));
        }
        break;
    default:
        break;
    }
    onChange_();
}

void GraphWatcher::onGlobalRemove(uint32_t id) {
    bound_.erase(id);
    cache_.globalRemoved(id);
    onChange_();
}

void GraphWatcher::bind(uint32_t id, uint64_t serial, GlobalType type, const char* interface,
                        uint32_t version) {
    pw_proxy* proxy = bindGlobal(reinterpret_cast<pw_registry*>(registry_->get()), id, interface, version);
    if (proxy == nullptr) {
        return;
    }
    auto bound = std::make_unique<Bound>();
    bound->owner = this;
    bound->globalId = id;
    bound->serial = serial;
    bound->proxy = std::make_unique<ProxyHandle>(proxy, ProxyHandle::Events{});
    switch (type) {
    case GlobalType::node:
        addNodeListener(proxy, bound->proxy->objectHook(), &nodeEvents, bound.get());
        break;
    case GlobalType::client:
        addClientListener(proxy, bound->proxy->objectHook(), &clientEvents, bound.get());
        break;
    case GlobalType::metadata:
        addMetadataListener(proxy, bound->proxy->objectHook(), &metadataEvents, bound.get());
        break;
    default:
        break;
    }
    bound_[id] = std::move(bound);
}

} // namespace PipeWireBackend
