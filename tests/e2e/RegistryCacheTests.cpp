// The PipeWire backend's view of the graph, fed with synthetic registry events (no server).

#include "Platform/Audio/PipeWire/CaptureRouting.h"
#include "Platform/Audio/PipeWire/RegistryCache.h"

#include <gtest/gtest.h>

#include <iterator>
#include <sstream>
#include <string>
#include <tuple>

using namespace PipeWireBackend;

namespace {

// Feeds a cache as the connection does (growing serials), from statements split by ';' (ports as in `kinds`):
//   source|sink|capture|playback|mono|ours|node ID [NAME]: ports at ID+1…; node: the given keys only
//   port ID NODE in|out CHANNEL [monitor];  link OUTPORT INPORT;  client ID;  remove ID
//   metadata ID NAME [subject=N]: KEY=VALUE sets a key, a lone KEY removes it
// Other words are properties (`aliases`); state=idle|running (else streams run, devices are suspended).
class Graph {
public:
    RegistryCache cache;

    explicit Graph(std::string_view description = {}) { add(description); }
    void add(std::string_view description) {
        std::istringstream statements{std::string(description)};
        for (std::string statement; std::getline(statements, statement, ';');) {
            std::istringstream in(statement);
            const std::vector<std::string> words{std::istream_iterator<std::string>(in), {}};
            if (!words.empty()) {
                apply(words[0], static_cast<uint32_t>(std::stoul(words.at(1))), words);
            }
        }
    }
    AudioObjectID objectOf(uint32_t globalId) const {
        const Node* node = cache.node(globalId);
        return node == nullptr ? kAudioObjectUnknown : node->objectId;
    }

private:
    void apply(const std::string& kind, uint32_t id, const std::vector<std::string>& words) {
        static const std::map<std::string, std::string> aliases = {{"class", "media.class"},
                                                                   {"client", "client.id"},
                                                                   {"group", "node.link-group"},
                                                                   {"pid", "application.process.id"}};
        Properties props;
        std::vector<std::string> plain;
        for (std::size_t w = 2; w < words.size(); ++w) { // (clang 14 cannot compile libstdc++ 12's views)
            const auto equals = words[w].find('=');
            const std::string key = words[w].substr(0, equals);
            if (equals == std::string::npos) {
                plain.push_back(key);
            } else {
                props[aliases.contains(key) ? aliases.at(key) : key] = words[w].substr(equals + 1);
            }
        }
        const auto take = [&](const char* k) { return props.contains(k) ? props.extract(k).mapped() : ""; };
        const uint64_t serial = nextSerial_++;
        if (kind == "remove") {
            cache.globalRemoved(id);
        } else if (kind == "port") {
            port(id, plain.at(0), id, plain.at(1), plain.at(2), plain.size() > 3);
        } else if (kind == "link") {
            const auto node = [&](auto p) { return std::to_string(cache.port(std::stoul(p))->nodeId); };
            Properties link{{"link.output.node", node(words[1])}, {"link.output.port", words[1]}};
            link.insert({{"link.input.node", node(plain.at(0))}, {"link.input.port", plain.at(0)}});
            cache.globalAdded(nextLink_++, GlobalType::link, serial, link);
        } else if (kind == "client") {
            cache.globalAdded(id, GlobalType::client, serial, {});
            cache.clientInfo(id, serial, props);
        } else if (kind == "metadata") {
            cache.globalAdded(id, GlobalType::metadata, serial, {{"metadata.name", plain.at(0)}});
            const std::string subject = take("subject");
            for (const auto& [key, value] : props) {
                cache.metadataProperty(id, subject.empty() ? 0 : std::stoul(subject), key, value);
            }
            for (std::size_t k = 1; k < plain.size(); ++k) {
                cache.metadataProperty(id, 0, plain[k], std::nullopt);
            }
        } else {
            node(kind, id, serial, props, take("state"), plain.empty() ? "" : plain[0]);
        }
    }
    void node(const std::string& kind, uint32_t id, uint64_t serial, Properties props,
              const std::string& state, std::string name) {
        static const std::map<std::string, std::pair<std::string, std::vector<std::string>>> kinds = {
            {"source", {"Audio/Source", {"out MONO"}}},
            {"sink", {"Audio/Sink", {"in FL", "in FR", "monitor FL", "monitor FR"}}},
            {"capture", {"Stream/Input/Audio", {"in MONO"}}},
            {"playback", {"Stream/Output/Audio", {"out FL", "out FR"}}},
            {"mono", {"Stream/Output/Audio", {"out MONO"}}},
            {"ours", {"Stream/Input/Audio", {"in MONO", "in FL", "in FR"}}},
            {"node", {"", {}}}};
        if (kind == "ours") {
            cache.addOwnNodeName(name = "quillora-capture");
        }
        props.try_emplace("media.class", kinds.at(kind).first);
        if (!name.empty()) {
            props.try_emplace("node.name", name);
        }
        props["object.serial"] = std::to_string(serial);
        cache.globalAdded(id, GlobalType::node, serial, props);
        const bool runs = state.empty() ? props["media.class"].starts_with("Stream/") : state == "running";
        const NodeState idle = state == "idle" ? NodeState::idle : NodeState::suspended;
        cache.nodeInfo(id, serial, &props, runs ? NodeState::running : idle);
        const std::vector<std::string>& ports = kinds.at(kind).second;
        for (uint32_t i = 0; i < ports.size(); ++i) {
            const std::string direction = ports[i].substr(0, ports[i].find(' '));
            port(id + 1 + i, std::to_string(id), i, direction == "monitor" ? "out" : direction,
                 ports[i].substr(ports[i].find(' ') + 1), direction == "monitor");
        }
    }
    void port(uint32_t id, const std::string& node, uint32_t index, const std::string& direction,
              const std::string& channel, bool monitor) {
        Properties props{{"node.id", node}, {"port.id", std::to_string(index)}, {"audio.channel", channel}};
        props.insert({{"port.direction", direction}, {"port.name", direction + "_" + channel}});
        props["port.monitor"] = monitor ? "true" : "false";
        cache.globalAdded(id, GlobalType::port, nextSerial_++, props);
    }

