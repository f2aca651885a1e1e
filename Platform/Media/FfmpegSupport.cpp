#include "Platform/Media/FfmpegSupport.h"

#include "Platform/Files/PrivateFiles.h"
#include "Platform/Media/MediaError.h"

#include <cerrno>
#include <fcntl.h>
#include <mutex>
#include <unistd.h>

namespace Ffmpeg {

void OutputContextDeleter::operator()(AVFormatContext* context) const {
    if (context->pb != nullptr && (context->oformat->flags & AVFMT_NOFILE) == 0) {
        avio_closep(&context->pb);
    }
    avformat_free_context(context);
}

void quietenLogging() {
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_level(AV_LOG_WARNING); });
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wold-style-cast"
// FFmpeg's own texts are English; the user reads these.
std::string errorText(int averror) {
    // System errors come back as negated errno values; FFmpeg's own codes are far larger tags.
    if (averror < 0 && averror > -4096) {
        return PrivateFiles::errorText(-averror);
    }
    switch (averror) {
    case AVERROR_EOF:
        return "il file finisce prima del previsto";
    case AVERROR_INVALIDDATA:
        return "dati non validi nel file";
    case AVERROR_ENCODER_NOT_FOUND:
        return "codificatore non disponibile";
    case AVERROR_MUXER_NOT_FOUND:
        return "formato di file non supportato";
    case AVERROR_PROTOCOL_NOT_FOUND:
        return "tipo di percorso non supportato";
    default:
        return "errore di FFmpeg " + std::to_string(averror);
    }
}

int endOfFile() {
    return AVERROR_EOF;
}
int tryAgain() {
    return AVERROR(EAGAIN);
}
#pragma GCC diagnostic pop

int openPrivately(AVIOContext*& io, const std::filesystem::path& path) {
    // FFmpeg creates files with the umask's mode. Made owner-only first, the file keeps that mode when
    // FFmpeg opens it again (truncating what is still empty).
    const int fd = PrivateFiles::open(path, O_WRONLY | O_TRUNC);
    if (fd < 0) {
        return AVERROR(errno);
    }
    const int status = avio_open(&io, path.c_str(), AVIO_FLAG_WRITE);
    ::close(fd);
    return status;
}

void fail(const std::string& what, int averror) {
    throw MediaError(what + ": " + errorText(averror));
}

std::string Options::unused() const {
    std::string keys;
    const AVDictionaryEntry* entry = nullptr;
    while ((entry = av_dict_get(dictionary_, "", entry, AV_DICT_IGNORE_SUFFIX)) != nullptr) {
        keys += keys.empty() ? "" : ", ";
        keys += entry->key;
    }
    return keys;
}

} // namespace Ffmpeg
