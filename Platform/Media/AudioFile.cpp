#include "Platform/Media/AudioFile.h"

#include "Platform/Media/Mp4AacWriter.h"
#include "Platform/Media/WavWriter.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <limits>

namespace {

enum class Container { mp4Aac, wav };

std::string quoted(const std::filesystem::path& path) {
    return "\"" + path.string() + "\"";
}

Container containerFor(const std::filesystem::path& path, const AudioFileSettings& settings) {
    std::string extension = path.extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (extension == ".m4a" || extension == ".mp4") {
        if (settings.formatID != AudioFileSettings::formatMPEG4AAC) {
            throw MediaError("Il file " + quoted(path) + " richiede il formato AAC");
        }
        return Container::mp4Aac;
    }
    if (extension == ".wav") {
        if (settings.formatID != AudioFileSettings::formatLinearPCM || settings.bitDepth != 32 ||
            !settings.isFloat) {
            throw MediaError("Il file " + quoted(path) + " richiede PCM lineare a 32 bit in virgola mobile");
        }
        return Container::wav;
    }
    throw MediaError("Tipo di file audio non supportato: " + quoted(path));
}

// Shortest text that reads back as the same value, with a dot whatever the locale.
std::string rateText(double sampleRate) {
    char text[64];
    const auto result = std::to_chars(std::begin(text), std::end(text), sampleRate);
    return std::string(text, result.ptr);
}

// Containers store whole hertz; a fractional rate would silently change the pitch.
int wholeRate(const std::filesystem::path& path, double sampleRate) {
    if (!(sampleRate >= 1 && sampleRate <= 1'000'000) || std::floor(sampleRate) != sampleRate) {
        throw MediaError("Frequenza di campionamento non valida per " + quoted(path) + ": " +
                         rateText(sampleRate));
    }
    return static_cast<int>(sampleRate);
}

AudioFormat processingFormatFor(const std::filesystem::path& path, const AudioFileSettings& settings) {
    wholeRate(path, settings.sampleRate);
    const auto format = AudioFormat::standard(settings.sampleRate, settings.channelCount);
    if (!format || settings.channelCount > 8) {
        throw MediaError("Numero di canali non valido per " + quoted(path) + ": " +
                         std::to_string(settings.channelCount));
    }
    return *format;
}

} // namespace

AudioFile::AudioFile(const std::filesystem::path& path, const AudioFileSettings& settings)
    : path_(path), processingFormat_(processingFormatFor(path, settings)) {
    const int rate = wholeRate(path, settings.sampleRate);
    switch (containerFor(path, settings)) {
    case Container::mp4Aac:
        writer_ = std::make_unique<Mp4AacWriter>(path, rate, static_cast<int>(settings.channelCount),
                                                 settings.encoderBitRate);
        break;
    case Container::wav:
        writer_ = std::make_unique<WavWriter>(path, static_cast<uint32_t>(rate),
                                              static_cast<uint16_t>(settings.channelCount));
        break;
    }
}

AudioFile::~AudioFile() {
    try {
        finish();
    } catch (...) {
        // Releasing must not throw; whatever reached the disk stays readable.
    }
}

void AudioFile::write(const PcmBuffer& buffer) {
    if (finished_) {
        throw MediaError("Il file audio " + quoted(path_) + " è già chiuso");
    }
    if (!(buffer.format() == processingFormat_)) {
        throw MediaError("Formato del blocco diverso da quello del file " + quoted(path_));
    }
    if (buffer.frameLength() == 0) {
        return;
    }
    writer_->write(buffer.floatChannelData(), buffer.frameLength());
    framesWritten_ += buffer.frameLength();
}

void AudioFile::finish() {
    if (finished_) {
        return;
    }
    // Not retried: a half-done finish must not be repeated on top of itself.
    finished_ = true;
    writer_->finish();
}
