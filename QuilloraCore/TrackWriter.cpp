#include "QuilloraCore/TrackWriter.h"

#include "QuilloraCore/CoreAudioHelpers.h"
#include "QuilloraCore/Diagnostics.h"

#include "Platform/Files/PrivateFiles.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>

namespace {

// 'what': the audio system's unspecified error, used for the writer's own buffer and conversion failures.
constexpr int32_t unspecifiedError = 0x77686174;

constexpr double recordingSampleRate = 48000.0;

AudioFileSettings recordingSettings() {
    AudioFileSettings settings;
    settings.formatID = AudioFileSettings::formatMPEG4AAC;
    settings.sampleRate = recordingSampleRate;
    settings.channelCount = 2;
    settings.encoderBitRate = 160000;
    return settings;
}

AudioFileSettings debugTrackSettings(double sampleRate, uint32_t channelCount) {
    AudioFileSettings settings;
    settings.formatID = AudioFileSettings::formatLinearPCM;
    settings.sampleRate = sampleRate;
    settings.channelCount = channelCount;
    settings.bitDepth = 32;
    settings.isFloat = true;
    return settings;
}

CoreAudioError bufferError() {
    return CoreAudioError("Preparazione del buffer audio", unspecifiedError);
}
CoreAudioError conversionError() {
    return CoreAudioError("Conversione della frequenza di campionamento", unspecifiedError);
}

} // namespace

TrackWriter::TrackWriter(const std::filesystem::path& outputURL,
                         std::optional<std::filesystem::path> debugDirectory,
                         std::shared_ptr<LevelMeter> meter)
    : meter_(std::move(meter)) {
    if (outputURL.has_parent_path()) {
        PrivateFiles::createFolders(outputURL.parent_path());
    }
    file_ = std::make_unique<AudioFile>(outputURL, recordingSettings());
    debugDirectory_ = std::move(debugDirectory);
    if (debugDirectory_) {
        PrivateFiles::createFolders(*debugDirectory_);
    }
}

TrackWriter::~TrackWriter() {
    try {
        finishConversion();
    } catch (...) {
        // The last few milliseconds could not be written; the file is still finished below.
    }
    file_.reset();
    micFile_.reset();
    systemFile_.reset();
    converter_.reset();
}

void TrackWriter::write(const Mixer::Channels& mic, const Mixer::Channels& system, int frameCount,
                        double sampleRate) {
    if (file_ == nullptr || frameCount <= 0 || !(sampleRate > 0)) {
        return;
    }
    const bool hasMic = !mic.empty();
    const Mixer::Channel mono = Mixer::downmixToMono(mic, frameCount);
    const Mixer::Stereo call = Mixer::toStereo(system, frameCount);

    const auto [monoRMS, leftRMS, rightRMS] = Mixer::rms3(mono, call.left, call.right);
    const float micRMS = hasMic ? monoRMS : 0.0f;
    const float systemRMS = std::max(leftRMS, rightRMS);

    if (sampleRate != lastRate_ && lastRate_ > 0) {
        // Whole hertz in practice; printed as an integer, whatever the locale.
        Diagnostics::log("Frequenza della cattura cambiata: " + std::to_string(std::llround(lastRate_)) +
                         " -> " + std::to_string(std::llround(sampleRate)) + " Hz");
    }
    lastRate_ = sampleRate;
    stats_.micPeakRMS = std::max(stats_.micPeakRMS, micRMS);
    stats_.systemPeakRMS = std::max(stats_.systemPeakRMS, systemRMS);
    stats_.seconds += frameCount / sampleRate;
    stats_.hadMicrophone = stats_.hadMicrophone || hasMic;

    Mixer::Channel voice;
    float levelledRMS = 0;
    if (hasMic) {
        voice = leveler_.process(mono, monoRMS, systemRMS, sampleRate, &levelledRMS);
    }
    if (meter_ != nullptr) {
        meter_->update(levelledRMS, systemRMS, leveler_.gain());
    }

    // Mixed straight into the buffer the file takes, kept from block to block.
    PcmBuffer& buffer = mixBuffer(static_cast<uint32_t>(frameCount), sampleRate);
    Mixer::mixInto(hasMic ? &voice : nullptr, call, 1.0f, 1.0f, buffer.channel(0), buffer.channel(1));
    if (sampleRate == recordingSampleRate) {
        finishConversion(); // back at the file's own rate after a stretch at another one
        file_->write(buffer);
    } else {
        file_->write(resample(buffer, file_->processingFormat()));
    }

    if (debugDirectory_) {
        writeDebug(mono, call, sampleRate, *debugDirectory_);
    }
}

