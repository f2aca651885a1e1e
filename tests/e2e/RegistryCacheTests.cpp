// The PipeWire backend's view of the graph, fed with synthetic registry events (no server).

#include "Platform/Audio/PipeWire/CaptureRouting.h"
#include "Platform/Audio/PipeWire/RegistryCache.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

using namespace PipeWireBackend;

namespace {

// Feeds a cache the way the connection does, with serials that grow like the server's.
class Graph {
public:
    RegistryCache cache;

    uint32_t node(uint32_t id, Properties props, NodeState state = NodeState::suspended) {
        const uint64_t serial = nextSerial_++;
        props["object.serial"] = std::to_string(serial);
        cache.globalAdded(id, GlobalType::node, serial, props);
        cache.nodeInfo(id, serial, &props, state);
        serials_[id] = serial;
        return id;
    }
    void state(uint32_t id, NodeState state) { cache.nodeInfo(id, serials_.at(id), nullptr, state); }
    void port(uint32_t id, uint32_t nodeId, uint32_t portId, const char* direction,
              const std::string& channel, const std::string& name, bool monitor = false) {
        Properties props{{"node.id", std::to_string(nodeId)}, {"port.id", std::to_string(portId)},
                         {"port.direction", direction},       {"port.name", name},
                         {"audio.channel", channel},          {"format.dsp", "32 bit float mono audio"}};
        if (monitor) {
            props["port.monitor"] = "true";
        }
        cache.globalAdded(id, GlobalType::port, nextSerial_++, props);
    }
    void link(uint32_t id, uint32_t outNode, uint32_t outPort, uint32_t inNode, uint32_t inPort) {
        cache.globalAdded(id, GlobalType::link, nextSerial_++,
                          {{"link.output.node", std::to_string(outNode)},
                           {"link.output.port", std::to_string(outPort)},
                           {"link.input.node", std::to_string(inNode)},
                           {"link.input.port", std::to_string(inPort)}});
    }
    void client(uint32_t id, Properties props) {
        const uint64_t serial = nextSerial_++;
        cache.globalAdded(id, GlobalType::client, serial, {});
        cache.clientInfo(id, serial, props);
    }
    void metadata(uint32_t id, const std::string& name) {
        cache.globalAdded(id, GlobalType::metadata, nextSerial_++, {{"metadata.name", name}});
    }
    void remove(uint32_t id) { cache.globalRemoved(id); }

    // A mono microphone (like the sandbox's) with its capture port.
    uint32_t microphone(uint32_t id, const std::string& name, uint32_t portGlobal) {
        node(id,
             {{"media.class", "Audio/Source"}, {"node.name", name}, {"node.description", name + " desc"}});
        port(portGlobal, id, 0, "out", "MONO", "capture_MONO");
        return id;
    }
    // A stereo speaker with playback and monitor ports (globals id+1 … id+4).
    uint32_t speaker(uint32_t id, const std::string& name) {
        node(id, {{"media.class", "Audio/Sink"}, {"node.name", name}, {"audio.rate", "44100"}});
        port(id + 1, id, 0, "in", "FL", "playback_FL");
        port(id + 2, id, 1, "in", "FR", "playback_FR");
        port(id + 3, id, 0, "out", "FL", "monitor_FL", true);
        port(id + 4, id, 1, "out", "FR", "monitor_FR", true);
        return id;
    }
    // A playback stream of `clientId` with output ports (globals id+1, id+2).
    uint32_t player(uint32_t id, uint32_t clientId, bool mono = false) {
        node(id, {{"media.class", "Stream/Output/Audio"}, {"client.id", std::to_string(clientId)}},
             NodeState::running);
        if (mono) {
            port(id + 1, id, 0, "out", "MONO", "output_MONO");
        } else {
            port(id + 1, id, 0, "out", "FL", "output_FL");
            port(id + 2, id, 1, "out", "FR", "output_FR");
        }
        return id;
    }

private:
    uint64_t nextSerial_ = 100;
    std::map<uint32_t, uint64_t> serials_;
};

AudioObjectID objectOf(const Graph& graph, uint32_t globalId) {
    const Node* node = graph.cache.node(globalId);
    return node == nullptr ? kAudioObjectUnknown : node->objectId;
}

} // namespace

