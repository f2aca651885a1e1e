#include "Platform/Audio/PipeWire/CaptureRouting.h"

#include <algorithm>
#include <array>

namespace PipeWireBackend {

TapSide tapSideOf(std::string_view channel) {
    static constexpr std::array<std::string_view, 11> left = {"FL",  "SL",  "RL",  "FLC", "RLC", "FLW",
                                                              "FLH", "TFL", "TRL", "TSL", "TFLC"};
    static constexpr std::array<std::string_view, 11> right = {"FR",  "SR",  "RR",  "FRC", "RRC", "FRW",
                                                               "FRH", "TFR", "TRR", "TSR", "TFRC"};
    if (std::find(left.begin(), left.end(), channel) != left.end()) {
        return TapSide::left;
    }
    if (std::find(right.begin(), right.end(), channel) != right.end()) {
        return TapSide::right;
    }
    if (channel == "LFE" || channel == "LFE2") {
        return TapSide::none;
    }
    // MONO, centre channels and anything unnamed belong to both sides.
    return TapSide::both;
}

namespace {

void planLeadingDevice(const RegistryCache& cache, const CaptureLayout& layout, std::set<PortPair>& links) {
    if (layout.leadingUid.empty() || layout.leadingPorts.empty()) {
        return;
    }
    const Node* device = cache.deviceByUid(layout.leadingUid);
    if (device == nullptr || !device->isSourceLike()) {
        return;
    }
    const bool skipMonitors = device->mediaClass() == "Audio/Duplex";
    std::size_t index = 0;
    for (const Port* port : cache.portsOf(device->globalId, PortDirection::output)) {
        if (!port->audio || (skipMonitors && port->monitor)) {
            continue;
        }
        if (index >= layout.leadingPorts.size()) {
            break;
        }
        const Port* input =
            cache.portNamed(layout.filterNodeId, PortDirection::input, layout.leadingPorts[index]);
        ++index;
        if (input != nullptr) {
            links.insert({port->globalId, input->globalId});
        }
    }
}

void planTap(const RegistryCache& cache, const CaptureLayout& layout, const CaptureLayout::Tap& tap,
             std::set<PortPair>& links) {
    const Port* left = cache.portNamed(layout.filterNodeId, PortDirection::input, tap.leftPort);
    const Port* right = cache.portNamed(layout.filterNodeId, PortDirection::input, tap.rightPort);
    if (left == nullptr || right == nullptr) {
        return;
    }
    for (const auto& [globalId, node] : cache.nodes()) {
        if (node.mediaClass() != "Stream/Output/Audio" || cache.isOwnNode(node) || cache.feedsASource(node) ||
            cache.playsOnASink(node)) {
            continue;
        }
        const auto pid = cache.pidOfNode(node);
        const bool listed = pid && tap.pids.contains(*pid);
        if (listed == !tap.includeOnly) {
            continue;
        }
        for (const Port* port : cache.portsOf(globalId, PortDirection::output)) {
            if (!port->audio) {
                continue;
            }
            const TapSide side = tapSideOf(port->channel);
            if (side == TapSide::left || side == TapSide::both) {
                links.insert({port->globalId, left->globalId});
            }
            if (side == TapSide::right || side == TapSide::both) {
                links.insert({port->globalId, right->globalId});
            }
        }
    }
}

} // namespace

std::set<PortPair> planCaptureLinks(const RegistryCache& cache, const CaptureLayout& layout) {
    std::set<PortPair> links;
    if (cache.node(layout.filterNodeId) == nullptr) {
        return links;
    }
    planLeadingDevice(cache, layout, links);
    for (const CaptureLayout::Tap& tap : layout.taps) {
        planTap(cache, layout, tap, links);
    }
    return links;
}

} // namespace PipeWireBackend
