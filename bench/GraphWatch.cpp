// Watches a PipeWire server's graph cycles through its profiler module and says where cycles went: a
// driver whose clock position jumps (cycles skipped for every node), a driver woken late (its timer), an
// incomplete cycle (a node still not finished when the next one began: an xrun, with the nodes that were
// late), and the nodes that finished after their cycle's period.
//
//   quillora_graph_watch [SECONDS]
//       runs for SECONDS (default: until SIGINT/SIGTERM); prints one line per event as it happens and a
//       summary every minute and at the end.
//
// For the long runs on the private sandbox (scripts/hardening/click-alignment.sh --watch-graph).

#include <pipewire/extensions/profiler.h>
#include <pipewire/impl.h>
#include <pipewire/pipewire.h>
#include <spa/param/profiler.h>
#include <spa/pod/parser.h>
#include <spa/utils/result.h>
#include <spa/utils/string.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <string>
#include <vector>

// libpipewire's method calls are macros that cast in C style.
#pragma GCC diagnostic ignored "-Wold-style-cast"
#pragma GCC diagnostic ignored "-Wcast-align"

namespace {

// pw_node_activation's status values, as the profiler reports them.
constexpr int kFinished = 3;

struct Block {
    uint32_t id = 0;
    std::string name;
    int64_t driverSignal = 0; // the driver's signal time of this cycle (followers) or the previous one's
    int64_t signal = 0;
    int64_t awake = 0;
    int64_t finish = 0;
    int status = 0;
};

struct Cycle {
    int xruns = 0;
    uint32_t clockId = 0;
    int64_t nsec = 0;
    uint32_t rate = 0;
    int64_t position = 0;
    int64_t duration = 0;
    Block driver;
    std::vector<Block> followers;
};

struct NodeStats {
    std::string name;
    uint64_t unfinished = 0; // not finished when the next cycle began
    uint64_t overPeriod = 0; // finished more than one period after the driver's signal
    int64_t worstWakeUs = 0; // from its signal to its data thread running
    int64_t worstRunUs = 0;  // its processing
    int64_t worstFinishUs = 0;
};

struct DriverStats {
    std::string name;
    bool known = false;
    int64_t expectedPosition = 0;
    int64_t lastSignal = 0;
    int lastXruns = 0;
    uint64_t cycles = 0;
    uint64_t jumps = 0;
    uint64_t incomplete = 0;
    int64_t jumpFrames = 0;
    uint64_t lateWakes = 0; // signal more than 1.5 periods after the previous one
    int64_t worstPeriodUs = 0;
    uint64_t xruns = 0;
    std::map<uint32_t, NodeStats> nodes;
};

struct Watch {
    pw_main_loop* loop = nullptr;
    pw_context* context = nullptr;
    pw_core* core = nullptr;
    pw_registry* registry = nullptr;
    pw_proxy* profiler = nullptr;
    spa_hook registryListener{};
    spa_hook profilerListener{};
    std::map<uint32_t, DriverStats> drivers;
    double started = 0;
    double lastSummary = 0;
};

double now() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

bool parseBlock(const spa_pod* pod, Block& block) {
    int32_t id = 0;
    const char* name = nullptr;
    int64_t values[4] = {};
    int32_t status = 0;
    if (spa_pod_parse_struct(pod, SPA_POD_Int(&id), SPA_POD_String(&name), SPA_POD_Long(&values[0]),
                             SPA_POD_Long(&values[1]), SPA_POD_Long(&values[2]), SPA_POD_Long(&values[3]),
                             SPA_POD_Int(&status)) < 0) {
        return false;
    }
    block.id = static_cast<uint32_t>(id);
    block.name = name != nullptr ? name : "?";
    block.driverSignal = values[0];
    block.signal = values[1];
    block.awake = values[2];
    block.finish = values[3];
    block.status = status;
    return true;
}

bool parseCycle(const spa_pod_object* object, Cycle& cycle) {
    const spa_pod_prop* prop = nullptr;
    bool haveClock = false;
    bool haveDriver = false;
    SPA_POD_OBJECT_FOREACH(object, prop) {
        switch (prop->key) {
        case SPA_PROFILER_info: {
            int64_t count = 0;
            float load[3] = {};
            int32_t xruns = 0;
            if (spa_pod_parse_struct(&prop->value, SPA_POD_Long(&count), SPA_POD_Float(&load[0]),
                                     SPA_POD_Float(&load[1]), SPA_POD_Float(&load[2]),
                                     SPA_POD_Int(&xruns)) >= 0) {
                cycle.xruns = xruns;
            }
            break;
        }
        case SPA_PROFILER_clock: {
            int32_t flags = 0;
            int32_t id = 0;
            const char* name = nullptr;
            spa_fraction rate{};
            int64_t delay = 0;
            double rateDiff = 0;
            int64_t next = 0;
            haveClock = spa_pod_parse_struct(&prop->value, SPA_POD_Int(&flags), SPA_POD_Int(&id),
                                             SPA_POD_String(&name), SPA_POD_Long(&cycle.nsec),
                                             SPA_POD_Fraction(&rate), SPA_POD_Long(&cycle.position),
                                             SPA_POD_Long(&cycle.duration), SPA_POD_Long(&delay),
                                             SPA_POD_Double(&rateDiff), SPA_POD_Long(&next)) >= 0;
            cycle.clockId = static_cast<uint32_t>(id);
            cycle.rate = rate.denom;
            break;
        }
        case SPA_PROFILER_driverBlock:
            haveDriver = parseBlock(&prop->value, cycle.driver);
            break;
        case SPA_PROFILER_followerBlock: {
            Block follower;
            if (parseBlock(&prop->value, follower)) {
                cycle.followers.push_back(std::move(follower));
            }
            break;
        }
        default:
            break;
        }
    }
    return haveClock && haveDriver && cycle.rate > 0 && cycle.duration > 0;
}

void report(Watch& watch, const Cycle& cycle, const char* what, const std::string& detail) {
    std::printf("%9.3f s  %-22s driver %s (%u) position %lld: %s\n", now() - watch.started, what,
                cycle.driver.name.c_str(), cycle.driver.id, static_cast<long long>(cycle.position),
                detail.c_str());
    std::fflush(stdout);
}

void observe(Watch& watch, const Cycle& cycle) {
    DriverStats& stats = watch.drivers[cycle.driver.id];
    stats.name = cycle.driver.name;
    const int64_t periodUs = cycle.duration * 1000000 / cycle.rate;
    char detail[512];
    // A cycle still unfinished when the next one began is reported then, with the next cycle's position
    // already in the clock; the cycle it is about began one duration earlier.
    const bool incomplete = std::any_of(cycle.followers.begin(), cycle.followers.end(),
                                        [](const Block& follower) { return follower.status != kFinished; });
    const int64_t position = incomplete ? cycle.position - cycle.duration : cycle.position;
    if (stats.known && position < stats.expectedPosition) {
        return; // a cycle already seen
    }
    ++stats.cycles;
    if (stats.known && position != stats.expectedPosition) {
        const int64_t frames = position - stats.expectedPosition;
        ++stats.jumps;
        stats.jumpFrames += frames;
        std::snprintf(detail, sizeof detail, "%+lld frames (%+.3f ms) after the previous cycle's end",
                      static_cast<long long>(frames), static_cast<double>(frames) * 1000.0 / cycle.rate);
        report(watch, cycle, "POSITION JUMP", detail);
    }
    if (incomplete) {
        ++stats.incomplete;
        std::string late;
        for (const Block& follower : cycle.followers) {
            if (follower.status != kFinished) {
                const long long wokeUs =
                    follower.awake > follower.signal ? (follower.awake - follower.signal) / 1000 : -1;
                late += " " + follower.name + "(status " + std::to_string(follower.status) + ", woke " +
                        std::to_string(wokeUs) + " us after its signal)";
            }
        }
        report(watch, cycle, "INCOMPLETE", "unfinished when the next cycle began:" + late);
    } else if (stats.known && stats.lastSignal > 0) {
        const int64_t sincePrevious = (cycle.driver.signal - stats.lastSignal) / 1000;
        stats.worstPeriodUs = std::max(stats.worstPeriodUs, sincePrevious);
        if (sincePrevious > periodUs * 3 / 2) {
            ++stats.lateWakes;
            std::snprintf(detail, sizeof detail, "%lld us since the previous cycle (period %lld us)",
                          static_cast<long long>(sincePrevious), static_cast<long long>(periodUs));
            report(watch, cycle, "DRIVER LATE", detail);
        }
    }
    if (stats.known && cycle.xruns != stats.lastXruns) {
        stats.xruns += static_cast<uint64_t>(std::max(0, cycle.xruns - stats.lastXruns));
        report(watch, cycle, "XRUN", "driver's count " + std::to_string(cycle.xruns));
    }
    for (const Block& follower : cycle.followers) {
        NodeStats& node = stats.nodes[follower.id];
        node.name = follower.name;
        if (follower.status != kFinished) {
            ++node.unfinished;
            continue;
        }
        // Times of a cycle that has not really run yet (a node just added) are left out.
        if (follower.signal <= 0 || follower.awake < follower.signal || follower.finish < follower.awake ||
            follower.driverSignal <= 0 || follower.finish - follower.driverSignal > 1'000'000'000) {
            continue;
        }
        const int64_t wakeUs = (follower.awake - follower.signal) / 1000;
        const int64_t runUs = (follower.finish - follower.awake) / 1000;
        const int64_t finishUs = (follower.finish - follower.driverSignal) / 1000;
        node.worstWakeUs = std::max(node.worstWakeUs, wakeUs);
        node.worstRunUs = std::max(node.worstRunUs, runUs);
        node.worstFinishUs = std::max(node.worstFinishUs, finishUs);
        if (finishUs > periodUs) {
            ++node.overPeriod;
            std::snprintf(
                detail, sizeof detail,
                "%s finished %lld us after the cycle began (period %lld us): woken %lld us after its "
                "signal, ran %lld us",
                follower.name.c_str(), static_cast<long long>(finishUs), static_cast<long long>(periodUs),
                static_cast<long long>(wakeUs), static_cast<long long>(runUs));
            report(watch, cycle, "NODE LATE", detail);
        }
    }
    stats.known = true;
    stats.expectedPosition = position + cycle.duration;
    if (!incomplete) {
        stats.lastSignal = cycle.driver.signal;
    }
    stats.lastXruns = cycle.xruns;
}

void printSummary(const Watch& watch) {
    std::printf("--- after %.0f s\n", now() - watch.started);
    for (const auto& [id, stats] : watch.drivers) {
        std::printf(
            "driver %s (%u): %llu cycles, %llu position jumps (%+lld frames), %llu incomplete, %llu late "
            "wakes (worst period %lld us), %llu xruns\n",
            stats.name.c_str(), id, static_cast<unsigned long long>(stats.cycles),
            static_cast<unsigned long long>(stats.jumps), static_cast<long long>(stats.jumpFrames),
            static_cast<unsigned long long>(stats.incomplete),
            static_cast<unsigned long long>(stats.lateWakes), static_cast<long long>(stats.worstPeriodUs),
            static_cast<unsigned long long>(stats.xruns));
        for (const auto& [nodeId, node] : stats.nodes) {
            std::printf(
                "    node %s (%u): unfinished %llu, over a period %llu; worst: woken %lld us after its "
                "signal, ran %lld us, finished %lld us into the cycle\n",
                node.name.c_str(), nodeId, static_cast<unsigned long long>(node.unfinished),
                static_cast<unsigned long long>(node.overPeriod), static_cast<long long>(node.worstWakeUs),
                static_cast<long long>(node.worstRunUs), static_cast<long long>(node.worstFinishUs));
        }
    }
    std::fflush(stdout);
}

void onProfile(void* data, const spa_pod* pod) {
    auto* watch = static_cast<Watch*>(data);
    const void* body = SPA_POD_BODY_CONST(pod);
    const uint32_t size = SPA_POD_BODY_SIZE(pod);
    for (auto* object = static_cast<const spa_pod*>(body); spa_pod_is_inside(body, size, object);
         object = static_cast<const spa_pod*>(spa_pod_next(object))) {
        if (!spa_pod_is_object_type(object, SPA_TYPE_OBJECT_Profiler)) {
            continue;
        }
        Cycle cycle;
        if (parseCycle(reinterpret_cast<const spa_pod_object*>(object), cycle)) {
            observe(*watch, cycle);
        }
    }
    if (now() - watch->lastSummary >= 60) {
        watch->lastSummary = now();
        printSummary(*watch);
    }
}

const pw_profiler_events profilerEvents = [] {
    pw_profiler_events events{};
    events.version = PW_VERSION_PROFILER_EVENTS;
    events.profile = onProfile;
    return events;
}();

void onGlobal(void* data, uint32_t id, uint32_t /*permissions*/, const char* type, uint32_t /*version*/,
              const spa_dict* /*props*/) {
    auto* watch = static_cast<Watch*>(data);
    if (!spa_streq(type, PW_TYPE_INTERFACE_Profiler) || watch->profiler != nullptr) {
        return;
    }
    watch->profiler =
        static_cast<pw_proxy*>(pw_registry_bind(watch->registry, id, type, PW_VERSION_PROFILER, 0));
    if (watch->profiler != nullptr) {
        pw_proxy_add_object_listener(watch->profiler, &watch->profilerListener, &profilerEvents, watch);
        std::printf("watching the graph through profiler %u\n", id);
        std::fflush(stdout);
    }
}

const pw_registry_events registryEvents = [] {
    pw_registry_events events{};
    events.version = PW_VERSION_REGISTRY_EVENTS;
    events.global = onGlobal;
    return events;
}();

void quit(void* data, int /*signal*/) {
    pw_main_loop_quit(static_cast<Watch*>(data)->loop);
}

void timeUp(void* data, uint64_t /*expirations*/) {
    pw_main_loop_quit(static_cast<Watch*>(data)->loop);
}

} // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 0;
    pw_init(&argc, &argv);
    Watch watch;
    watch.loop = pw_main_loop_new(nullptr);
    pw_loop* loop = pw_main_loop_get_loop(watch.loop);
    pw_loop_add_signal(loop, SIGINT, quit, &watch);
    pw_loop_add_signal(loop, SIGTERM, quit, &watch);
    if (seconds > 0) {
        spa_source* timer = pw_loop_add_timer(loop, timeUp, &watch);
        timespec value{
            static_cast<time_t>(seconds),
            static_cast<long>((seconds - static_cast<double>(static_cast<time_t>(seconds))) * 1e9)};
        pw_loop_update_timer(loop, timer, &value, nullptr, false);
    }
    watch.context = pw_context_new(loop, nullptr, 0);
    if (watch.context == nullptr) {
        std::fprintf(stderr, "quillora_graph_watch: no context\n");
        return 1;
    }
    pw_context_load_module(watch.context, PW_EXTENSION_MODULE_PROFILER, nullptr, nullptr);
    watch.core = pw_context_connect(watch.context, nullptr, 0);
    if (watch.core == nullptr) {
        std::fprintf(stderr, "quillora_graph_watch: cannot connect to PipeWire\n");
        return 1;
    }
    watch.registry = pw_core_get_registry(watch.core, PW_VERSION_REGISTRY, 0);
    pw_registry_add_listener(watch.registry, &watch.registryListener, &registryEvents, &watch);
    watch.started = watch.lastSummary = now();
    pw_main_loop_run(watch.loop);
    printSummary(watch);

    if (watch.profiler != nullptr) {
        spa_hook_remove(&watch.profilerListener);
        pw_proxy_destroy(watch.profiler);
    }
    spa_hook_remove(&watch.registryListener);
    pw_proxy_destroy(reinterpret_cast<pw_proxy*>(watch.registry));
    pw_core_disconnect(watch.core);
    pw_context_destroy(watch.context);
    pw_main_loop_destroy(watch.loop);
    pw_deinit();
    return 0;
}