PcmBuffer& TrackWriter::mixBuffer(uint32_t frames, double sampleRate) {
    if (!mixBuffer_ || mixBuffer_->format().sampleRate() != sampleRate ||
        mixBuffer_->frameCapacity() < frames) {
        const auto format = AudioFormat::standard(sampleRate, 2);
        if (!format) {
            throw bufferError();
        }
        mixBuffer_ = PcmBuffer::make(*format, frames);
        if (!mixBuffer_) {
            throw bufferError();
        }
    }
    mixBuffer_->setFrameLength(frames);
    return *mixBuffer_;
}

PcmBuffer TrackWriter::makeBuffer(const Mixer::Channels& channels, double sampleRate) const {
    if (channels.size() > std::numeric_limits<uint32_t>::max()) {
        throw bufferError();
    }
    const std::size_t frames = channels.empty() ? 0 : channels.front().size();
    if (frames > std::numeric_limits<uint32_t>::max()) {
        throw bufferError();
    }
    const auto format = AudioFormat::standard(sampleRate, static_cast<uint32_t>(channels.size()));
    if (!format) {
        throw bufferError();
    }
    auto buffer = PcmBuffer::make(*format, static_cast<uint32_t>(frames));
    if (!buffer) {
        throw bufferError();
    }
    buffer->setFrameLength(static_cast<uint32_t>(frames));
    for (std::size_t c = 0; c < channels.size(); ++c) {
        // Copy no more than either side holds; a shorter array leaves silence behind it.
        const std::size_t count = std::min(channels[c].size(), frames);
        std::copy_n(channels[c].begin(), count, buffer->channel(static_cast<uint32_t>(c)));
    }
    return std::move(*buffer);
}

PcmBuffer TrackWriter::resample(const PcmBuffer& buffer, const AudioFormat& format) {
    const double inputRate = buffer.format().sampleRate();
    if (converter_ == nullptr || converter_->inputFormat().sampleRate() != inputRate) {
        // The capture changed rate: the frames the old converter holds back go first, then a new one
        // takes over, so the file keeps every frame in order.
        finishConversion();
        converter_ = AudioConverter::make(buffer.format(), format);
    }
    if (converter_ == nullptr) {
        throw conversionError();
    }
    const double capacity = std::ceil(buffer.frameLength() * (format.sampleRate() / inputRate)) + 32;
    if (!(capacity <= std::numeric_limits<uint32_t>::max())) {
        throw conversionError();
    }
    auto output = PcmBuffer::make(format, static_cast<uint32_t>(capacity));
    if (!output) {
        throw conversionError();
    }
    // The block goes in once; after that the converter hears "nothing now", never "end of stream", so it
    // keeps its filter state for the next block.
    bool supplied = false;
    converter_->convert(*output, [&](uint32_t, AudioConverter::InputStatus& status) -> const PcmBuffer* {
        if (supplied) {
            status = AudioConverter::InputStatus::noDataNow;
            return nullptr;
        }
        supplied = true;
        status = AudioConverter::InputStatus::haveData;
        return &buffer;
    });
    return std::move(*output);
}

void TrackWriter::finishConversion() {
    if (converter_ == nullptr || file_ == nullptr) {
        return;
    }
    std::unique_ptr<AudioConverter> converter = std::move(converter_);
    // The held-back frames are the resampler's filter delay: a few dozen input frames at most.
    const double ratio = converter->outputFormat().sampleRate() / converter->inputFormat().sampleRate();
    auto tail =
        PcmBuffer::make(converter->outputFormat(), static_cast<uint32_t>(std::ceil(256 * ratio)) + 64);
    if (!tail) {
        throw conversionError();
    }
    converter->convert(*tail, [](uint32_t, AudioConverter::InputStatus& status) -> const PcmBuffer* {
        status = AudioConverter::InputStatus::endOfStream;
        return nullptr;
    });
    if (tail->frameLength() > 0) {
        file_->write(*tail);
    }
}

void TrackWriter::writeDebug(const Mixer::Channel& micMono, const Mixer::Stereo& system, double sampleRate,
                             const std::filesystem::path& directory) {
    if (micFile_ == nullptr) {
        micFile_ = std::make_unique<AudioFile>(directory / "mic.wav", debugTrackSettings(sampleRate, 1));
        systemFile_ =
            std::make_unique<AudioFile>(directory / "system.wav", debugTrackSettings(sampleRate, 2));
    }
    if (micFile_->processingFormat().sampleRate() != sampleRate) {
        // After a rate change the debug tracks simply stop receiving blocks.
        return;
    }
    micFile_->write(makeBuffer({micMono}, sampleRate));
    if (systemFile_ != nullptr) {
        systemFile_->write(makeBuffer({system.left, system.right}, sampleRate));
    }
}
