#pragma once

// What the PipeWire backend knows about the server's graph: nodes, ports, links, clients and the
// metadata it cares about, fed by registry events and answered without a round trip.
//
// This type knows nothing of libpipewire: the connection translates registry, info and metadata events into
// the calls below (on the loop thread, under the loop lock), and tests feed synthetic sequences. Global
// ids are the server's and may be reused as soon as an object goes; every object is therefore also known
// by its object.serial, and the audio object ids handed to the engine are our own and never reused.

#include "Platform/Audio/AudioHardware.h"

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace PipeWireBackend {

using Properties = std::map<std::string, std::string, std::less<>>;

enum class GlobalType { node, port, link, client, metadata, other };
enum class NodeState { unknown, error, creating, suspended, idle, running };
enum class PortDirection { input, output };

struct Node {
    uint32_t globalId = 0;
    uint64_t serial = 0;
    AudioObjectID objectId = kAudioObjectUnknown;
    Properties props;
    NodeState state = NodeState::unknown;

    std::string_view property(std::string_view key) const;
    std::string_view mediaClass() const { return property("media.class"); }
    std::string_view name() const { return property("node.name"); }
    bool isDevice() const;
    bool isSourceLike() const; // captures: Audio/Source*, Audio/Duplex
    bool isSinkLike() const;   // plays: Audio/Sink*, Audio/Duplex
};

struct Port {
    uint32_t globalId = 0;
    uint64_t serial = 0;
    uint32_t nodeId = 0;
    uint32_t portId = 0; // the node-local index; orders a node's ports
    PortDirection direction = PortDirection::input;
    std::string name;    // port.name
    std::string channel; // audio.channel
    bool monitor = false;
    bool audio = true; // false for control and MIDI ports
};

struct Link {
    uint32_t globalId = 0;
    uint32_t outputNode = 0;
    uint32_t outputPort = 0;
    uint32_t inputNode = 0;
    uint32_t inputPort = 0;
};

struct Client {
    uint32_t globalId = 0;
    uint64_t serial = 0;
    Properties props;
};

enum class DeviceDirection { input, output };

// What the engine reads of a device, from the node's properties and ports.
struct DeviceView {
    AudioObjectID objectId = kAudioObjectUnknown;
    bool alive = false;
    bool running = false;
    std::string uid;
    std::string name;
    double nominalRate = 0;
    std::vector<uint32_t> inputStreams; // one entry per stream: its channel count
    std::vector<uint32_t> outputStreams;
};

struct ProcessView {
    int32_t pid = 0;
    std::optional<std::string> bundleId;
    bool runningInput = false;
};

// Reads a metadata value of the form {"name": "…"} (what "default.audio.source" holds).
std::optional<std::string> nodeNameFromJson(std::string_view json);

class RegistryCache {
public:
    static constexpr double kFallbackRate = 48000;

    // ----- events -----
    // A new global. A global id that is still present with another serial means the old object went
    // without us hearing of it: it is dropped first.
    void globalAdded(uint32_t globalId, GlobalType type, uint64_t serial, Properties props);
    void globalRemoved(uint32_t globalId);
    // The full properties and state of a bound node or client. Ignored when `serial` no longer matches
    // (a late event for an object whose id has been reused).
    void nodeInfo(uint32_t globalId, uint64_t serial, const Properties* props,
                  std::optional<NodeState> state);
    void clientInfo(uint32_t globalId, uint64_t serial, const Properties& props);
    // A metadata property of subject 0; an empty key clears them all, no value removes the key.
    void metadataProperty(uint32_t metadataGlobalId, uint32_t subject, std::string_view key,
                          std::optional<std::string_view> value);
    // The connection is gone: every server object goes; our own audio object ids stay used.
    void clear();

    // Nodes that belong to this program (our capture filters, by node.name): never a microphone user.
    void addOwnNodeName(const std::string& name);
    void removeOwnNodeName(const std::string& name);

    // ----- audio objects -----
    AudioObjectID allocateObjectId() { return nextObjectId_++; }

    std::vector<AudioObjectID> devices() const;
    // A present device, or one that was removed (alive = false, last known properties).
    std::optional<DeviceView> device(AudioObjectID objectId) const;
    AudioObjectID defaultDevice(DeviceDirection direction) const;
    // The node of a present device.
    const Node* deviceNode(AudioObjectID objectId) const;
    // The present device whose node.name is `uid` (the newest one if several claim it).
    const Node* deviceByUid(std::string_view uid) const;
    // The graph's rate: forced rate, else clock.rate, else 48000.
    double graphRate() const;

    // The process object of `pid`, made on first request (so a process can be excluded before it plays).
    AudioObjectID processObject(int32_t pid);
    // Processes with at least one capture stream (not ours), in object order.
    std::vector<AudioObjectID> processesWithCaptureStreams();
    std::optional<ProcessView> process(AudioObjectID objectId) const;
    std::optional<int32_t> pidOfProcess(AudioObjectID objectId) const;

    // ----- graph queries -----
    const Node* node(uint32_t globalId) const;
    const Port* port(uint32_t globalId) const;
    const std::map<uint32_t, Node>& nodes() const { return nodes_; }
    // A node's ports of one direction, in port order.
    std::vector<const Port*> portsOf(uint32_t nodeGlobalId, PortDirection direction) const;
    const Port* portNamed(uint32_t nodeGlobalId, PortDirection direction, std::string_view name) const;
    // application.process.id of the node, else of its client, else the server-checked pid of a native
    // client (a PulseAudio-protocol client's is the protocol server's own pid).
    std::optional<int32_t> pidOfNode(const Node& node) const;
    bool isOwnNode(const Node& node) const;
    // A capture stream currently reading a microphone (not a speaker's monitor, not a level meter).
    bool isRunningMicrophoneCapture(const Node& node) const;
    // Sources the stream feeds (a player standing in for a microphone) rather than speakers.
    bool feedsASource(const Node& stream) const;
    // A playback stream that only plays on the sound of a virtual sink (a loopback, echo canceller,
    // filter or effects chain): not an application of its own.
    bool playsOnASink(const Node& stream) const;

private:
    struct Metadata {
        std::string name;
        std::map<std::string, std::string, std::less<>> values;
    };

    const Client* clientOf(const Node& node) const;
    std::optional<std::string> bundleIdOf(const Node& node) const;
    std::optional<std::string_view> metadataValue(std::string_view metadataName, std::string_view key) const;
    std::vector<uint32_t> streamsOf(const Node& node, DeviceDirection direction) const;
    DeviceView viewOf(const Node& node, bool alive) const;
    void removeNode(uint32_t globalId);
    void removePort(uint32_t globalId);

    std::map<uint32_t, GlobalType> globals_;
    std::map<uint32_t, Node> nodes_;
    std::map<uint32_t, Port> ports_;
    std::map<uint32_t, Link> links_;
    std::map<uint32_t, Client> clients_;
    std::map<uint32_t, Metadata> metadata_;
    std::map<uint64_t, AudioObjectID> objectIdBySerial_;
    std::map<AudioObjectID, uint32_t> globalIdByObjectId_;
    // Last known state of devices that went away, so that they still answer "not alive".
    std::map<AudioObjectID, DeviceView> removedDevices_;
    std::map<int32_t, AudioObjectID> processByPid_;
    std::map<AudioObjectID, int32_t> pidByProcess_;
    std::set<std::string, std::less<>> ownNodeNames_;
    AudioObjectID nextObjectId_ = kAudioObjectSystemObject + 1;
};

} // namespace PipeWireBackend
