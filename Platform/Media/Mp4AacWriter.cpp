#include "Platform/Media/Mp4AacWriter.h"

#include "Platform/Media/MediaError.h"
#include "Platform/Media/Mp4Finalizer.h"

#include <algorithm>
#include <system_error>
#include <vector>

namespace {

// While recording: an empty moov up front, then self-contained fragments of at most a second, each
// pushed to the file as soon as it is complete.
void setFragmentedOptions(Ffmpeg::Options& options) {
    options.set("movflags", "empty_moov+default_base_moof");
    options.set("frag_duration", "1000000");
    options.set("flush_packets", "1");
}

// Large blocks are fed to the FIFO in slices, so it never holds more than this many frames.
constexpr uint32_t maxSliceFrames = 1u << 16;

} // namespace

Mp4AacWriter::Mp4AacWriter(const std::filesystem::path& path, int sampleRate, int channelCount,
                           int64_t bitRate)
    : path_(path) {
    Ffmpeg::quietenLogging();
    const std::string name = path.string();
    const std::string quoted = "\"" + name + "\"";

    AVFormatContext* context = nullptr;
    int status = avformat_alloc_output_context2(&context, nullptr, nullptr, name.c_str());
    if (status < 0 || context == nullptr) {
        Ffmpeg::fail("Impossibile preparare il file audio " + quoted, status);
    }
    output_.reset(context);

    const AVCodec* codec = avcodec_find_encoder_by_name("aac");
    if (codec == nullptr) {
        throw MediaError("Codificatore AAC non disponibile in FFmpeg");
    }
    encoder_.reset(avcodec_alloc_context3(codec));
    if (encoder_ == nullptr) {
        throw MediaError("Impossibile preparare il codificatore AAC");
    }
    encoder_->sample_fmt = AV_SAMPLE_FMT_FLTP;
    encoder_->sample_rate = sampleRate;
    av_channel_layout_default(&encoder_->ch_layout, channelCount);
    if (bitRate > 0) {
        encoder_->bit_rate = bitRate;
    }
    encoder_->time_base = AVRational{1, sampleRate};
    if ((output_->oformat->flags & AVFMT_GLOBALHEADER) != 0) {
        encoder_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    }
    status = avcodec_open2(encoder_.get(), codec, nullptr);
    if (status < 0) {
        Ffmpeg::fail("Impossibile aprire il codificatore AAC (" + std::to_string(sampleRate) + " Hz, " +
                         std::to_string(channelCount) + " canali)",
                     status);
    }

    stream_ = avformat_new_stream(output_.get(), nullptr);
    if (stream_ == nullptr) {
        throw MediaError("Impossibile aggiungere la traccia audio a " + quoted);
    }
    stream_->time_base = encoder_->time_base;
    status = avcodec_parameters_from_context(stream_->codecpar, encoder_.get());
    if (status < 0) {
        Ffmpeg::fail("Impossibile descrivere la traccia audio di " + quoted, status);
    }

    frame_.reset(av_frame_alloc());
    packet_.reset(av_packet_alloc());
    fifo_.reset(av_audio_fifo_alloc(AV_SAMPLE_FMT_FLTP, channelCount, encoder_->frame_size * 8));
    if (frame_ == nullptr || packet_ == nullptr || fifo_ == nullptr) {
        throw MediaError("Memoria insufficiente per il codificatore AAC");
    }
    frame_->format = AV_SAMPLE_FMT_FLTP;
    frame_->sample_rate = sampleRate;
    frame_->nb_samples = encoder_->frame_size;
    status = av_channel_layout_copy(&frame_->ch_layout, &encoder_->ch_layout);
    if (status >= 0) {
        status = av_frame_get_buffer(frame_.get(), 0);
    }
    if (status < 0) {
        Ffmpeg::fail("Impossibile preparare i blocchi del codificatore AAC", status);
    }

    status = Ffmpeg::openPrivately(output_->pb, path);
    if (status < 0) {
        Ffmpeg::fail("Impossibile creare il file audio " + quoted, status);
    }
    Ffmpeg::Options options;
    setFragmentedOptions(options);
    status = avformat_write_header(output_.get(), options.get());
    if (status < 0) {
        // Nothing worth keeping was written; don't leave a broken file behind.
        output_.reset();
        std::error_code ignored;
        std::filesystem::remove(path_, ignored);
        Ffmpeg::fail("Impossibile scrivere l'intestazione di " + quoted, status);
    }
    // An option the muxer ignored would silently cost the file its crash safety.
    const std::string ignoredOptions = options.unused();
    if (!ignoredOptions.empty()) {
        output_.reset();
        std::error_code ignored;
        std::filesystem::remove(path_, ignored);
        throw MediaError("Il multiplexer MP4 non accetta le opzioni " + ignoredOptions);
    }
    completeBytes_ = avio_tell(output_->pb);
}