TEST(PipeWireCacheDevices, DescribesSourcesAndSinksAsTheEngineReadsThem) {
    Graph graph;
    graph.metadata(5, "settings");
    graph.cache.metadataProperty(5, 0, "clock.rate", "96000");
    graph.microphone(40, "mic1", 41);
    graph.speaker(50, "spk1");
    graph.node(60,
               {{"media.class", "Audio/Source"},
                {"node.name", "usb"},
                {"node.nick", "USB"},
                {"audio.channels", "2"},
                {"node.rate", "1/44100"}},
               NodeState::running);
    graph.node(70, {{"media.class", "Stream/Output/Audio"}, {"node.name", "player"}});

    EXPECT_EQ(graph.cache.devices(),
              (std::vector<AudioObjectID>{objectOf(graph, 40), objectOf(graph, 50), objectOf(graph, 60)}));

    const auto mic = graph.cache.device(objectOf(graph, 40));
    ASSERT_TRUE(mic);
    EXPECT_EQ(mic->uid, "mic1");
    EXPECT_EQ(mic->name, "mic1 desc");
    EXPECT_EQ(mic->inputStreams, std::vector<uint32_t>{1});
    EXPECT_TRUE(mic->outputStreams.empty());
    EXPECT_EQ(mic->nominalRate, 96000); // the graph's rate
    EXPECT_TRUE(mic->alive);
    EXPECT_FALSE(mic->running);

    const auto speaker = graph.cache.device(objectOf(graph, 50));
    EXPECT_EQ(speaker->name, "spk1"); // no description, no nick
    EXPECT_TRUE(speaker->inputStreams.empty()) << "a speaker's monitor ports are not input streams";
    EXPECT_EQ(speaker->outputStreams, std::vector<uint32_t>{2});
    EXPECT_EQ(speaker->nominalRate, 44100);

    const auto usb = graph.cache.device(objectOf(graph, 60));
    EXPECT_EQ(usb->name, "USB");
    EXPECT_EQ(usb->inputStreams, std::vector<uint32_t>{2}) << "no ports listed yet: the declared channels";
    EXPECT_EQ(usb->nominalRate, 44100);
    EXPECT_TRUE(usb->running);

    EXPECT_FALSE(graph.cache.device(objectOf(graph, 70))) << "a stream is not a device";
    graph.cache.metadataProperty(5, 0, "", std::nullopt);
    EXPECT_EQ(graph.cache.graphRate(), 48000);
}

TEST(PipeWireCacheDevices, DefaultsFollowTheMetadataAndTheNodes) {
    Graph graph;
    graph.metadata(3, "default");
    graph.microphone(40, "mic1", 41);
    graph.microphone(42, "mic2", 43);
    graph.speaker(50, "spk1");

    EXPECT_EQ(graph.cache.defaultDevice(DeviceDirection::input), kAudioObjectUnknown);
    graph.cache.metadataProperty(3, 0, "default.audio.source",
                                 R"({ "other": [1, {"name": "x"}], "name": "mic2" })");
    graph.cache.metadataProperty(3, 0, "default.audio.sink",
                                 R"({ name = spk1 })"); // PipeWire's relaxed syntax
    EXPECT_EQ(graph.cache.defaultDevice(DeviceDirection::input), objectOf(graph, 42));
    EXPECT_EQ(graph.cache.defaultDevice(DeviceDirection::output), objectOf(graph, 50));

    // Another subject's values are someone else's (per-stream targets).
    graph.cache.metadataProperty(3, 77, "default.audio.source", R"({"name":"mic1"})");
    EXPECT_EQ(graph.cache.defaultDevice(DeviceDirection::input), objectOf(graph, 42));

    // The default names a node that is gone, or a device of the wrong direction: no default.
    graph.remove(42);
    EXPECT_EQ(graph.cache.defaultDevice(DeviceDirection::input), kAudioObjectUnknown);
    graph.cache.metadataProperty(3, 0, "default.audio.source", R"({"name":"spk1"})");
    EXPECT_EQ(graph.cache.defaultDevice(DeviceDirection::input), kAudioObjectUnknown);
    graph.cache.metadataProperty(3, 0, "default.audio.source", std::nullopt);
    EXPECT_EQ(graph.cache.defaultDevice(DeviceDirection::input), kAudioObjectUnknown);
}

