#include "platform/ffmpeg/ffmpeg_common.h"

extern "C" {
#include <libavutil/error.h>
#include <libavutil/log.h>
}

namespace sorvanel {

void silenceFfmpegLogging() {
    av_log_set_level(AV_LOG_QUIET);
}

Error ffmpegError(int code, const std::string& context) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return Error("FFmpeg", code, context + ": " + text);
}

}  // namespace sorvanel