void Mp4AacWriter::write(const float* const* channels, uint32_t frameCount) {
    const auto channelCount = static_cast<std::size_t>(encoder_->ch_layout.nb_channels);
    std::vector<void*> planes(channelCount);
    for (uint32_t done = 0; done < frameCount;) {
        const uint32_t slice = std::min(frameCount - done, maxSliceFrames);
        for (std::size_t c = 0; c < channelCount; ++c) {
            // The FIFO only reads from these planes; its signature just lacks the const.
            planes[c] = const_cast<float*>(channels[c] + done);
        }
        const int stored = av_audio_fifo_write(fifo_.get(), planes.data(), static_cast<int>(slice));
        if (stored < 0) {
            Ffmpeg::fail("Impossibile accodare i campioni per il codificatore AAC", stored);
        }
        done += slice;
        encodeFullFrames();
    }
}

void Mp4AacWriter::finish() {
    const std::string quoted = "\"" + path_.string() + "\"";
    const int remaining = av_audio_fifo_size(fifo_.get());
    if (remaining > 0) {
        // The encoder takes one short frame at the very end.
        encodeFrame(remaining);
    }
    sendToEncoder(nullptr);

    int status = av_write_trailer(output_.get());
    if (status < 0) {
        dropIncompleteTail();
        Ffmpeg::fail("Impossibile completare il file audio " + quoted, status);
    }
    status = avio_closep(&output_->pb);
    if (status < 0) {
        dropIncompleteTail();
        Ffmpeg::fail("Impossibile chiudere il file audio " + quoted, status);
    }
    const Mp4Finalizer::Recording recording{encoder_->initial_padding, encoder_->frame_size, nextPts_,
                                            packetsWritten_};
    output_.reset();

    if (nextPts_ == 0) {
        return; // nothing was recorded: the empty fragmented file is as good as any
    }
    std::string error;
    if (!Mp4Finalizer::rewriteAsPlainMp4(path_, recording, error)) {
        // The fragmented file is complete and playable; only the tidy-up failed.
        av_log(nullptr, AV_LOG_WARNING, "%s rimane un MP4 frammentato: %s\n", path_.c_str(), error.c_str());
    }
}

void Mp4AacWriter::encodeFullFrames() {
    while (av_audio_fifo_size(fifo_.get()) >= encoder_->frame_size) {
        encodeFrame(encoder_->frame_size);
    }
}

void Mp4AacWriter::encodeFrame(int frameSamples) {
    int status = av_frame_make_writable(frame_.get());
    if (status < 0) {
        Ffmpeg::fail("Impossibile preparare un blocco per il codificatore AAC", status);
    }
    frame_->nb_samples = frameSamples;
    status = av_audio_fifo_read(fifo_.get(), reinterpret_cast<void**>(frame_->data), frameSamples);
    if (status < 0) {
        Ffmpeg::fail("Impossibile leggere i campioni per il codificatore AAC", status);
    }
    if (status < frameSamples) {
        throw MediaError("Campioni mancanti per il codificatore AAC");
    }
    frame_->pts = nextPts_;
    nextPts_ += frameSamples;
    sendToEncoder(frame_.get());
}

void Mp4AacWriter::sendToEncoder(const AVFrame* frame) {
    int status = avcodec_send_frame(encoder_.get(), frame);
    if (status < 0) {
        Ffmpeg::fail("Codifica AAC non riuscita", status);
    }
    for (;;) {
        status = avcodec_receive_packet(encoder_.get(), packet_.get());
        if (status == Ffmpeg::tryAgain() || status == Ffmpeg::endOfFile()) {
            return;
        }
        if (status < 0) {
            Ffmpeg::fail("Codifica AAC non riuscita", status);
        }
        av_packet_rescale_ts(packet_.get(), encoder_->time_base, stream_->time_base);
        packet_->stream_index = stream_->index;
        status = av_write_frame(output_.get(), packet_.get());
        av_packet_unref(packet_.get());
        if (status < 0) {
            dropIncompleteTail();
            Ffmpeg::fail("Impossibile scrivere il file audio \"" + path_.string() + "\"", status);
        }
        ++packetsWritten_;
        // Packets are flushed as they are written: everything up to here is on the disk, whole fragments.
        completeBytes_ = avio_tell(output_->pb);
    }
}

// A write that stops half-way (a full disk) leaves part of a fragment behind, which players report as a
// damaged file. Cutting the file back to the end of the last complete write keeps every whole fragment
// and nothing broken after them. The muxer writes nothing more once it has seen an error.
void Mp4AacWriter::dropIncompleteTail() {
    std::error_code error;
    const auto size = std::filesystem::file_size(path_, error);
    if (!error && completeBytes_ > 0 && size > static_cast<std::uintmax_t>(completeBytes_)) {
        std::filesystem::resize_file(path_, static_cast<std::uintmax_t>(completeBytes_), error);
    }
}