    uint64_t nextSerial_ = 100;
    uint32_t nextLink_ = 900;
};

// What the engine reads of a device: "NAME in=[…] out=[…] RATE Hz running|suspended", or "no device".
std::string describe(const std::optional<DeviceView>& device) {
    if (!device) {
        return "no device";
    }
    const auto streams = [](const std::vector<uint32_t>& list) { // a device has one stream at most
        return "[" + (list.empty() ? "" : std::to_string(list[0])) + (list.size() > 1 ? ",…" : "") + "]";
    };
    return device->name + " in=" + streams(device->inputStreams) + " out=" + streams(device->outputStreams) +
           " " + std::to_string(static_cast<int>(device->nominalRate)) + " Hz " +
           (device->running ? "running" : "suspended");
}

struct Plan {
    std::set<int32_t> pids = {}; // left out, or the only ones with includeOnly
    bool includeOnly = false;
    std::string leading = "mic1";
};

std::set<PortPair> links(const Graph& graph, const Plan& plan) {
    return planCaptureLinks(
        graph.cache, {90, plan.leading, {"in_MONO"}, {{plan.includeOnly, plan.pids, "in_FL", "in_FR"}}});
}

} // namespace

TEST(PipeWireCacheDevices, NameStreamsRateAndStateAsTheEngineReadsThem) {
    const std::pair<const char*, const char*> cases[] = {
        // the graph (a device is node 40), what it reads
        {"metadata 5 settings clock.rate=96000; source 40 mic1 node.description=Mic node.nick=M",
         "Mic in=[1] out=[] 96000 Hz suspended"},
        {"sink 40 spk1 audio.rate=44100", "spk1 in=[] out=[2] 44100 Hz suspended"}, // monitors are no input
        // No ports yet: the declared channels.
        {"node 40 class=Audio/Source node.name=usb node.nick=USB audio.channels=2 node.rate=1/44100 "
         "state=running",
         "USB in=[2] out=[] 44100 Hz running"},
        {"source 40 mic1", "mic1 in=[1] out=[] 48000 Hz suspended"},
        {"capture 40", "no device"},
    };
    for (const auto& [description, expected] : cases) {
        const Graph graph(description);
        EXPECT_EQ(describe(graph.cache.device(graph.objectOf(40))), expected) << description;
        EXPECT_EQ(graph.cache.devices().size(), std::string(expected) == "no device" ? 0u : 1u)
            << description;
    }
    Graph cleared("metadata 5 settings clock.rate=96000");
    cleared.cache.metadataProperty(5, 0, "", std::nullopt); // an empty key clears every key
    EXPECT_EQ(cleared.cache.graphRate(), 48000);
}

