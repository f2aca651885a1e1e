// Click trains for a long recording on the sandbox, and the measurement of what came out.
//
//   quillora_click_alignment clicks SECONDS CHANNELS PHASE_S [left]
//       writes raw 32-bit float samples at 48 kHz to standard output: one single-sample click
//       of 0.8 every second, PHASE_S into each second; with "left", on the first channel only.
//   quillora_click_alignment analyse DEBUG_DIR RECORDING.m4a [WALL_SECONDS]
//       finds the microphone's clicks and the far end's clicks in the debug tracks (mic.wav, system.wav)
//       and in the recording, pairs them whatever fraction of a second lies between the players' starts,
//       and prints separately the cycles lost (both sides' clicks moved at once), the drift between the
//       sides (steps of one side's player left out), the intervals between clicks and the lengths. Exits 1
//       on a lost cycle, on a drift of more than 1 ms, or when the recording is not as long as the wall
//       time.
//
// In the recording the microphone sits in the centre and the far end's click is on the left only, so the
// right channel has the microphone's clicks alone and left minus right the far end's alone.

#include "MediaTestSupport.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr int kRate = 48000;
constexpr float kClick = 0.8f;
constexpr double kMaxDriftMs = 1.0;
constexpr double kMaxLengthErrorS = 0.1;

int writeClicks(double seconds, int channels, double phase, bool leftOnly) {
    const auto total = static_cast<long long>(seconds * kRate);
    const auto offset = static_cast<long long>(phase * kRate) % kRate;
    std::vector<float> second(static_cast<std::size_t>(kRate) * static_cast<std::size_t>(channels), 0.0f);
    for (int c = 0; c < channels; ++c) {
        if (!leftOnly || c == 0) {
            second[static_cast<std::size_t>(offset * channels + c)] = kClick;
        }
    }
    for (long long done = 0; done < total; done += kRate) {
        const auto frames = static_cast<std::size_t>(std::min<long long>(kRate, total - done));
        if (std::fwrite(second.data(), sizeof(float) * static_cast<std::size_t>(channels), frames, stdout) !=
            frames) {
            return 1; // the player has gone
        }
    }
    return std::fflush(stdout) == 0 ? 0 : 1;
}

// Click positions in samples, to a fraction of a sample: the largest magnitude within 2 ms of a crossing
// of `threshold`, refined by a parabola through it and its neighbours; then nothing for `quietS`.
std::vector<double> findClicks(const std::vector<float>& samples, float threshold, double quietS = 0.3) {
    std::vector<double> clicks;
    const std::size_t window = kRate / 500;
    const auto quiet = static_cast<std::size_t>(quietS * kRate);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        if (std::fabs(samples[i]) < threshold) {
            continue;
        }
        std::size_t peak = i;
        for (std::size_t j = i; j < std::min(samples.size(), i + window); ++j) {
            if (std::fabs(samples[j]) > std::fabs(samples[peak])) {
                peak = j;
            }
        }
        double position = static_cast<double>(peak);
        if (peak > 0 && peak + 1 < samples.size()) {
            const double a = std::fabs(samples[peak - 1]);
            const double b = std::fabs(samples[peak]);
            const double c = std::fabs(samples[peak + 1]);
            const double curvature = a - 2 * b + c;
            if (curvature < 0) {
                position += 0.5 * (a - c) / curvature;
            }
        }
        clicks.push_back(position);
        i = peak + quiet;
    }
    return clicks;
}

float relativeThreshold(const std::vector<float>& samples, float fraction) {
    float peak = 0;
    for (const float sample : samples) {
        peak = std::max(peak, std::fabs(sample));
    }
    return peak * fraction;
}

std::optional<double> nearest(const std::vector<double>& clicks, double position) {
    const auto after = std::lower_bound(clicks.begin(), clicks.end(), position);
    std::optional<double> best;
    if (after != clicks.end()) {
        best = *after;
    }
    if (after != clicks.begin() && (!best || position - *(after - 1) < *best - position)) {
        best = *(after - 1);
    }
    return best;
}

// A place where the clicks of one side are not a whole second apart: that side's timeline moved (its
// player fell behind, or the recording lost or gained audio there).
struct Irregularity {
    double atS = 0;
    double samples = 0; // interval - one second
};

struct Alignment {
    std::size_t micClicks = 0;
    std::size_t farClicks = 0;
    std::size_t pairs = 0;
    double firstMs = 0;
    double lastMs = 0;
    double firstAtS = 0;
    double lastAtS = 0;
    // The slow change of the offset between the sides: the sum of its changes from pair to pair, steps of
    // whole cycles (one side's timeline moved) left out.
    double driftMs = 0;
    std::size_t offsetSteps = 0;
    std::vector<Irregularity> irregularMic;
    std::vector<Irregularity> irregularFar;
};

