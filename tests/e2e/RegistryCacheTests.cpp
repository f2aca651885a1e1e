// The PipeWire backend's view of the graph, fed with synthetic registry events (no server).

#include "Platform/Audio/PipeWire/CaptureRouting.h"
#include "Platform/Audio/PipeWire/RegistryCache.h"

#include <gtest/gtest.h>

#include <iterator>
#include <sstream>
#include <string>

using namespace PipeWireBackend;

namespace {

// Feeds a cache the way the connection does (serials that grow like the server's), from a short
// description: statements separated by ';', each a kind, an id and words.
//   source ID NAME    a mono microphone (Audio/Source) with its capture port ID+1
//   sink ID NAME      a stereo speaker (Audio/Sink): playback ports ID+1, ID+2, monitor ports ID+3, ID+4
//   capture ID        an application's capture stream (Stream/Input/Audio), input port ID+1 (MONO)
//   playback ID       an application's playback stream (Stream/Output/Audio), output ports ID+1 (FL) and
//                     ID+2 (FR), or ID+1 alone (MONO) with the word `mono`
//   ours ID           our capture node: inputs ID+1 (in_MONO), ID+2 (in_FL), ID+3 (in_FR)
//   node ID           a node with only the properties given
//   port ID NODE in|out CHANNEL [monitor]
//   link OUTPORT INPORT
//   client ID         a client with the properties given
//   metadata ID NAME  KEY=VALUE sets a key (of subject 0, or of N with subject=N), a lone KEY removes it
//   remove ID
// Other words are properties (KEY=VALUE, no spaces; class=, client=, group= and pid= stand for media.class,
// client.id, node.link-group and application.process.id); state=idle|running sets a node's state (streams
// run, devices are suspended unless told).
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
        // (Index loops: clang 14 cannot compile libstdc++ 12's views, which the sanitizer build uses.)
        for (std::size_t w = 2; w < words.size(); ++w) {
            const std::string& word = words[w];
            const auto equals = word.find('=');
            const std::string key = word.substr(0, equals);
            if (equals == std::string::npos) {
                plain.push_back(word);
            } else {
                props[aliases.contains(key) ? aliases.at(key) : key] = word.substr(equals + 1);
            }
        }
        const auto take = [&](const char* key) {
            return props.contains(key) ? props.extract(key).mapped() : "";
        };
        if (kind == "remove") {
            cache.globalRemoved(id);
        } else if (kind == "port") {
            port(id, plain.at(0), id, plain.at(1), plain.at(2), plain.size() > 3);
        } else if (kind == "link") {
            const auto nodeOf = [&](const std::string& port) {
                return std::to_string(cache.port(static_cast<uint32_t>(std::stoul(port)))->nodeId);
            };
            Properties link{{"link.output.node", nodeOf(words[1])}, {"link.output.port", words[1]}};
            link.insert({{"link.input.node", nodeOf(plain.at(0))}, {"link.input.port", plain.at(0)}});
            cache.globalAdded(nextLink_++, GlobalType::link, nextSerial_++, link);
        } else if (kind == "client") {
            const uint64_t serial = nextSerial_++;
            cache.globalAdded(id, GlobalType::client, serial, {});
            cache.clientInfo(id, serial, props);
        } else if (kind == "metadata") {
            cache.globalAdded(id, GlobalType::metadata, nextSerial_++, {{"metadata.name", plain.at(0)}});
            const std::string subject = take("subject");
            for (const auto& [key, value] : props) {
                cache.metadataProperty(id, subject.empty() ? 0 : std::stoul(subject), key, value);
            }
            for (std::size_t k = 1; k < plain.size(); ++k) {
                cache.metadataProperty(id, 0, plain[k], std::nullopt);
            }
        } else {
            node(kind, id, props, take("state"), plain.empty() ? "" : plain[0]);
        }
    }
    void node(const std::string& kind, uint32_t id, Properties props, const std::string& state,
              std::string name) {
        using Ports = std::vector<std::pair<std::string, std::string>>; // direction, channel
        static const std::map<std::string, std::pair<std::string, Ports>> kinds = {
            {"source", {"Audio/Source", {{"out", "MONO"}}}},
            {"sink", {"Audio/Sink", {{"in", "FL"}, {"in", "FR"}, {"monitor", "FL"}, {"monitor", "FR"}}}},
            {"capture", {"Stream/Input/Audio", {{"in", "MONO"}}}},
            {"playback", {"Stream/Output/Audio", {{"out", "FL"}, {"out", "FR"}}}},
            {"ours", {"Stream/Input/Audio", {{"in", "MONO"}, {"in", "FL"}, {"in", "FR"}}}},
            {"node", {"", {}}}};
        Ports ports = kinds.at(kind).second;
        if (kind == "ours") {
            name = "quillora-capture";
            cache.addOwnNodeName(name);
        } else if (name == "mono") {
            ports = {{"out", "MONO"}};
            name.clear();
        }
        props.try_emplace("media.class", kinds.at(kind).first);
        if (!name.empty()) {
            props.try_emplace("node.name", name);
        }
        const uint64_t serial = nextSerial_++;
        props["object.serial"] = std::to_string(serial);
        cache.globalAdded(id, GlobalType::node, serial, props);
        const bool runs = state.empty() ? props["media.class"].starts_with("Stream/") : state == "running";
        const NodeState idle = state == "idle" ? NodeState::idle : NodeState::suspended;
        cache.nodeInfo(id, serial, &props, runs ? NodeState::running : idle);
        for (uint32_t i = 0; i < ports.size(); ++i) {
            const bool monitor = ports[i].first == "monitor";
            port(id + 1 + i, std::to_string(id), i, monitor ? "out" : ports[i].first, ports[i].second,
                 monitor);
        }
    }
    void port(uint32_t id, const std::string& node, uint32_t index, const std::string& direction,
              const std::string& channel, bool monitor) {
        Properties props{
            {"node.id", node}, {"port.id", std::to_string(index)}, {"port.direction", direction}};
        props.insert({{"port.name", direction + "_" + channel}, {"audio.channel", channel}});
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
    struct Case {
        const char* what;
        const char* graph;      // beside "source 40 mic1; source 42 mic2; sink 50 spk1"
        uint32_t input, output; // the default nodes; 0 for none
    };
    const std::vector<Case> cases = {
        {"JSON whose top level names the node, and PipeWire's relaxed syntax",
         R"(metadata 3 default default.audio.source={"other":[1,{"name":"x"}],"name":"mic2"} )"
         R"(default.audio.sink={name=spk1})",
         42, 50},
        {"no value", "metadata 3 default", 0, 0},
        {"another subject's value is a per-stream target",
         R"(metadata 3 default subject=77 default.audio.source={"name":"mic2"})", 0, 0},
        {"the value removed",
         R"(metadata 3 default default.audio.source={"name":"mic2"} default.audio.source)", 0, 0},
        {"a device of the other direction",
         R"(metadata 3 default default.audio.source={"name":"spk1"} default.audio.sink={"name":"mic1"})", 0,
         0},
        {"the named node is gone", R"(metadata 3 default default.audio.source={"name":"mic2"}; remove 42)", 0,
         0},
        {"not JSON", "metadata 3 default default.audio.source=mic2", 0, 0},
    };
    for (const Case& c : cases) {
        Graph graph("source 40 mic1; source 42 mic2; sink 50 spk1; " + std::string(c.graph));
        EXPECT_EQ(graph.cache.defaultDevice(DeviceDirection::input), graph.objectOf(c.input)) << c.what;
        EXPECT_EQ(graph.cache.defaultDevice(DeviceDirection::output), graph.objectOf(c.output)) << c.what;
    }
}