TEST(PipeWireCacheDevices, DefaultsFollowTheMetadataAndTheNodes) {
    // The "default" metadata's keys, and the default microphone and speaker they give (0: none).
    const std::tuple<const char*, uint32_t, uint32_t> cases[] = {
        // JSON whose top level names the node; PipeWire's relaxed syntax
        {R"(default.audio.source={"other":[1,{"name":"x"}],"name":"mic2"} default.audio.sink={name=spk1})",
         42, 50},
        {"", 0, 0},
        {R"(subject=77 default.audio.source={"name":"mic2"})", 0, 0},           // a per-stream target
        {R"(default.audio.source={"name":"mic2"} default.audio.source)", 0, 0}, // removed
        {R"(default.audio.source={"name":"spk1"} default.audio.sink={"name":"mic1"})", 0, 0},
        {R"(default.audio.source={"name":"mic2"}; remove 42)", 0, 0},
        {"default.audio.source=mic2", 0, 0}, // not JSON
    };
    for (const auto& [metadata, input, output] : cases) {
        Graph graph("source 40 mic1; source 42 mic2; sink 50 spk1; metadata 3 default " +
                    std::string(metadata));
        EXPECT_EQ(graph.cache.defaultDevice(DeviceDirection::input), graph.objectOf(input)) << metadata;
        EXPECT_EQ(graph.cache.defaultDevice(DeviceDirection::output), graph.objectOf(output)) << metadata;
    }
}

TEST(PipeWireCacheRaces, RemovedAndReusedIdsKeepNeitherTheOldPortsNorItsLateInfo) {
    // A port of a node not (yet) known is ignored; the node's removal takes its ports; theirs comes late.
    Graph graph("port 39 40 out MONO; source 40 mic1");
    EXPECT_EQ(graph.cache.portsOf(40, PortDirection::output).size(), 1u);
    const AudioObjectID mic = graph.objectOf(40);
    graph.add("remove 40");
    EXPECT_TRUE(graph.cache.portsOf(40, PortDirection::output).empty());
    // A new node takes the old id at once; the old ports must not show up as its ports.
    graph.add("remove 41; node 40 class=Audio/Source node.name=other audio.channels=2");
    EXPECT_EQ(describe(graph.cache.device(graph.objectOf(40))), "other in=[2] out=[] 48000 Hz suspended");
    // The removed microphone still answers, as not alive, under its own id; the new one has another.
    const auto gone = graph.cache.device(mic);
    EXPECT_TRUE(gone && !gone->alive && gone->uid == "mic1");
    EXPECT_EQ(graph.cache.devices(), std::vector<AudioObjectID>{graph.objectOf(40)});
    // Reused without a removal: the old object goes with its ports; its late info is ignored.
    const AudioObjectID other = graph.objectOf(40);
    const uint64_t oldSerial = graph.cache.node(40)->serial;
    graph.add("port 44 40 out FL; node 40 class=Audio/Source node.name=mic2");
    EXPECT_TRUE(!graph.cache.device(other)->alive && graph.cache.portsOf(40, PortDirection::output).empty());
    Properties stale{{"media.class", "Audio/Source"}, {"node.name", "other"}};
    graph.cache.nodeInfo(40, oldSerial, &stale, NodeState::running);
    EXPECT_EQ(describe(graph.cache.device(graph.objectOf(40))), "mic2 in=[] out=[] 48000 Hz suspended");
}

