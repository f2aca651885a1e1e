#include "Platform/Audio/PipeWire/RegistryCache.h"

#include <spa/utils/json.h>

#include <algorithm>
#include <charconv>
#include <cstring>

namespace PipeWireBackend {

namespace {

std::string_view lookup(const Properties& props, std::string_view key) {
    const auto found = props.find(key);
    return found == props.end() ? std::string_view{} : std::string_view(found->second);
}

bool isTrue(std::string_view value) {
    return value == "true" || value == "1";
}

std::optional<int64_t> parseInteger(std::string_view text) {
    int64_t value = 0;
    const auto* end = text.data() + text.size();
    const auto [rest, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc{} || rest != end) {
        return std::nullopt;
    }
    return value;
}

std::optional<int32_t> parsePid(std::string_view text) {
    const auto value = parseInteger(text);
    if (!value || *value <= 0 || *value > INT32_MAX) {
        return std::nullopt;
    }
    return static_cast<int32_t>(*value);
}

// The rate in a "num/denom" value such as node.rate = "1/48000".
std::optional<double> rateFromFraction(std::string_view text) {
    const auto slash = text.find('/');
    if (slash == std::string_view::npos) {
        return std::nullopt;
    }
    const auto num = parseInteger(text.substr(0, slash));
    const auto denom = parseInteger(text.substr(slash + 1));
    if (!num || !denom || *num != 1 || *denom <= 0) {
        return std::nullopt;
    }
    return static_cast<double>(*denom);
}

std::string decodeJsonString(const char* token, int length) {
    std::string text(static_cast<std::size_t>(length) + 1, '\0');
    if (spa_json_parse_stringn(token, length, text.data(), length + 1) < 0) {
        return {};
    }
    text.resize(std::strlen(text.c_str()));
    return text;
}

} // namespace

std::optional<std::string> nodeNameFromJson(std::string_view json) {
    spa_json top;
    spa_json_init(&top, json.data(), json.size());
    spa_json object;
    if (spa_json_enter_object(&top, &object) <= 0) {
        return std::nullopt;
    }
    for (;;) {
        const char* keyToken = nullptr;
        const int keyLength = spa_json_next(&object, &keyToken);
        if (keyLength <= 0) {
            return std::nullopt;
        }
        const char* value = nullptr;
        int valueLength = spa_json_next(&object, &value);
        if (valueLength <= 0) {
            return std::nullopt;
        }
        const bool container = spa_json_is_container(value, valueLength);
        if (container) {
            valueLength = spa_json_container_len(&object, value, valueLength);
        }
        if (decodeJsonString(keyToken, keyLength) != "name") {
            continue;
        }
        if (container || spa_json_is_null(value, valueLength)) {
            return std::nullopt;
        }
        std::string name = decodeJsonString(value, valueLength);
        if (name.empty()) {
            return std::nullopt;
        }
        return name;
    }
}

// ----- Node -----

std::string_view Node::property(std::string_view key) const {
    return lookup(props, key);
}

bool Node::isDevice() const {
    return isSourceLike() || isSinkLike();
}

bool Node::isSourceLike() const {
    const std::string_view media = mediaClass();
    return media.starts_with("Audio/Source") || media == "Audio/Duplex";
}

bool Node::isSinkLike() const {
    const std::string_view media = mediaClass();
    return media.starts_with("Audio/Sink") || media == "Audio/Duplex";
}

// ----- events -----

void RegistryCache::globalAdded(uint32_t globalId, GlobalType type, uint64_t serial, Properties props) {
    if (globals_.contains(globalId)) {
        globalRemoved(globalId);
    }
    switch (type) {
    case GlobalType::node: {
        auto [idEntry, isNew] = objectIdBySerial_.try_emplace(serial, kAudioObjectUnknown);
        if (isNew) {
            idEntry->second = allocateObjectId();
        }
        Node node;
        node.globalId = globalId;
        node.serial = serial;
        node.objectId = idEntry->second;
        node.props = std::move(props);
        globalIdByObjectId_[node.objectId] = globalId;
        removedDevices_.erase(node.objectId);
        nodes_.emplace(globalId, std::move(node));
        break;
    }
    case GlobalType::port: {
        Port port;
        port.globalId = globalId;
        port.serial = serial;
        const auto nodeId = parseInteger(lookup(props, "node.id"));
        // A port of a node we do not know (already gone, or hidden from us) could later be attributed to
        // a new node that reuses the id: keep only ports of present nodes.
        if (!nodeId || !nodes_.contains(static_cast<uint32_t>(*nodeId))) {
            return;
        }
        port.nodeId = static_cast<uint32_t>(*nodeId);
        port.portId = static_cast<uint32_t>(parseInteger(lookup(props, "port.id")).value_or(0));
        port.direction =
            lookup(props, "port.direction") == "out" ? PortDirection::output : PortDirection::input;
        port.name = std::string(lookup(props, "port.name"));
        port.channel = std::string(lookup(props, "audio.channel"));
        port.monitor = isTrue(lookup(props, "port.monitor"));
        const std::string_view dsp = lookup(props, "format.dsp");
        port.audio = !isTrue(lookup(props, "port.control")) && dsp.find("midi") == std::string_view::npos &&
                     dsp.find("video") == std::string_view::npos;
        ports_.emplace(globalId, std::move(port));
        break;
    }
    case GlobalType::link: {
        Link link;
        link.globalId = globalId;
        link.outputNode = static_cast<uint32_t>(parseInteger(lookup(props, "link.output.node")).value_or(0));
        link.outputPort = static_cast<uint32_t>(parseInteger(lookup(props, "link.output.port")).value_or(0));
        link.inputNode = static_cast<uint32_t>(parseInteger(lookup(props, "link.input.node")).value_or(0));
        link.inputPort = static_cast<uint32_t>(parseInteger(lookup(props, "link.input.port")).value_or(0));
        links_.emplace(globalId, link);
        break;
    }
    case GlobalType::client:
        clients_.emplace(globalId, Client{globalId, serial, std::move(props)});
        break;
    case GlobalType::metadata:
        metadata_.emplace(globalId, Metadata{std::string(lookup(props, "metadata.name")), {}});
        break;
    case GlobalType::other:
        break;
    }
    globals_.emplace(globalId, type);
}

void RegistryCache::globalRemoved(uint32_t globalId) {
    const auto found = globals_.find(globalId);
    if (found == globals_.end()) {
        return;
    }
    const GlobalType type = found->second;
    globals_.erase(found);
    switch (type) {
    case GlobalType::node:
        removeNode(globalId);
        break;
    case GlobalType::port:
        removePort(globalId);
        break;
    case GlobalType::link:
        links_.erase(globalId);
        break;
    case GlobalType::client:
        clients_.erase(globalId);
        break;
    case GlobalType::metadata:
        metadata_.erase(globalId);
        break;
    case GlobalType::other:
        break;
    }
}

void RegistryCache::removeNode(uint32_t globalId) {
    const auto found = nodes_.find(globalId);
    if (found == nodes_.end()) {
        return;
    }
    const Node& node = found->second;
    if (node.isDevice()) {
        removedDevices_[node.objectId] = viewOf(node, false);
    }
    globalIdByObjectId_.erase(node.objectId);
    // Its ports may still be listed (their removal can come later): they go with the node.
    std::vector<uint32_t> orphans;
    for (const auto& [portId, port] : ports_) {
        if (port.nodeId == globalId) {
            orphans.push_back(portId);
        }
    }
    for (const uint32_t portId : orphans) {
        removePort(portId);
        globals_.erase(portId);
    }
    std::erase_if(links_, [globalId](const auto& entry) {
        return entry.second.outputNode == globalId || entry.second.inputNode == globalId;
    });
    nodes_.erase(found);
}

void RegistryCache::removePort(uint32_t globalId) {
    ports_.erase(globalId);
    std::erase_if(links_, [globalId](const auto& entry) {
        return entry.second.outputPort == globalId || entry.second.inputPort == globalId;
    });
}

void RegistryCache::nodeInfo(uint32_t globalId, uint64_t serial, const Properties* props,
                             std::optional<NodeState> state) {
    const auto found = nodes_.find(globalId);
    if (found == nodes_.end() || found->second.serial != serial) {
        return;
    }
    Node& node = found->second;
    if (props != nullptr) {
        node.props = *props;
    }
    if (state) {
        node.state = *state;
    }
}

void RegistryCache::clientInfo(uint32_t globalId, uint64_t serial, const Properties& props) {
    const auto found = clients_.find(globalId);
    if (found == clients_.end() || found->second.serial != serial) {
        return;
    }
    found->second.props = props;
}

void RegistryCache::metadataProperty(uint32_t metadataGlobalId, uint32_t subject, std::string_view key,
                                     std::optional<std::string_view> value) {
    const auto found = metadata_.find(metadataGlobalId);
    if (found == metadata_.end() || subject != 0) {
        return;
    }
    auto& values = found->second.values;
    if (key.empty()) {
        values.clear();
    } else if (!value) {
        if (const auto entry = values.find(key); entry != values.end()) {
            values.erase(entry);
        }
    } else {
        values.insert_or_assign(std::string(key), std::string(*value));
    }
}

void RegistryCache::clear() {
    for (const auto& [globalId, node] : nodes_) {
        if (node.isDevice()) {
            removedDevices_[node.objectId] = viewOf(node, false);
        }
    }
    globals_.clear();
    nodes_.clear();
    ports_.clear();
    links_.clear();
    clients_.clear();
    metadata_.clear();
    globalIdByObjectId_.clear();
}

void RegistryCache::addOwnNodeName(const std::string& name) {
    ownNodeNames_.insert(name);
}

void RegistryCache::removeOwnNodeName(const std::string& name) {
    ownNodeNames_.erase(name);
}

// ----- devices -----

std::vector<AudioObjectID> RegistryCache::devices() const {
    std::vector<AudioObjectID> ids;
    for (const auto& [globalId, node] : nodes_) {
        if (node.isDevice()) {
            ids.push_back(node.objectId);
        }
    }
    std::sort(ids.begin(), ids.end());
    return ids;
}

std::optional<DeviceView> RegistryCache::device(AudioObjectID objectId) const {
    if (const auto found = globalIdByObjectId_.find(objectId); found != globalIdByObjectId_.end()) {
        const Node& node = nodes_.at(found->second);
        if (node.isDevice()) {
            return viewOf(node, true);
        }
        return std::nullopt;
    }
    if (const auto removed = removedDevices_.find(objectId); removed != removedDevices_.end()) {
        return removed->second;
    }
    return std::nullopt;
}

DeviceView RegistryCache::viewOf(const Node& node, bool alive) const {
    DeviceView view;
    view.objectId = node.objectId;
    view.alive = alive;
    view.running = alive && node.state == NodeState::running;
    view.uid = std::string(node.name());
    for (const std::string_view key : {"node.description", "node.nick", "node.name"}) {
        if (const std::string_view value = node.property(key); !value.empty()) {
            view.name = std::string(value);
            break;
        }
    }
    view.nominalRate = graphRate();
    if (const auto rate = parseInteger(node.property("audio.rate")); rate && *rate > 0) {
        view.nominalRate = static_cast<double>(*rate);
    } else if (const auto fraction = rateFromFraction(node.property("node.rate"))) {
        view.nominalRate = *fraction;
    }
    view.inputStreams = streamsOf(node, DeviceDirection::input);
    view.outputStreams = streamsOf(node, DeviceDirection::output);
    return view;
}

std::vector<uint32_t> RegistryCache::streamsOf(const Node& node, DeviceDirection direction) const {
    const bool capturing = direction == DeviceDirection::input;
    if (capturing ? !node.isSourceLike() : !node.isSinkLike()) {
        return {};
    }
    // A source's captured channels are its output ports (a virtual source flags them as monitor ports,
    // so they all count); a duplex device's monitor ports mirror its playback side and do not.
    const bool skipMonitors = node.mediaClass() == "Audio/Duplex";
    uint32_t channels = 0;
    for (const Port* port :
         portsOf(node.globalId, capturing ? PortDirection::output : PortDirection::input)) {
        if (port->audio && !(skipMonitors && port->monitor)) {
            ++channels;
        }
    }
    if (channels == 0) {
        // Ports not listed yet: the node's declared layout.
        channels = static_cast<uint32_t>(
            std::max<int64_t>(0, parseInteger(node.property("audio.channels")).value_or(0)));
    }
    if (channels == 0) {
        return {};
    }
    return {channels};
}

const Node* RegistryCache::deviceNode(AudioObjectID objectId) const {
    const auto found = globalIdByObjectId_.find(objectId);
    if (found == globalIdByObjectId_.end()) {
        return nullptr;
    }
    const Node& node = nodes_.at(found->second);
    return node.isDevice() ? &node : nullptr;
}

const Node* RegistryCache::deviceByUid(std::string_view uid) const {
    const Node* best = nullptr;
    for (const auto& [globalId, node] : nodes_) {
        if (node.isDevice() && node.name() == uid && (best == nullptr || node.serial > best->serial)) {
            best = &node;
        }
    }
    return best;
}

AudioObjectID RegistryCache::defaultDevice(DeviceDirection direction) const {
    const bool input = direction == DeviceDirection::input;
    const auto value = metadataValue("default", input ? "default.audio.source" : "default.audio.sink");
    if (!value) {
        return kAudioObjectUnknown;
    }
    const auto name = nodeNameFromJson(*value);
    if (!name) {
        return kAudioObjectUnknown;
    }
    const Node* node = deviceByUid(*name);
    if (node == nullptr || (input ? !node->isSourceLike() : !node->isSinkLike())) {
        return kAudioObjectUnknown;
    }
    return node->objectId;
}

double RegistryCache::graphRate() const {
    for (const std::string_view key : {"clock.force-rate", "clock.rate"}) {
        if (const auto value = metadataValue("settings", key)) {
            if (const auto rate = parseInteger(*value); rate && *rate > 0) {
                return static_cast<double>(*rate);
            }
        }
    }
    return kFallbackRate;
}

std::optional<std::string_view> RegistryCache::metadataValue(std::string_view metadataName,
                                                             std::string_view key) const {
    for (const auto& [globalId, metadata] : metadata_) {
        if (metadata.name != metadataName) {
            continue;
        }
        if (const auto found = metadata.values.find(key); found != metadata.values.end()) {
            return std::string_view(found->second);
        }
    }
    return std::nullopt;
}

// ----- processes -----

AudioObjectID RegistryCache::processObject(int32_t pid) {
    if (pid <= 0) {
        return kAudioObjectUnknown;
    }
    auto [entry, isNew] = processByPid_.try_emplace(pid, kAudioObjectUnknown);
    if (isNew) {
        entry->second = allocateObjectId();
        pidByProcess_[entry->second] = pid;
    }
    return entry->second;
}

std::vector<AudioObjectID> RegistryCache::processesWithCaptureStreams() {
    std::set<AudioObjectID> ids;
    for (const auto& [globalId, node] : nodes_) {
        if (node.mediaClass() != "Stream/Input/Audio" || isOwnNode(node)) {
            continue;
        }
        if (const auto pid = pidOfNode(node)) {
            ids.insert(processObject(*pid));
        }
    }
    return {ids.begin(), ids.end()};
}

std::optional<int32_t> RegistryCache::pidOfProcess(AudioObjectID objectId) const {
    const auto found = pidByProcess_.find(objectId);
    if (found == pidByProcess_.end()) {
        return std::nullopt;
    }
    return found->second;
}

std::optional<ProcessView> RegistryCache::process(AudioObjectID objectId) const {
    const auto pid = pidOfProcess(objectId);
    if (!pid) {
        return std::nullopt;
    }
    ProcessView view;
    view.pid = *pid;
    // The identity comes from the node that shows the process best: a microphone capture, else any
    // capture stream, else any node, else one of its clients.
    int bestRank = 0;
    for (const auto& [globalId, node] : nodes_) {
        if (isOwnNode(node) || pidOfNode(node) != pid) {
            continue;
        }
        const bool capture = node.mediaClass() == "Stream/Input/Audio";
        const bool microphone = capture && isRunningMicrophoneCapture(node);
        view.runningInput = view.runningInput || microphone;
        const int rank = microphone ? 3 : capture ? 2 : 1;
        if (rank > bestRank) {
            if (auto bundle = bundleIdOf(node)) {
                view.bundleId = std::move(bundle);
                bestRank = rank;
            }
        }
    }
    if (!view.bundleId) {
        for (const auto& [globalId, client] : clients_) {
            const auto clientPid = parsePid(lookup(client.props, "application.process.id"));
            if (clientPid != pid) {
                continue;
            }
            for (const std::string_view key : {"pipewire.access.portal.app_id", "application.id",
                                               "application.process.binary", "application.name"}) {
                if (const std::string_view value = lookup(client.props, key); !value.empty()) {
                    view.bundleId = std::string(value);
                    break;
                }
            }
            if (view.bundleId) {
                break;
            }
        }
    }
    return view;
}

// ----- graph queries -----

const Node* RegistryCache::node(uint32_t globalId) const {
    const auto found = nodes_.find(globalId);
    return found == nodes_.end() ? nullptr : &found->second;
}

const Port* RegistryCache::port(uint32_t globalId) const {
    const auto found = ports_.find(globalId);
    return found == ports_.end() ? nullptr : &found->second;
}

std::vector<const Port*> RegistryCache::portsOf(uint32_t nodeGlobalId, PortDirection direction) const {
    std::vector<const Port*> result;
    for (const auto& [globalId, port] : ports_) {
        if (port.nodeId == nodeGlobalId && port.direction == direction) {
            result.push_back(&port);
        }
    }
    std::sort(result.begin(), result.end(),
              [](const Port* a, const Port* b) { return a->portId < b->portId; });
    return result;
}

const Port* RegistryCache::portNamed(uint32_t nodeGlobalId, PortDirection direction,
                                     std::string_view name) const {
    for (const auto& [globalId, port] : ports_) {
        if (port.nodeId == nodeGlobalId && port.direction == direction && port.name == name) {
            return &port;
        }
    }
    return nullptr;
}

const Client* RegistryCache::clientOf(const Node& node) const {
    const auto clientId = parseInteger(node.property("client.id"));
    if (!clientId) {
        return nullptr;
    }
    const auto found = clients_.find(static_cast<uint32_t>(*clientId));
    return found == clients_.end() ? nullptr : &found->second;
}

std::optional<int32_t> RegistryCache::pidOfNode(const Node& node) const {
    if (const auto pid = parsePid(node.property("application.process.id"))) {
        return pid;
    }
    const Client* client = clientOf(node);
    if (client == nullptr) {
        return std::nullopt;
    }
    if (const auto pid = parsePid(lookup(client->props, "application.process.id"))) {
        return pid;
    }
    // The protocol server's own pid stands on every client it serves: it says nothing of the application.
    if (lookup(client->props, "client.api") == "pipewire-pulse") {
        return std::nullopt;
    }
    return parsePid(lookup(client->props, "pipewire.sec.pid"));
}

std::optional<std::string> RegistryCache::bundleIdOf(const Node& node) const {
    const Client* client = clientOf(node);
    if (client != nullptr) {
        if (const std::string_view appId = lookup(client->props, "pipewire.access.portal.app_id");
            !appId.empty()) {
            return std::string(appId);
        }
    }
    for (const std::string_view key : {"application.id", "application.process.binary", "application.name"}) {
        if (const std::string_view value = node.property(key); !value.empty()) {
            return std::string(value);
        }
        if (client != nullptr) {
            if (const std::string_view value = lookup(client->props, key); !value.empty()) {
                return std::string(value);
            }
        }
    }
    return std::nullopt;
}

bool RegistryCache::isOwnNode(const Node& node) const {
    return ownNodeNames_.contains(node.name());
}

bool RegistryCache::isRunningMicrophoneCapture(const Node& node) const {
    if (node.mediaClass() != "Stream/Input/Audio" || node.state != NodeState::running || isOwnNode(node)) {
        return false;
    }
    // Recording what a speaker plays, or only metering levels, is not using the microphone.
    if (isTrue(node.property("stream.capture.sink")) || isTrue(node.property("stream.monitor")) ||
        isTrue(node.property("resample.peaks"))) {
        return false;
    }
    for (const auto& [globalId, link] : links_) {
        if (link.inputNode != node.globalId) {
            continue;
        }
        const Node* source = this->node(link.outputNode);
        if (source == nullptr || !source->isSourceLike()) {
            continue;
        }
        if (source->mediaClass() == "Audio/Duplex") {
            const auto port = ports_.find(link.outputPort);
            if (port == ports_.end() || port->second.monitor) {
                continue;
            }
        }
        return true;
    }
    return false;
}

bool RegistryCache::feedsASource(const Node& stream) const {
    for (const auto& [globalId, link] : links_) {
        if (link.outputNode != stream.globalId) {
            continue;
        }
        const Node* target = node(link.inputNode);
        if (target != nullptr && target->mediaClass().starts_with("Audio/Source")) {
            return true;
        }
    }
    return false;
}

// The playback side of a loopback, echo canceller, filter chain or effects chain replays what
// applications play into its virtual sink; tapping it as well would record each of them twice (and, behind
// an echo canceller, once more with a delay). PipeWire marks both sides of such a module with one
// node.link-group: a playback stream whose link group also holds a sink (an Audio/Sink node, or a capture
// stream reading a sink's monitor) only plays that sink's sound on. An effects node without a link group
// shows it by reading a sink's ports into the same node that plays. Streams that feed such a sink are
// applications' own and stay tapped (or excluded) by their process id: however many such sinks are
// stacked, each application is linked once, and an excluded one stays out.
bool RegistryCache::playsOnASink(const Node& stream) const {
    if (const std::string_view group = stream.property("node.link-group"); !group.empty()) {
        for (const auto& [globalId, other] : nodes_) {
            if (globalId == stream.globalId || other.property("node.link-group") != group) {
                continue;
            }
            if (other.mediaClass().starts_with("Audio/Sink") ||
                (other.mediaClass() == "Stream/Input/Audio" &&
                 isTrue(other.property("stream.capture.sink")))) {
                return true;
            }
        }
    }
    for (const auto& [globalId, link] : links_) {
        if (link.inputNode != stream.globalId) {
            continue;
        }
        const Node* source = node(link.outputNode);
        if (source != nullptr && source->mediaClass().starts_with("Audio/Sink")) {
            return true;
        }
    }
    return false;
}

} // namespace PipeWireBackend