TEST(PipeWireCacheRaces, NodeRemovedBeforeItsPortsTakesThemAlong) {
    Graph graph;
    graph.port(39, 40, 0, "out", "MONO", "capture_MONO"); // a port of a node not (yet) known: ignored
    graph.microphone(40, "mic1", 41);
    EXPECT_EQ(graph.cache.portsOf(40, PortDirection::output).size(), 1u);
    const AudioObjectID mic = objectOf(graph, 40);
    graph.remove(40);

    EXPECT_TRUE(graph.cache.portsOf(40, PortDirection::output).empty());
    graph.remove(41); // the port's own removal, late: harmless
    // A new node takes the old id at once; the old ports must not show up as its ports.
    graph.node(40, {{"media.class", "Audio/Source"}, {"node.name", "other"}, {"audio.channels", "2"}});
    EXPECT_TRUE(graph.cache.portsOf(40, PortDirection::output).empty());
    EXPECT_EQ(graph.cache.device(objectOf(graph, 40))->inputStreams, std::vector<uint32_t>{2});

    // The removed microphone still answers, as not alive, under its own id; the new one has another.
    const auto gone = graph.cache.device(mic);
    ASSERT_TRUE(gone);
    EXPECT_FALSE(gone->alive);
    EXPECT_FALSE(gone->running);
    EXPECT_EQ(gone->uid, "mic1");
    EXPECT_NE(objectOf(graph, 40), mic);
    EXPECT_EQ(graph.cache.devices(), std::vector<AudioObjectID>{objectOf(graph, 40)});
}

TEST(PipeWireCacheRaces, ReusedIdWithoutRemovalReplacesTheOldObject) {
    Graph graph;
    graph.microphone(40, "mic1", 41);
    const AudioObjectID first = objectOf(graph, 40);
    const uint64_t oldSerial = graph.cache.node(40)->serial;

    graph.node(40, {{"media.class", "Audio/Source"}, {"node.name", "mic2"}});
    EXPECT_NE(objectOf(graph, 40), first);
    EXPECT_FALSE(graph.cache.device(first)->alive);
    EXPECT_TRUE(graph.cache.portsOf(40, PortDirection::output).empty());

    // Late info for the old object must not land on the new one.
    Properties stale{{"media.class", "Audio/Source"}, {"node.name", "mic1"}};
    graph.cache.nodeInfo(40, oldSerial, &stale, NodeState::running);
    EXPECT_EQ(graph.cache.node(40)->name(), "mic2");
    EXPECT_NE(graph.cache.node(40)->state, NodeState::running);
}

TEST(PipeWireCacheRaces, ObjectIdsAreNeverReusedEvenAcrossReconnection) {
    Graph graph;
    std::set<AudioObjectID> seen{kAudioObjectSystemObject};
    for (int round = 0; round < 3; ++round) {
        graph.microphone(40, "mic1", 41);
        EXPECT_TRUE(seen.insert(objectOf(graph, 40)).second);
        EXPECT_TRUE(seen.insert(graph.cache.allocateObjectId()).second);
        EXPECT_TRUE(seen.insert(graph.cache.processObject(1000 + round)).second);
        if (round == 1) {
            graph.cache.clear(); // connection lost
        } else {
            graph.remove(40);
        }
    }
}

TEST(PipeWireCacheProcesses, ListsOneObjectPerCapturingProcess) {
    Graph graph;
    graph.client(10, {{"application.process.id", "1001"},
                      {"pipewire.sec.pid", "1001"},
                      {"application.process.binary", "pw-cat"}});
    // A PulseAudio-protocol client: the server-checked pid is the protocol server's.
    graph.client(11, {{"client.api", "pipewire-pulse"}, {"pipewire.sec.pid", "555"}});
    graph.client(12, {{"pipewire.sec.pid", "1003"}, {"application.name", "native"}});
    graph.client(13, {{"client.api", "pipewire-pulse"}, {"pipewire.sec.pid", "555"}});

    graph.node(20, {{"media.class", "Stream/Input/Audio"}, {"client.id", "10"}});
    graph.node(21, {{"media.class", "Stream/Input/Audio"}, {"client.id", "10"}}); // same process
    graph.node(22, {{"media.class", "Stream/Input/Audio"},
                    {"client.id", "11"},
                    {"application.process.id", "2002"},
                    {"application.process.binary", "chromium"}});
    graph.node(23, {{"media.class", "Stream/Input/Audio"}, {"client.id", "12"}});
    graph.node(24, {{"media.class", "Stream/Input/Audio"}, {"client.id", "13"}}); // no pid of its own
    graph.node(25, {{"media.class", "Stream/Output/Audio"}, {"application.process.id", "3003"}});
    graph.node(26, {{"media.class", "Stream/Input/Audio"},
                    {"node.name", "ours"},
                    {"client.id", "10"},
                    {"application.process.id", "4004"}});
    graph.cache.addOwnNodeName("ours");

    const std::vector<AudioObjectID> processes = graph.cache.processesWithCaptureStreams();
    std::vector<int32_t> pids;
    for (const AudioObjectID process : processes) {
        pids.push_back(graph.cache.process(process)->pid);
    }
    std::sort(pids.begin(), pids.end());
    EXPECT_EQ(pids, (std::vector<int32_t>{1001, 1003, 2002}));
    EXPECT_EQ(graph.cache.processObject(1001), graph.cache.processObject(1001));
    EXPECT_EQ(graph.cache.process(graph.cache.processObject(2002))->bundleId, "chromium");
    EXPECT_EQ(graph.cache.process(graph.cache.processObject(1003))->bundleId, "native");
    EXPECT_EQ(graph.cache.processObject(0), kAudioObjectUnknown);
    EXPECT_EQ(graph.cache.processObject(-5), kAudioObjectUnknown);

    // A process known only by asking for it (to exclude it before it plays) is not a capturing process.
    const AudioObjectID quiet = graph.cache.processObject(9999);
    EXPECT_EQ(std::count(processes.begin(), processes.end(), quiet), 0);
    EXPECT_EQ(graph.cache.process(quiet)->pid, 9999);
    EXPECT_FALSE(graph.cache.process(quiet)->bundleId);
}