TEST(PipeWireCacheRaces, ObjectIdsAreNeverReusedEvenAcrossReconnection) {
    Graph graph;
    std::set<AudioObjectID> seen{kAudioObjectSystemObject};
    for (int round = 0; round < 3; ++round) {
        graph.add("source 40 mic1");
        EXPECT_TRUE(seen.insert(graph.objectOf(40)).second);
        EXPECT_TRUE(seen.insert(graph.cache.allocateObjectId()).second);
        EXPECT_TRUE(seen.insert(graph.cache.processObject(1000 + round)).second);
        round == 1 ? graph.cache.clear() : graph.add("remove 40"); // the connection lost, or the node
    }
}

TEST(PipeWireCacheProcesses, CapturingProcessesTheirIdentifiersAndWhetherTheyReadAMicrophone) {
    // Beside "source 40 mic1; sink 50 spk1": a process, whether it is listed, its identifier, whether it
    // reads a microphone.
    const std::tuple<const char*, int32_t, const char*> cases[] = {
        // the pid its client states; two streams, one process
        {"client 10 pid=1001 pipewire.sec.pid=1001 application.process.binary=pw-cat; "
         "capture 20 client=10; capture 30 client=10; link 41 21",
         1001, "listed, pw-cat, microphone"},
        // a PulseAudio client: the stream's own pid and binary, not the protocol server's pid
        {"client 11 client.api=pipewire-pulse pipewire.sec.pid=555; "
         "capture 20 client=11 pid=2002 application.process.binary=chromium",
         2002, "listed, chromium, -"},
        {"client 11 client.api=pipewire-pulse pipewire.sec.pid=555; capture 20 client=11", 555,
         "not listed, -, -"},
        // a native client without a stated pid: the server-checked one
        {"client 12 pipewire.sec.pid=1003 application.name=native; capture 20 client=12", 1003,
         "listed, native, -"},
        {"playback 20 pid=3003", 3003, "not listed, -, -"},
        {"ours 20 pid=4004; link 41 21", 4004, "not listed, -, -"},
        {"", 9999, "not listed, -, -"}, // known only by asking (to exclude it before it plays)
        {"capture 20 pid=1002; link 53 21", 1002, "listed, -, -"},                     // a speaker's monitor
        {"capture 20 pid=1003 stream.monitor=true; link 41 21", 1003, "listed, -, -"}, // a meter
        {"capture 20 pid=1004 state=idle; link 41 21", 1004, "listed, -, -"},
        {"capture 20 pid=1001; link 41 21; remove 40", 1001, "listed, -, -"},
        // the portal's app id before application.id, the stream's before its client's name
        {"client 10 pid=1001 pipewire.access.portal.app_id=org.example.Chat application.id=chat; "
         "capture 20 client=10",
         1001, "listed, org.example.Chat, -"},
        {"client 11 pid=1002 application.name=Meet; capture 20 client=11 application.id=com.meet", 1002,
         "listed, com.meet, -"},
    };
    for (const auto& [description, pid, expected] : cases) {
        Graph graph("source 40 mic1; sink 50 spk1; " + std::string(description));
        const std::vector<AudioObjectID> processes = graph.cache.processesWithCaptureStreams();
        const AudioObjectID object = graph.cache.processObject(pid);
        EXPECT_EQ(graph.cache.processObject(pid), object);
        const auto process = graph.cache.process(object);
        ASSERT_TRUE(process && process->pid == pid) << description;
        const bool listed = processes == std::vector{object};
        EXPECT_EQ(std::string(listed              ? "listed, "
                              : processes.empty() ? "not listed, "
                                                  : "wrongly listed, ") +
                      process->bundleId.value_or("-") + (process->runningInput ? ", microphone" : ", -"),
                  expected)
            << description;
    }
    Graph graph;
    EXPECT_TRUE(graph.cache.processObject(0) == kAudioObjectUnknown && graph.cache.processObject(-5) == 0);
}

