#pragma once

#include <functional>

#include <asio/awaitable.hpp>

#include "invocation/invocation.h"
#include "platform/runtime.h"

namespace sorvanel {

// Starts `body` as the one main task on the platform's main executor and hands the main thread
// to that executor for good. The process ends through the invocation: with status 0 when the
// task returns; anything that escapes the task, or an executor that can no longer be served, ends
// it with one error line and status 1.
[[noreturn]] void runMainTask(PlatformRuntime& runtime,
                              std::function<asio::awaitable<void>(Invocation&)> body);

}  // namespace sorvanel
