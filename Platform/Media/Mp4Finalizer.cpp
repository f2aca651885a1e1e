#include "Platform/Media/Mp4Finalizer.h"

#include "Platform/Files/PrivateFiles.h"
#include "Platform/Media/FfmpegSupport.h"
#include "Platform/Media/MediaError.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

std::string systemError(const std::string& what, const std::filesystem::path& path) {
    return PrivateFiles::describe(what, path, errno);
}

// A uniquely named file beside the original; removed again unless it was renamed into place.
class TemporaryFile {
public:
    explicit TemporaryFile(const std::filesystem::path& beside) {
        const std::filesystem::path pattern =
            beside.parent_path() /
            ("." + beside.stem().string() + ".finishing-XXXXXX" + beside.extension().string());
        const std::string text = pattern.string();
        std::vector<char> name(text.begin(), text.end());
        name.push_back('\0');
        const int fd = mkstemps(name.data(), static_cast<int>(beside.extension().string().size()));
        if (fd < 0) {
            throw MediaError(systemError("Impossibile creare un file temporaneo in", beside.parent_path()));
        }
        // mkstemp makes it owner-only, and so the finished recording stays.
        path_ = name.data();
        close(fd);
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    ~TemporaryFile() {
        if (!path_.empty()) {
            std::error_code ignored;
            std::filesystem::remove(path_, ignored);
        }
    }

    const std::filesystem::path& path() const { return path_; }
    void release() { path_.clear(); }

private:
    std::filesystem::path path_;
};

// Flushes the file to the disk, so the rename can never be ahead of the data it names.
void syncFile(const std::filesystem::path& path) {
    const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        throw MediaError(systemError("Impossibile aprire", path));
    }
    const int status = fsync(fd);
    const int savedErrno = errno;
    close(fd);
    if (status != 0) {
        errno = savedErrno;
        throw MediaError(systemError("Impossibile salvare su disco", path));
    }
}