TEST(PipeWireCacheProcesses, RunningInputMeansReadingAMicrophone) {
    Graph graph;
    graph.microphone(40, "mic1", 41);
    graph.speaker(50, "spk1");
    graph.client(10, {{"application.process.id", "1001"}});
    graph.client(11, {{"application.process.id", "1002"}});
    graph.client(12, {{"application.process.id", "1003"}});
    graph.client(13, {{"application.process.id", "1004"}});

    // 1001 records the microphone; 1002 records the speaker's monitor; 1003 only meters the microphone;
    // 1004 would record the microphone but is paused.
    graph.node(20, {{"media.class", "Stream/Input/Audio"}, {"client.id", "10"}}, NodeState::running);
    graph.port(21, 20, 0, "in", "MONO", "input_MONO");
    graph.link(22, 40, 41, 20, 21);
    graph.node(30,
               {{"media.class", "Stream/Input/Audio"}, {"client.id", "11"}, {"stream.capture.sink", "true"}},
               NodeState::running);
    graph.port(31, 30, 0, "in", "FL", "input_FL");
    graph.link(32, 50, 53, 30, 31);
    graph.node(60, {{"media.class", "Stream/Input/Audio"}, {"client.id", "12"}, {"stream.monitor", "true"}},
               NodeState::running);
    graph.port(61, 60, 0, "in", "MONO", "input_MONO");
    graph.link(62, 40, 41, 60, 61);
    graph.node(70, {{"media.class", "Stream/Input/Audio"}, {"client.id", "13"}}, NodeState::idle);
    graph.port(71, 70, 0, "in", "MONO", "input_MONO");
    graph.link(72, 40, 41, 70, 71);

    auto runningInput = [&](int32_t pid) {
        return graph.cache.process(graph.cache.processObject(pid))->runningInput;
    };
    EXPECT_TRUE(runningInput(1001));
    EXPECT_FALSE(runningInput(1002));
    EXPECT_FALSE(runningInput(1003));
    EXPECT_FALSE(runningInput(1004));

    // A monitor recording without the flag is still told apart by where its link comes from.
    graph.node(80, {{"media.class", "Stream/Input/Audio"}, {"client.id", "11"}}, NodeState::running);
    graph.port(81, 80, 0, "in", "FL", "input_FL");
    graph.link(82, 50, 53, 80, 81);
    EXPECT_FALSE(runningInput(1002));

    graph.state(70, NodeState::running);
    EXPECT_TRUE(runningInput(1004));
    graph.remove(40); // the microphone goes, and with it the links
    EXPECT_FALSE(runningInput(1001));
}