std::vector<Irregularity> irregularIntervals(const std::vector<double>& clicks, double toleranceSamples) {
    std::vector<Irregularity> found;
    for (std::size_t i = 1; i < clicks.size(); ++i) {
        const double interval = clicks[i] - clicks[i - 1];
        if (std::fabs(interval - kRate) > toleranceSamples) {
            found.push_back({clicks[i] / kRate, interval - kRate});
        }
    }
    return found;
}

// Where, within its second, the far end's click falls after the microphone's at the start: the players
// start when they start, so any fraction of a second is possible. Taken from the first microphone click
// that has a far-end click after it; the pairing follows the offset from there on as it moves.
double startingOffset(const std::vector<double>& mic, const std::vector<double>& far) {
    for (const double click : mic) {
        const auto after = std::lower_bound(far.begin(), far.end(), click);
        if (after != far.end()) {
            return std::fmod(*after - click, static_cast<double>(kRate));
        }
    }
    return 0;
}

// Pairs every microphone click with the far-end click nearest to where the previous pair says it should
// be (the first pair: at the starting offset), so that a shift of a few milliseconds shows as a change of
// offset rather than as a different partner.
Alignment align(const std::vector<double>& mic, const std::vector<double>& far, double toleranceSamples) {
    constexpr double kStepMs = 5.0; // a change of offset this large from one pair to the next is a step
    Alignment result;
    result.micClicks = mic.size();
    result.farClicks = far.size();
    result.irregularMic = irregularIntervals(mic, toleranceSamples);
    result.irregularFar = irregularIntervals(far, toleranceSamples);
    double expected = startingOffset(mic, far);
    for (const double click : mic) {
        const auto partner = nearest(far, click + expected);
        if (!partner || std::fabs(*partner - (click + expected)) > kRate * 0.4) {
            continue;
        }
        const double offsetMs = (*partner - click) * 1000.0 / kRate;
        if (result.pairs == 0) {
            result.firstMs = offsetMs;
            result.firstAtS = click / kRate;
        } else if (std::fabs(offsetMs - result.lastMs) < kStepMs) {
            result.driftMs += offsetMs - result.lastMs;
        } else {
            ++result.offsetSteps;
        }
        expected = *partner - click;
        result.lastMs = offsetMs;
        result.lastAtS = click / kRate;
        ++result.pairs;
    }
    return result;
}

// Whether the other side moved by the same amount within the same second.
bool alsoOn(const std::vector<Irregularity>& others, const Irregularity& one) {
    return std::any_of(others.begin(), others.end(), [&](const Irregularity& other) {
        return std::fabs(other.atS - one.atS) < 1.0 && std::fabs(other.samples - one.samples) < 2.0;
    });
}

// Clicks that come early are audio missing between that side's player and the recording (a player that
// falls behind only ever makes its clicks late): whole cycles the capture or the graph lost. Both sides at
// once is the capture's node (or the whole graph) skipping cycles; one side alone, cycles that side's part
// of the graph skipped before the capture.
struct Lost {
    std::size_t both = 0;
    std::size_t micOnly = 0;
    std::size_t farOnly = 0;
    double samples = 0; // missing from the recording's timeline (both sides at once counted once)

    std::size_t holes() const { return both + micOnly + farOnly; }
};

Lost lostAudio(const Alignment& a) {
    Lost lost;
    for (const Irregularity& one : a.irregularMic) {
        if (one.samples < -0.5) {
            ++(alsoOn(a.irregularFar, one) ? lost.both : lost.micOnly);
            lost.samples -= one.samples;
        }
    }
    for (const Irregularity& one : a.irregularFar) {
        if (one.samples < -0.5 && !alsoOn(a.irregularMic, one)) {
            ++lost.farOnly;
            lost.samples -= one.samples;
        }
    }
    return lost;
}

const char* cause(const Irregularity& one, const std::vector<Irregularity>& others) {
    const bool both = alsoOn(others, one);
    if (one.samples < 0) {
        return both ? "audio missing on both sides (cycles the capture or the whole graph lost)"
                    : "audio missing on this side (cycles lost between its player and the capture)";
    }
    return both ? "late on both sides (both players, or audio doubled)" : "late on this side (its player)";
}

void printIrregularities(const char* side, const std::vector<Irregularity>& mine,
                         const std::vector<Irregularity>& others) {
    for (const Irregularity& one : mine) {
        std::printf("    %s clicks moved by %+.1f samples (%+.3f ms) at %.3f s: %s\n", side, one.samples,
                    one.samples * 1000.0 / kRate, one.atS, cause(one, others));
    }
}

