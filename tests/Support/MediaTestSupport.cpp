#include "MediaTestSupport.h"

#include "Platform/Media/FfmpegSupport.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iterator>
#include <memory>
#include <numbers>
#include <stdexcept>
#include <unistd.h>

namespace {

using namespace Ffmpeg;

void check(int status, const std::string& what) {
    if (status < 0) {
        throw std::runtime_error(what + ": " + errorText(status));
    }
}

void appendFrame(const AVFrame& frame, DecodedAudio& out) {
    const int channels = frame.ch_layout.nb_channels;
    for (int c = 0; c < channels; ++c) {
        auto& target = out.channels[static_cast<std::size_t>(c)];
        for (int i = 0; i < frame.nb_samples; ++i) {
            switch (frame.format) {
            case AV_SAMPLE_FMT_FLTP:
                target.push_back(reinterpret_cast<const float*>(frame.extended_data[c])[i]);
                break;
            case AV_SAMPLE_FMT_FLT:
                target.push_back(reinterpret_cast<const float*>(frame.extended_data[0])[i * channels + c]);
                break;
            default:
                throw std::runtime_error("unexpected decoded sample format");
            }
        }
    }
}

} // namespace

DecodedAudio decodeAudioFile(const std::filesystem::path& path) {
    AVFormatContext* raw = nullptr;
    check(avformat_open_input(&raw, path.c_str(), nullptr, nullptr), "open " + path.string());
    InputContextPtr input(raw);
    check(avformat_find_stream_info(input.get(), nullptr), "stream info");
    const int streamIndex = av_find_best_stream(input.get(), AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    check(streamIndex, "audio stream");
    const AVStream* stream = input->streams[streamIndex];
    const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
    if (codec == nullptr) {
        throw std::runtime_error("no decoder");
    }
    CodecContextPtr decoder(avcodec_alloc_context3(codec));
    check(avcodec_parameters_to_context(decoder.get(), stream->codecpar), "decoder parameters");
    check(avcodec_open2(decoder.get(), codec, nullptr), "open decoder");

    DecodedAudio out;
    out.codecName = codec->name;
    out.sampleRate = decoder->sample_rate;
    out.channelCount = decoder->ch_layout.nb_channels;
    out.channels.resize(static_cast<std::size_t>(out.channelCount));

    PacketPtr packet(av_packet_alloc());
    FramePtr frame(av_frame_alloc());
    const auto drain = [&] {
        for (;;) {
            const int status = avcodec_receive_frame(decoder.get(), frame.get());
            if (status == endOfFile() || status == tryAgain()) {
                return;
            }
            check(status, "decode");
            appendFrame(*frame, out);
            av_frame_unref(frame.get());
        }
    };
    for (;;) {
        const int status = av_read_frame(input.get(), packet.get());
        if (status < 0) {
            break; // end of file, or the truncated tail of a killed recording
        }
        if (packet->stream_index == streamIndex) {
            out.packetBytes += packet->size;
            check(avcodec_send_packet(decoder.get(), packet.get()), "send packet");
            drain();
        }
        av_packet_unref(packet.get());
    }
    check(avcodec_send_packet(decoder.get(), nullptr), "flush decoder");
    drain();
    return out;
}

bool containsMovieFragments(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    return bytes.find("moof") != std::string::npos;
}

std::vector<float> sine(std::size_t count, double frequency, double sampleRate, float amplitude,
                        std::size_t offset) {
    std::vector<float> out(count);
    for (std::size_t i = 0; i < count; ++i) {
        out[i] = amplitude * static_cast<float>(std::sin(2 * std::numbers::pi * frequency *
                                                         static_cast<double>(offset + i) / sampleRate));
    }
    return out;
}

double toneAmplitude(const std::vector<float>& samples, std::size_t begin, std::size_t length,
                     double frequency, double sampleRate) {
    const double coefficient = 2 * std::cos(2 * std::numbers::pi * frequency / sampleRate);
    double s1 = 0;
    double s2 = 0;
    std::size_t counted = 0;
    for (std::size_t i = begin; i < begin + length && i < samples.size(); ++i, ++counted) {
        const double s0 = samples[i] + coefficient * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    if (counted == 0) {
        return 0;
    }
    const double power = s1 * s1 + s2 * s2 - coefficient * s1 * s2;
    return 2 * std::sqrt(std::max(0.0, power)) / static_cast<double>(counted);
}

double peak(const std::vector<float>& samples, std::size_t begin, std::size_t end) {
    double result = 0;
    for (std::size_t i = begin; i < std::min(end, samples.size()); ++i) {
        result = std::max(result, static_cast<double>(std::fabs(samples[i])));
    }
    return result;
}

ToneFit fitTone(const std::vector<float>& samples, std::size_t begin, std::size_t end, double frequency,
                double sampleRate) {
    // Normal equations for x ~ a sin + b cos + c, solved by Cramer's rule (3 x 3).
    double ss = 0, sc = 0, cc = 0, s1 = 0, c1 = 0, n = 0, xs = 0, xc = 0, x1 = 0;
    const double w = 2 * std::numbers::pi * frequency / sampleRate;
    for (std::size_t i = begin; i < end; ++i) {
        const double si = std::sin(w * static_cast<double>(i));
        const double ci = std::cos(w * static_cast<double>(i));
        const double x = samples[i];
        ss += si * si, sc += si * ci, cc += ci * ci, s1 += si, c1 += ci, n += 1;
        xs += x * si, xc += x * ci, x1 += x;
    }
    const auto det3 = [](double a, double b, double c, double d, double e, double f, double g, double h,
                         double k) {
        return a * (e * k - f * h) - b * (d * k - f * g) + c * (d * h - e * g);
    };
    const double det = det3(ss, sc, s1, sc, cc, c1, s1, c1, n);
    const double a = det3(xs, sc, s1, xc, cc, c1, x1, c1, n) / det;
    const double b = det3(ss, xs, s1, sc, xc, c1, s1, x1, n) / det;
    const double c = det3(ss, sc, xs, sc, cc, xc, s1, c1, x1) / det;
    ToneFit fit;
    fit.amplitude = std::hypot(a, b);
    double sum = 0;
    for (std::size_t i = begin; i < end; ++i) {
        const double model =
            a * std::sin(w * static_cast<double>(i)) + b * std::cos(w * static_cast<double>(i)) + c;
        const double r = samples[i] - model;
        sum += r * r;
        fit.maxResidual = std::max(fit.maxResidual, std::fabs(r));
    }
    fit.residualRms = end > begin ? std::sqrt(sum / static_cast<double>(end - begin)) : 0;
    return fit;
}

int bestLag(const std::vector<float>& reference, const std::vector<float>& observed, std::size_t begin,
            std::size_t length, int maxLag) {
    int best = 0;
    double bestScore = -2;
    for (int lag = -maxLag; lag <= maxLag; ++lag) {
        const auto first = static_cast<std::ptrdiff_t>(begin) + lag;
        if (first < 0 || static_cast<std::size_t>(first) + length > observed.size() ||
            begin + length > reference.size()) {
            continue; // only shifts at which the whole stretch can be compared
        }
        double dot = 0, energyRef = 0, energyObs = 0;
        for (std::size_t i = begin; i < begin + length; ++i) {
            const auto j = static_cast<std::ptrdiff_t>(i) + lag;
            const double r = reference[i];
            const double o = observed[static_cast<std::size_t>(j)];
            dot += r * o, energyRef += r * r, energyObs += o * o;
        }
        const double score = energyRef > 0 && energyObs > 0 ? dot / std::sqrt(energyRef * energyObs) : -1;
        if (score > bestScore) {
            bestScore = score;
            best = lag;
        }
    }
    return best;
}

TemporaryDirectory::TemporaryDirectory() {
    std::string pattern = (std::filesystem::temp_directory_path() / "quillora-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = pattern;
}

TemporaryDirectory::~TemporaryDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}
