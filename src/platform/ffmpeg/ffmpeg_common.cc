#include "platform/ffmpeg/ffmpeg_common.h"

extern "C" {
#include <libavutil/error.h>
#include <libavutil/log.h>
}

namespace sorvanel {

void silenceFfmpegLogging() {
    av_log_set_level(AV_LOG_QUIET);
}

std::string ffmpegErrorText(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

Error ffmpegError(int code, const std::string& context) {
    return Error("FFmpeg", code, context + ": " + ffmpegErrorText(code));
}

}  // namespace sorvanel
