#pragma once

#include <string>
#include <vector>

// A diagnostic that tries each way of capturing the microphone and the system audio on this machine and
// reports, line by line, the statuses and how many capture callbacks arrived. Blocks for about 14 s;
// everything it creates it destroys before returning.
namespace Probe {

std::vector<std::string> run();

// How long each measurement listens and how long an aggregate settles before it; tests shorten them.
struct Timing {
    double measureSeconds = 1.5;
    double settleSeconds = 0.3;
};
std::vector<std::string> run(const Timing& timing);

} // namespace Probe
