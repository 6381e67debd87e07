#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <asio/awaitable.hpp>

#include "invocation/invocation.h"
#include "platform/platform.h"

namespace sorvanel {

// Records `seconds` of the selected applications' audio into `outputPath`, measures the file and
// prints the ready and complete lines. Any failure prints one line and ends the process (1 or 4)
// through `invocation`, whose stages it goes through; an interruption signal ends the recording
// and keeps what reached the file playable.
asio::awaitable<void> recordingRun(Platform& platform, Invocation& invocation,
                                   std::string outputPath, double seconds);

// Whether an application with this identifier is captured: its lower-cased identifier begins
// with "com.ableton.live". An application without an identifier never is.
bool isAbletonLive(const std::optional<std::string>& bundleIdentifier);

// The recording wait: seconds × 1e9, truncated toward zero to whole nanoseconds.
std::chrono::nanoseconds recordingWait(double seconds);

}  // namespace sorvanel