TEST(PipeWireCacheProcesses, BundleIdPrefersThePortalThenTheApplicationId) {
    Graph graph;
    graph.client(10, {{"application.process.id", "1001"},
                      {"pipewire.access.portal.app_id", "org.example.Chat"},
                      {"application.id", "chat"}});
    graph.client(11, {{"application.process.id", "1002"}, {"application.name", "Meet"}});
    graph.node(20, {{"media.class", "Stream/Input/Audio"}, {"client.id", "10"}});
    graph.node(21,
               {{"media.class", "Stream/Input/Audio"}, {"client.id", "11"}, {"application.id", "com.meet"}});
    EXPECT_EQ(graph.cache.process(graph.cache.processObject(1001))->bundleId, "org.example.Chat");
    EXPECT_EQ(graph.cache.process(graph.cache.processObject(1002))->bundleId, "com.meet");
}

// ----- routing -----

namespace {

// Our capture node 90: one microphone input and a stereo tap.
void addCaptureNode(Graph& graph) {
    graph.node(90, {{"media.class", "Stream/Input/Audio"}, {"node.name", "capture"}});
    graph.port(91, 90, 0, "in", "MONO", "input_MONO");
    graph.port(92, 90, 1, "in", "FL", "tap_FL");
    graph.port(93, 90, 2, "in", "FR", "tap_FR");
    graph.cache.addOwnNodeName("capture");
}

CaptureLayout layoutExcluding(std::set<int32_t> pids) {
    CaptureLayout layout;
    layout.filterNodeId = 90;
    layout.leadingUid = "mic1";
    layout.leadingPorts = {"input_MONO"};
    layout.taps.push_back({false, std::move(pids), "tap_FL", "tap_FR"});
    return layout;
}

} // namespace

TEST(PipeWireCaptureRouting, LinksTheMicrophoneAndEveryPlayerButTheExcluded) {
    Graph graph;
    addCaptureNode(graph);
    graph.microphone(40, "mic1", 41);
    graph.client(10, {{"application.process.id", "1001"}});
    graph.client(11, {{"application.process.id", "1002"}});
    graph.player(20, 10);       // stereo, other process
    graph.player(30, 11, true); // mono, the excluded process
    graph.player(35, 10, true); // mono, other process

    const std::set<PortPair> links = planCaptureLinks(graph.cache, layoutExcluding({1002}));
    EXPECT_EQ(links, (std::set<PortPair>{{41, 91}, {21, 92}, {22, 93}, {36, 92}, {36, 93}}));

    // Excluding nobody adds the mono player to both sides.
    EXPECT_EQ(planCaptureLinks(graph.cache, layoutExcluding({})).size(), 7u);
    // Only the listed process.
    CaptureLayout only = layoutExcluding({1002});
    only.taps[0].includeOnly = true;
    EXPECT_EQ(planCaptureLinks(graph.cache, only), (std::set<PortPair>{{41, 91}, {31, 92}, {31, 93}}));
}

TEST(PipeWireCaptureRouting, FollowsAPlayerWhosePortsAreRebuiltOnAnotherDevice) {
    Graph graph;
    addCaptureNode(graph);
    graph.client(10, {{"application.process.id", "1001"}});
    graph.player(20, 10);
    EXPECT_EQ(planCaptureLinks(graph.cache, layoutExcluding({})), (std::set<PortPair>{{21, 92}, {22, 93}}));

    // Moved to a device with another layout: the session manager rebuilds the stream's ports.
    graph.remove(21);
    graph.remove(22);
    EXPECT_TRUE(planCaptureLinks(graph.cache, layoutExcluding({})).empty());
    graph.port(23, 20, 0, "out", "FL", "output_FL");
    graph.port(24, 20, 1, "out", "FR", "output_FR");
    graph.port(25, 20, 2, "out", "LFE", "output_LFE");
    graph.port(26, 20, 3, "out", "RL", "output_RL");
    EXPECT_EQ(planCaptureLinks(graph.cache, layoutExcluding({})),
              (std::set<PortPair>{{23, 92}, {24, 93}, {26, 92}}));
}

TEST(PipeWireCaptureRouting, LeavesOutPlayersThatFeedAMicrophoneAndWaitsForItsOwnPorts) {
    Graph graph;
    graph.client(10, {{"application.process.id", "1001"}});
    graph.node(40, {{"media.class", "Audio/Source/Virtual"}, {"node.name", "vmic"}});
    graph.port(41, 40, 0, "in", "MONO", "input_MONO");
    graph.port(42, 40, 0, "out", "MONO", "capture_MONO", true);
    graph.player(20, 10, true);
    graph.link(29, 20, 21, 40, 41); // plays into the virtual microphone

    EXPECT_TRUE(planCaptureLinks(graph.cache, layoutExcluding({})).empty()) << "capture node not there yet";
    addCaptureNode(graph);
    CaptureLayout layout = layoutExcluding({});
    layout.leadingUid = "vmic";
    // The virtual microphone's capture port is flagged as a monitor port and still is its input.
    EXPECT_EQ(planCaptureLinks(graph.cache, layout), (std::set<PortPair>{{42, 91}}));
}

