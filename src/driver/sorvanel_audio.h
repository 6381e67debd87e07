#pragma once

#include <functional>
#include <string>

#include <asio/awaitable.hpp>

#include "invocation/invocation.h"
#include "platform/platform.h"

namespace sorvanel {

// Where a valid recording request goes: the output path, unchanged, and the duration in seconds.
using RecordingRunner =
    std::function<asio::awaitable<void>(std::string outputPath, double seconds)>;

// The tool's entry type; never instantiated.
struct SorvanelAudio {
    SorvanelAudio() = delete;

    // Selects the mode and runs it. Returns for status 0; every other status ends the process
    // through `invocation`, right after its line. The option modes answer no signal; a valid
    // recording request answers them from its access check on.
    static asio::awaitable<void> main(Platform& platform, Invocation& invocation,
                                      RecordingRunner record);
};

}  // namespace sorvanel
