#pragma once

#include <functional>

#include <asio/awaitable.hpp>

namespace sorvanel {

// Starts `body` as the one main task on the main thread's executor and serves that executor for
// the rest of the process's life. When the task returns, the process ends with status 0.
[[noreturn]] void runMainTask(std::function<asio::awaitable<void>()> body);

}  // namespace sorvanel
