#pragma once

#include <string>

#include <asio/awaitable.hpp>

#include "platform/platform.h"

namespace sorvanel {

// Records `seconds` of the selected applications' audio into `outputPath`, measures the file and
// prints the ready and complete lines. Any failure prints one line and ends the process (1 or 4).
asio::awaitable<void> recordingRun(Platform& platform, std::string outputPath, double seconds);

}  // namespace sorvanel
