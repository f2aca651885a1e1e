#pragma once

// Which links a capture node needs right now: the leading device's capture ports into the node's first
// inputs, and every application's playback into each tap's two inputs. Pure: computed from the registry
// cache, so that the routing rules are testable without a server.

#include "Platform/Audio/PipeWire/RegistryCache.h"

#include <compare>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace PipeWireBackend {

struct PortPair {
    uint32_t outputPort = 0;
    uint32_t inputPort = 0;

    auto operator<=>(const PortPair&) const = default;
};

struct CaptureLayout {
    struct Tap {
        bool includeOnly = false; // true: only `pids`; false: everyone but `pids`
        std::set<int32_t> pids;
        std::string leftPort; // the capture node's input port names
        std::string rightPort;
    };

    uint32_t filterNodeId = 0;
    std::string leadingUid;                // node.name of the leading device; empty for none
    std::vector<std::string> leadingPorts; // the capture node's inputs for it, in channel order
    std::vector<Tap> taps;
};

// Where a playback channel goes in a stereo tap.
enum class TapSide { none, left, right, both };
TapSide tapSideOf(std::string_view channel);

std::set<PortPair> planCaptureLinks(const RegistryCache& cache, const CaptureLayout& layout);

} // namespace PipeWireBackend