void print(const char* source, const Alignment& a) {
    std::printf("%s: %zu microphone clicks, %zu far-end clicks, %zu pairs from %.3f s to %.3f s\n", source,
                a.micClicks, a.farClicks, a.pairs, a.firstAtS, a.lastAtS);
    const Lost lost = lostAudio(a);
    std::printf(
        "  lost cycles: %zu holes (both sides %zu, microphone only %zu, far end only %zu), %.1f samples "
        "(%.3f ms, %.2f cycles of 1024)\n",
        lost.holes(), lost.both, lost.micOnly, lost.farOnly, lost.samples, lost.samples * 1000.0 / kRate,
        lost.samples / 1024.0);
    std::printf("  drift: %+.3f ms (far end - microphone: first %.3f ms, last %.3f ms, %zu steps of one side "
                "left out)\n",
                a.driftMs, a.firstMs, a.lastMs, a.offsetSteps);
    std::printf("  intervals that are not a whole second: microphone %zu, far end %zu\n",
                a.irregularMic.size(), a.irregularFar.size());
    printIrregularities("microphone", a.irregularMic, a.irregularFar);
    printIrregularities("far-end", a.irregularFar, a.irregularMic);
}

bool sound(const Alignment& a) {
    return a.pairs > 0 && std::fabs(a.driftMs) <= kMaxDriftMs && lostAudio(a).holes() == 0;
}

int analyse(const std::filesystem::path& debugDir, const std::filesystem::path& recording,
            std::optional<double> wallSeconds) {
    bool ok = true;

    const DecodedAudio micTrack = decodeAudioFile(debugDir / "mic.wav");
    const DecodedAudio systemTrack = decodeAudioFile(debugDir / "system.wav");
    const auto micClicks = findClicks(micTrack.channels.at(0), kClick / 2);
    const auto farClicks = findClicks(systemTrack.channels.at(0), kClick / 2);
    const Alignment raw = align(micClicks, farClicks, 0.01);
    print("debug tracks (unprocessed)", raw);
    ok = ok && sound(raw);

    const DecodedAudio mixed = decodeAudioFile(recording);
    if (mixed.channelCount != 2) {
        std::fprintf(stderr, "%s: expected stereo\n", recording.c_str());
        return 1;
    }
    // The microphone is the same on both sides, the far end's click on the left only: left minus right
    // is the far end alone.
    std::vector<float> farEnd(mixed.frames());
    for (std::size_t i = 0; i < farEnd.size(); ++i) {
        farEnd[i] = mixed.channels[0][i] - mixed.channels[1][i];
    }
    const auto micInMix = findClicks(mixed.channels[1], relativeThreshold(mixed.channels[1], 0.25f));
    // The encoder does not keep left and right exactly equal: what is left of a microphone click in the
    // difference is not a far-end click.
    std::vector<double> farInMix;
    for (const double click : findClicks(farEnd, relativeThreshold(farEnd, 0.25f), 0.02)) {
        const auto mic = nearest(micInMix, click);
        if (!mic || std::fabs(*mic - click) > kRate * 0.003) {
            farInMix.push_back(click);
        }
    }
    const Alignment encoded = align(micInMix, farInMix, 2.0);
    print("recording (.m4a)", encoded);
    ok = ok && sound(encoded);

    std::printf("lengths: recording %.3f s (%zu frames), mic.wav %.3f s, system.wav %.3f s\n",
                mixed.seconds(), mixed.frames(), micTrack.seconds(), systemTrack.seconds());
    if (wallSeconds) {
        const double difference = mixed.seconds() - *wallSeconds;
        std::printf("wall time %.3f s: recording %+.3f s\n", *wallSeconds, difference);
        ok = ok && std::fabs(difference) <= kMaxLengthErrorS;
    }
    std::printf("%s\n", ok ? "PASS" : "FAIL");
    return ok ? 0 : 1;
}

int usage() {
    std::fprintf(stderr, "usage: quillora_click_alignment clicks SECONDS CHANNELS PHASE_S [left]\n"
                         "       quillora_click_alignment analyse DEBUG_DIR RECORDING.m4a [WALL_SECONDS]\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    try {
        if (args.size() >= 4 && args[0] == "clicks") {
            return writeClicks(std::stod(args[1]), std::stoi(args[2]), std::stod(args[3]),
                               args.size() > 4 && args[4] == "left");
        }
        if (args.size() >= 3 && args[0] == "analyse") {
            std::optional<double> wall;
            if (args.size() > 3) {
                wall = std::stod(args[3]);
            }
            return analyse(args[1], args[2], wall);
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "quillora_click_alignment: %s\n", error.what());
        return 1;
    }
    return usage();
}
