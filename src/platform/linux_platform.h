#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace sorvanel {

// The Linux backends behind the seam: the sound server through libpulse, files through FFmpeg.
struct LinuxPlatform {
    virtual ~LinuxPlatform() = default;
    explicit LinuxPlatform(Platform p) : platform(std::move(p)) {}
    Platform platform;
};

// Also silences the libraries' own logging: the tool never writes to standard error.
std::unique_ptr<LinuxPlatform> makeLinuxPlatform(std::vector<std::string> arguments);

}  // namespace sorvanel
