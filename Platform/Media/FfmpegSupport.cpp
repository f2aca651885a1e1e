#include "Platform/Media/FfmpegSupport.h"

#include "Platform/Media/MediaError.h"

#include <cerrno>
#include <mutex>

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

std::string errorText(int averror) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(averror, text, sizeof text);
    return text;
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wold-style-cast"
int endOfFile() {
    return AVERROR_EOF;
}
int tryAgain() {
    return AVERROR(EAGAIN);
}
#pragma GCC diagnostic pop

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