TEST(PipeWireCaptureRouting, TapsEachApplicationOnceThroughVirtualSinks) {
    // Two applications (pids 1001, 1002) play; modules of another process (pid 3000) may stand between
    // them and the speaker. Each row says which playback nodes the tap must link.
    const auto playOn = [](Graph& graph, uint32_t id, const std::string& group, Properties sinkSide) {
        sinkSide["node.link-group"] = group;
        graph.node(id, sinkSide);
        graph.port(id + 1, id, 0, "in", "FL", "playback_FL");
        graph.node(id + 10,
                   {{"media.class", "Stream/Output/Audio"}, {"client.id", "12"}, {"node.link-group", group}},
                   NodeState::running);
        graph.port(id + 11, id + 10, 0, "out", "FL", "output_FL");
    };
    const Properties sink{{"media.class", "Audio/Sink"}};
    struct Case {
        const char* topology;
        std::function<void(Graph&)> build;
        std::set<uint32_t> tapped = {20, 25};
        std::set<int32_t> excluded = {};
    };
    const std::vector<Case> cases = {
        {"straight to the speaker", [](Graph&) {}},
        {"loopback sink", [&](Graph& g) { playOn(g, 50, "loopback-1", sink); }},
        {"echo canceller",
         [&](Graph& g) {
             playOn(g, 50, "echo-cancel-1", sink);
             g.node(70, {{"media.class", "Stream/Input/Audio"}, {"node.link-group", "echo-cancel-1"}});
             g.node(71, {{"media.class", "Audio/Source"}, {"node.link-group", "echo-cancel-1"}});
         }},
        {"filter chain reading a sink's monitor",
         [&](Graph& g) {
             playOn(g, 50, "filter-1",
                    {{"media.class", "Stream/Input/Audio"}, {"stream.capture.sink", "true"}});
         }},
        {"stacked loopback and echo canceller",
         [&](Graph& g) {
             playOn(g, 50, "loopback-1", sink);
             playOn(g, 150, "echo-cancel-1", sink);
         }},
        {"effects node without a link group",
         [](Graph& g) {
             g.speaker(80, "effects_sink");
             g.node(60, {{"media.class", "Stream/Output/Audio"}, {"client.id", "12"}}, NodeState::running);
             g.port(61, 60, 0, "in", "FL", "input_FL");
             g.port(62, 60, 1, "out", "FL", "output_FL");
             g.link(69, 80, 83, 60, 61);
         }},
        {"excluded process behind a loopback",
         [&](Graph& g) { playOn(g, 50, "loopback-1", sink); },
         {25},
         {1001}},
        // Not a sink's sound: a microphone played to the speaker is what an application plays.
        {"loopback from a microphone",
         [&](Graph& g) {
             playOn(g, 50, "loopback-1", {{"media.class", "Stream/Input/Audio"}});
         },
         {20, 25, 60}},
    };
    for (const Case& row : cases) {
        Graph graph;
        addCaptureNode(graph);
        graph.client(10, {{"application.process.id", "1001"}});
        graph.client(11, {{"application.process.id", "1002"}});
        graph.client(12, {{"application.process.id", "3000"}});
        graph.player(20, 10);
        graph.player(25, 11);
        row.build(graph);
        CaptureLayout layout = layoutExcluding(row.excluded);
        layout.leadingUid.clear();
        std::set<uint32_t> tapped;
        for (const PortPair& link : planCaptureLinks(graph.cache, layout)) {
            tapped.insert(graph.cache.port(link.outputPort)->nodeId);
        }
        EXPECT_EQ(tapped, row.tapped) << row.topology;
    }
}

TEST(PipeWireCaptureRouting, SpreadsChannelsOverTheTwoSides) {
    EXPECT_EQ(tapSideOf("FL"), TapSide::left);
    EXPECT_EQ(tapSideOf("SR"), TapSide::right);
    EXPECT_EQ(tapSideOf("MONO"), TapSide::both);
    EXPECT_EQ(tapSideOf("FC"), TapSide::both);
    EXPECT_EQ(tapSideOf(""), TapSide::both);
    EXPECT_EQ(tapSideOf("LFE"), TapSide::none);
}
