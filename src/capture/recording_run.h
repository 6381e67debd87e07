#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <asio/awaitable.hpp>

#include "platform/platform.h"

namespace sorvanel {

// Records `seconds` of the selected applications' audio into `outputPath`, measures the file and
// prints the ready and complete lines. Any failure prints one line and ends the process (1 or 4).
// While it lasts, an interruption signal ends the recording and keeps the file playable; the run
// releases `earlier`, a caller's watch, once its own is in place, so that no signal slips by.
asio::awaitable<void> recordingRun(Platform& platform, std::string outputPath, double seconds,
                                   std::unique_ptr<InterruptionWatch> earlier = nullptr);

// The error that a run ended by an interruption signal reports.
Error interruptedError(int signal);

// Whether an application with this identifier is captured: its lower-cased identifier begins
// with "com.ableton.live". An application without an identifier never is.
bool isAbletonLive(const std::optional<std::string>& bundleIdentifier);

// The recording wait: seconds × 1e9, truncated toward zero to whole nanoseconds.
std::chrono::nanoseconds recordingWait(double seconds);

}  // namespace sorvanel
