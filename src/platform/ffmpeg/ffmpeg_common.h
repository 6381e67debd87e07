#pragma once

#include <string>

#include "runtime/error.h"

namespace sorvanel {

// FFmpeg logs to standard error by default; the tool never does.
void silenceFfmpegLogging();

// FFmpeg's text for a return code.
std::string ffmpegErrorText(int code);

// An error from an FFmpeg return code, its description led by `context` (e.g. naming the path).
Error ffmpegError(int code, const std::string& context);

}  // namespace sorvanel