TEST(PipeWireCacheRaces, NodeRemovedBeforeItsPortsTakesThemAlong) {
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
    ASSERT_TRUE(gone);
    EXPECT_FALSE(gone->alive);
    EXPECT_EQ(gone->uid, "mic1");
    EXPECT_EQ(graph.cache.devices(), std::vector<AudioObjectID>{graph.objectOf(40)});
}

TEST(PipeWireCacheRaces, ReusedIdWithoutRemovalReplacesTheOldObjectAndIgnoresItsLateInfo) {
    Graph graph("source 40 mic1");
    const AudioObjectID first = graph.objectOf(40);
    const uint64_t oldSerial = graph.cache.node(40)->serial;
    graph.add("node 40 class=Audio/Source node.name=mic2");
    EXPECT_NE(graph.objectOf(40), first);
    EXPECT_FALSE(graph.cache.device(first)->alive);
    EXPECT_TRUE(graph.cache.portsOf(40, PortDirection::output).empty());

    Properties stale{{"media.class", "Audio/Source"}, {"node.name", "mic1"}};
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
        if (round == 1) {
            graph.cache.clear(); // connection lost
        } else {
            graph.add("remove 40");
        }
    }
}

TEST(PipeWireCacheProcesses, CapturingProcessesTheirIdentifiersAndWhetherTheyReadAMicrophone) {
    struct Case {
        const char* what;
        const char* graph; // beside "source 40 mic1; sink 50 spk1"
        int32_t pid;
        const char* expected; // "listed|not listed, IDENTIFIER|-, microphone|-"
    };
    const std::vector<Case> cases = {
        {"the pid its client states; two streams, one process; reading the microphone",
         "client 10 pid=1001 pipewire.sec.pid=1001 application.process.binary=pw-cat; "
         "capture 20 client=10; capture 30 client=10; link 41 21",
         1001, "listed, pw-cat, microphone"},
        {"a PulseAudio client: the stream's own pid and binary",
         "client 11 client.api=pipewire-pulse pipewire.sec.pid=555; "
         "capture 20 client=11 pid=2002 application.process.binary=chromium",
         2002, "listed, chromium, -"},
        {"a PulseAudio client's server-checked pid is the protocol server's",
         "client 11 client.api=pipewire-pulse pipewire.sec.pid=555; capture 20 client=11", 555,
         "not listed, -, -"},
        {"a native client without a stated pid: the server-checked one",
         "client 12 pipewire.sec.pid=1003 application.name=native; capture 20 client=12", 1003,
         "listed, native, -"},
        {"playing is not capturing", "playback 20 pid=3003", 3003, "not listed, -, -"},
        {"our own capture", "ours 20 pid=4004; link 41 21", 4004, "not listed, -, -"},
        {"known only by asking (to exclude it before it plays)", "", 9999, "not listed, -, -"},
        {"recording a speaker's monitor, not flagged", "capture 20 pid=1002; link 53 21", 1002,
         "listed, -, -"},
        {"metering the microphone", "capture 20 pid=1003 stream.monitor=true; link 41 21", 1003,
         "listed, -, -"},
        {"paused", "capture 20 pid=1004 state=idle; link 41 21", 1004, "listed, -, -"},
        {"the microphone gone", "capture 20 pid=1001; link 41 21; remove 40", 1001, "listed, -, -"},
        {"the portal's app id before application.id",
         "client 10 pid=1001 pipewire.access.portal.app_id=org.example.Chat "
         "application.id=chat; capture 20 client=10",
         1001, "listed, org.example.Chat, -"},
        {"the stream's application.id before its client's name",
         "client 11 pid=1002 application.name=Meet; "
         "capture 20 client=11 application.id=com.meet",
         1002, "listed, com.meet, -"},
    };
    for (const Case& c : cases) {
        Graph graph("source 40 mic1; sink 50 spk1; " + std::string(c.graph));
        const std::vector<AudioObjectID> processes = graph.cache.processesWithCaptureStreams();
        const AudioObjectID object = graph.cache.processObject(c.pid);
        EXPECT_EQ(graph.cache.processObject(c.pid), object);
        const auto process = graph.cache.process(object);
        ASSERT_TRUE(process && process->pid == c.pid) << c.what;
        const bool listed = processes == std::vector{object};
        EXPECT_EQ(std::string(listed              ? "listed, "
                              : processes.empty() ? "not listed, "
                                                  : "wrongly listed, ") +
                      process->bundleId.value_or("-") + (process->runningInput ? ", microphone" : ", -"),
                  c.expected)
            << c.what;
    }
    Graph graph;
    EXPECT_EQ(graph.cache.processObject(0), kAudioObjectUnknown);
    EXPECT_EQ(graph.cache.processObject(-5), kAudioObjectUnknown);
}

