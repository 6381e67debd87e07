#pragma once

#include <functional>
#include <string>

#include <asio/awaitable.hpp>

#include "platform/platform.h"

namespace sorvanel {

// Where a valid recording request goes: the output path, unchanged, and the duration in seconds.
using RecordingRunner =
    std::function<asio::awaitable<void>(std::string outputPath, double seconds)>;

// The tool's entry type; never instantiated.
struct SorvanelAudio {
    SorvanelAudio() = delete;

    // Selects the mode and runs it. Returns for status 0; every other status ends the process
    // from inside, right after its line.
    static asio::awaitable<void> main(Platform& platform, RecordingRunner record);
};

}  // namespace sorvanel