// Makes the rename itself durable. Best effort: by now the file is in place either way.
void syncFolder(const std::filesystem::path& folder) {
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

Ffmpeg::InputContextPtr openInput(const std::filesystem::path& path) {
    AVFormatContext* context = nullptr;
    const int status = avformat_open_input(&context, path.c_str(), nullptr, nullptr);
    if (status < 0) {
        Ffmpeg::fail("Impossibile leggere \"" + path.string() + "\"", status);
    }
    return Ffmpeg::InputContextPtr(context);
}

// Copies every packet of the single audio stream; returns how many. Each packet is held back until the
// next one arrives, so the last one can be given the duration that ends it on the last real sample.
int64_t copyPackets(AVFormatContext* input, AVFormatContext* output,
                    const Mp4Finalizer::Recording& recording) {
    const AVStream* inStream = input->streams[0];
    const AVStream* outStream = output->streams[0];
    const AVRational samples{1, inStream->codecpar->sample_rate};
    const int64_t priming = av_rescale_q(recording.primingSamples, samples, inStream->time_base);
    const int64_t frameDuration = av_rescale_q(recording.frameSamples, samples, inStream->time_base);
    const int64_t end = av_rescale_q(recording.totalSamples, samples, inStream->time_base);

    Ffmpeg::PacketPtr packet(av_packet_alloc());
    Ffmpeg::PacketPtr held(av_packet_alloc());
    if (packet == nullptr || held == nullptr) {
        throw MediaError("Memoria insufficiente per riscrivere il file audio");
    }
    int64_t copied = 0;
    bool holding = false;
    int64_t shift = 0;
    const auto writeHeld = [&](bool last) {
        if (last) {
            const int64_t start = held->pts != AV_NOPTS_VALUE ? held->pts : held->dts;
            held->duration = std::clamp<int64_t>(end - start, 1, std::max<int64_t>(frameDuration, 1));
        }
        av_packet_rescale_ts(held.get(), inStream->time_base, outStream->time_base);
        held->stream_index = 0;
        held->pos = -1;
        const int status = av_write_frame(output, held.get());
        av_packet_unref(held.get());
        holding = false;
        if (status < 0) {
            Ffmpeg::fail("Scrittura della copia non riuscita", status);
        }
        ++copied;
    };
    for (;;) {
        const int status = av_read_frame(input, packet.get());
        if (status == Ffmpeg::endOfFile()) {
            if (holding) {
                writeHeld(true);
            }
            return copied;
        }
        if (status < 0) {
            Ffmpeg::fail("Lettura del file frammentato non riuscita", status);
        }
        if (packet->stream_index != 0) {
            av_packet_unref(packet.get());
            continue;
        }
        if (copied == 0 && !holding) {
            // The fragmented file starts its timeline at the priming; the copy starts it that much
            // earlier, and the muxer hides the negative part with an edit list.
            const int64_t first = packet->dts != AV_NOPTS_VALUE ? packet->dts : packet->pts;
            shift = first == AV_NOPTS_VALUE ? 0 : -priming - first;
        }
        if (packet->pts != AV_NOPTS_VALUE) {
            packet->pts += shift;
        }
        if (packet->dts != AV_NOPTS_VALUE) {
            packet->dts += shift;
        }
        if (packet->duration <= 0) {
            packet->duration = frameDuration;
        }
        if (holding) {
            writeHeld(false);
        }
        av_packet_move_ref(held.get(), packet.get());
        holding = true;
    }
}

void rewrite(const std::filesystem::path& path, const Mp4Finalizer::Recording& recording) {
    Ffmpeg::InputContextPtr input = openInput(path);
    if (input->nb_streams != 1 || input->streams[0]->codecpar->codec_type != AVMEDIA_TYPE_AUDIO ||
        input->streams[0]->codecpar->sample_rate <= 0) {
        throw MediaError("\"" + path.string() + "\" non contiene una sola traccia audio");
    }
    const AVStream* inStream = input->streams[0];

    TemporaryFile temporary(path);
    const AVOutputFormat* format = av_guess_format(nullptr, path.c_str(), nullptr);
    AVFormatContext* context = nullptr;
    int status = avformat_alloc_output_context2(&context, format, nullptr, temporary.path().c_str());
    if (status < 0 || context == nullptr) {
        Ffmpeg::fail("Impossibile preparare la copia", status);
    }
    Ffmpeg::OutputContextPtr output(context);
    AVStream* outStream = avformat_new_stream(output.get(), nullptr);
    if (outStream == nullptr) {
        throw MediaError("Impossibile aggiungere la traccia audio alla copia");
    }
    status = avcodec_parameters_copy(outStream->codecpar, inStream->codecpar);
    if (status < 0) {
        Ffmpeg::fail("Impossibile descrivere la traccia audio della copia", status);
    }
    outStream->codecpar->codec_tag = 0;
    if (outStream->codecpar->frame_size <= 0) {
        outStream->codecpar->frame_size = static_cast<int>(recording.frameSamples);
    }
    outStream->time_base = inStream->time_base;

    status = Ffmpeg::openPrivately(output->pb, temporary.path());
    if (status < 0) {
        Ffmpeg::fail("Impossibile aprire la copia", status);
    }
    Ffmpeg::Options options;
    // Edit list durations in samples rather than milliseconds: the end is then exact too.
    const std::string timescale = std::to_string(inStream->codecpar->sample_rate);
    options.set("movie_timescale", timescale.c_str());
    status = avformat_write_header(output.get(), options.get());
    if (status < 0) {
        Ffmpeg::fail("Impossibile scrivere l'intestazione della copia", status);
    }
    const int64_t copied = copyPackets(input.get(), output.get(), recording);
    status = av_write_trailer(output.get());
    if (status < 0) {
        Ffmpeg::fail("Impossibile completare la copia", status);
    }
    status = avio_closep(&output->pb);
    if (status < 0) {
        Ffmpeg::fail("Impossibile chiudere la copia", status);
    }
    output.reset();
    input.reset();

    // Read the copy back before it replaces anything: it must hold every packet the encoder made.
    Ffmpeg::InputContextPtr check = openInput(temporary.path());
    if (copied != recording.packetCount || check->nb_streams != 1 || check->streams[0]->nb_frames != copied) {
        throw MediaError("La copia di \"" + path.string() + "\" non contiene tutti i pacchetti");
    }
    check.reset();

    syncFile(temporary.path());
    if (std::rename(temporary.path().c_str(), path.c_str()) != 0) {
        throw MediaError(systemError("Impossibile sostituire", path));
    }
    temporary.release();
    syncFolder(path.parent_path().empty() ? "." : path.parent_path());
}

} // namespace

namespace Mp4Finalizer {

bool rewriteAsPlainMp4(const std::filesystem::path& path, const Recording& recording, std::string& error) {
    try {
        rewrite(path, recording);
        return true;
    } catch (const std::exception& failure) {
        error = failure.what();
        return false;
    }
}

} // namespace Mp4Finalizer