// ----- routing -----

namespace {

struct Plan {
    std::set<int32_t> pids = {}; // left out, or the only ones with includeOnly
    bool includeOnly = false;
    std::string leading = "mic1";
};

// The planned links, "OUTPUT>INPUT" by port id, in order.
std::string plan(const Graph& graph, const Plan& plan) {
    CaptureLayout layout{90, plan.leading, {"in_MONO"}, {{plan.includeOnly, plan.pids, "in_FL", "in_FR"}}};
    std::string text;
    for (const PortPair& link : planCaptureLinks(graph.cache, layout)) {
        text += (text.empty() ? "" : " ") + std::to_string(link.outputPort) + ">" +
                std::to_string(link.inputPort);
    }
    return text;
}

} // namespace

TEST(PipeWireCaptureRouting, LinksTheLeadingDeviceIntoTheFirstInputsAndEachChannelToItsSide) {
    struct Case {
        const char* what;
        const char* graph;
        const char* links;
        Plan plan = {};
    };
    const std::vector<Case> cases = {
        {"the microphone first; a stereo player on its sides, a mono one on both",
         "ours 90; source 40 mic1; playback 20 pid=1001; "
         "playback 30 pid=1001 mono",
         "21>92 22>93 31>92 31>93 41>91"},
        {"ports rebuilt for a surround device: fronts, rears and sides to their side, centre to both, no LFE",
         "ours 90; playback 20 pid=1001; remove 21; remove 22; "
         "port 23 20 out FL; port 24 20 out FR; port 25 20 out LFE; port 26 20 out RL; port 27 20 out SR; "
         "port 28 20 out FC",
         "23>92 24>93 26>92 27>93 28>92 28>93"},
        {"a virtual microphone leads through its monitor-flagged capture port; its player is no application",
         "ours 90; node 40 class=Audio/Source/Virtual node.name=vmic; port 41 40 in MONO; "
         "port 42 40 out MONO monitor; playback 20 pid=1001 mono; "
         "link 21 41",
         "42>91",
         {.leading = "vmic"}},
        {"our capture node not there yet: nothing", "source 40 mic1; playback 20 pid=1001", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(plan(Graph(c.graph), c.plan), c.links) << c.what;
    }
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
    const char* loopback = "node 50 class=Audio/Sink group=lb; playback 60 pid=3000 "
                           "group=lb";
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
        {"a player feeding a virtual microphone", "node 40 class=Audio/Source/Virtual; port 41 40 in "
                                                  "MONO; playback 30 pid=3000; link 31 41"},
        // Not a sink's sound: a microphone played to the speaker is what an application plays.
        {"loopback from a microphone", "capture 50 group=lb; playback 60 pid=3000 group=lb", {20, 25, 60}},
    };
    for (const Case& c : cases) {
        const Graph graph("ours 90; playback 20 pid=1001; playback 25 pid=1002; " + std::string(c.graph));
        std::set<uint32_t> tapped;
        for (const PortPair& link : planCaptureLinks(
                 graph.cache, {90, "", {}, {{c.plan.includeOnly, c.plan.pids, "in_FL", "in_FR"}}})) {
            tapped.insert(graph.cache.port(link.outputPort)->nodeId);
        }
        EXPECT_EQ(tapped, c.tapped) << c.topology;
    }
}
