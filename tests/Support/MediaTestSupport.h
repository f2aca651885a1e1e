#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

// Shared helpers of the test programs: decoding what was written, measuring tones, scratch folders.

// A whole audio file decoded with FFmpeg to float, one array per channel, for checking what was written.
struct DecodedAudio {
    std::string codecName; // e.g. "aac", "pcm_f32le"
    int sampleRate = 0;
    int channelCount = 0;
    int64_t packetBytes = 0; // compressed payload, for the bit rate
    std::vector<std::vector<float>> channels;

    std::size_t frames() const { return channels.empty() ? 0 : channels.front().size(); }
    double seconds() const { return sampleRate > 0 ? static_cast<double>(frames()) / sampleRate : 0; }
    double payloadBitRate() const { return seconds() > 0 ? packetBytes * 8.0 / seconds() : 0; }
};

// Throws std::runtime_error when the file cannot be opened or decoded. Decoding stops quietly at a
// truncated end (what a killed writer leaves behind).
DecodedAudio decodeAudioFile(const std::filesystem::path& path);

// True when the file contains a movie-fragment box (a fragmented MP4).
bool containsMovieFragments(const std::filesystem::path& path);

// amplitude * sin(2 pi frequency (offset + i) / sampleRate) for i in [0, count).
std::vector<float> sine(std::size_t count, double frequency, double sampleRate, float amplitude,
                        std::size_t offset = 0);

// Least-squares fit of a sinusoid of the given frequency (plus a constant) to samples[begin, end).
// A wrong pitch, a dropped or repeated sample or a click all show up in the residual.
struct ToneFit {
    double amplitude = 0;
    double residualRms = 0; // RMS of what the sinusoid does not explain
    double maxResidual = 0; // largest single deviation
};
ToneFit fitTone(const std::vector<float>& samples, std::size_t begin, std::size_t end, double frequency,
                double sampleRate);

// Amplitude of one frequency in samples[begin, begin + length) (Goertzel; the range is cut at the end of
// the samples): a full-scale sine reads about 1, an empty range 0.
double toneAmplitude(const std::vector<float>& samples, std::size_t begin, std::size_t length,
                     double frequency, double sampleRate);

// Largest absolute sample in samples[begin, end) (the range is cut at the end of the samples).
double peak(const std::vector<float>& samples, std::size_t begin = 0, std::size_t end = SIZE_MAX);

// The shift (observed index - reference index) within [-maxLag, maxLag], where the whole stretch
// reference[begin, begin + length) exists in both, at which observed best matches it (cross-correlation).
int bestLag(const std::vector<float>& reference, const std::vector<float>& observed, std::size_t begin,
            std::size_t length, int maxLag);

// A fresh folder under the system's temporary folder, removed with everything in it.
class TemporaryDirectory {
public:
    TemporaryDirectory();
    ~TemporaryDirectory();
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};
