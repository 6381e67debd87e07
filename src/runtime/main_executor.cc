#include "runtime/main_executor.h"

#include <cstdlib>

#include <asio/co_spawn.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>

#include "runtime/process.h"

namespace sorvanel {

void runMainTask(std::function<asio::awaitable<void>()> body) {
    asio::io_context context;
    auto guard = asio::make_work_guard(context);
    // The body catches its own errors; an escaped one still ends the process, never silently.
    asio::co_spawn(context, body(), [](std::exception_ptr error) { exitProcess(error ? 1 : 0); });
    for (;;) context.run();
}

}  // namespace sorvanel
