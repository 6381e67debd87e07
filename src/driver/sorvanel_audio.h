#pragma once

#include <functional>
#include <memory>
#include <string>

#include <asio/awaitable.hpp>

#include "platform/platform.h"

namespace sorvanel {

// Where a valid recording request goes: the output path, unchanged, and the duration in seconds,
// with the watch over interruption signals that held since the request was found valid.
using RecordingRunner = std::function<asio::awaitable<void>(
    std::string outputPath, double seconds, std::unique_ptr<InterruptionWatch> interruptions)>;

// The tool's entry type; never instantiated.
struct SorvanelAudio {
    SorvanelAudio() = delete;

    // Selects the mode and runs it. Returns for status 0; every other status ends the process
    // from inside, right after its line.
    static asio::awaitable<void> main(Platform& platform, RecordingRunner record);
};

}  // namespace sorvanel