TEST(PipeWireCaptureRouting, LinksTheLeadingDeviceIntoTheFirstInputsAndEachChannelToItsSide) {
    const std::tuple<const char*, const char*, Plan> cases[] = {
        // the microphone first; a stereo player on its sides, a mono one on both
        {"source 40 mic1; playback 20 pid=1001; mono 30 pid=1001", "21>92 22>93 31>92 31>93 41>91", {}},
        // ports rebuilt for a surround device: fronts, rears and sides to their side, centre to both, no LFE
        {"playback 20 pid=1001; remove 21; remove 22; port 23 20 out FL; port 24 20 out FR; "
         "port 25 20 out LFE; port 26 20 out RL; port 27 20 out SR; port 28 20 out FC",
         "23>92 24>93 26>92 27>93 28>92 28>93",
         {}},
        // a virtual microphone leads through its monitor-flagged capture port; its player is no application
        {"node 40 class=Audio/Source/Virtual node.name=vmic; port 41 40 in MONO; "
         "port 42 40 out MONO monitor; mono 20 pid=1001; link 21 41",
         "42>91",
         {.leading = "vmic"}},
    };
    for (const auto& [graph, expected, plan] : cases) {
        std::string text;
        for (const PortPair& link : links(Graph("ours 90; " + std::string(graph)), plan)) {
            text += (text.empty() ? "" : " ") + std::to_string(link.outputPort) + ">" +
                    std::to_string(link.inputPort);
        }
        EXPECT_EQ(text, expected) << graph;
    }
    EXPECT_TRUE(links(Graph("source 40 mic1; playback 20 pid=1001"), {}).empty()) << "no capture node yet";
    EXPECT_EQ(tapSideOf(""), TapSide::both);
}

TEST(PipeWireCaptureRouting, TapsEachApplicationOnceButTheExcludedThroughVirtualSinks) {
    // Two applications (pids 1001 and 1002, playback 20 and 25) play; modules of another process (pid 3000)
    // may stand between them and the speaker. Each row says which playback nodes the tap links.
    struct Case {
        const char* topology;
        const char* graph;
        std::set<uint32_t> tapped = {20, 25};
        Plan plan = {};
    };
    const char* loopback = "node 50 class=Audio/Sink group=lb; playback 60 pid=3000 group=lb";
    const std::vector<Case> cases = {
        {"straight to the speaker", ""},
        {"excluded", "", {25}, {{1001}}},
        {"only the listed one", "", {25}, {{1002}, true}},
        {"loopback sink", loopback},
        {"echo canceller", "node 50 class=Audio/Sink group=ec; playback 60 pid=3000 group=ec; "
                           "capture 70 group=ec; node 75 class=Audio/Source group=ec"},
        {"filter chain reading a sink's monitor",
         "capture 50 stream.capture.sink=true group=f; playback 60 pid=3000 group=f"},
        {"stacked loopback and echo canceller",
         "node 50 class=Audio/Sink group=lb; playback 60 pid=3000 group=lb; "
         "node 150 class=Audio/Sink group=ec; playback 160 pid=3000 group=ec"},
        {"effects node without a link group, reading the sink it plays for",
         "sink 80 fx; playback 60 pid=3000; port 63 60 in FL; link 83 63"},
        {"excluded process behind a loopback", loopback, {25}, {{1001}}},
        {"a player feeding a virtual microphone",
         "node 40 class=Audio/Source/Virtual; port 41 40 in MONO; playback 30 pid=3000; link 31 41"},
        // Not a sink's sound: a microphone played to the speaker is what an application plays.
        {"loopback from a microphone", "capture 50 group=lb; playback 60 pid=3000 group=lb", {20, 25, 60}},
    };
    for (const Case& c : cases) {
        const Graph graph("ours 90; playback 20 pid=1001; playback 25 pid=1002; " + std::string(c.graph));
        std::set<uint32_t> tapped;
        for (const PortPair& link : links(graph, c.plan)) {
            tapped.insert(graph.cache.port(link.outputPort)->nodeId);
        }
        EXPECT_EQ(tapped, c.tapped) << c.topology;
    }
}
