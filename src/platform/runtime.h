#pragma once

#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <string>

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>

#include "platform/serial_queue.h"

namespace sorvanel {

// While it exists, the interruption signals do not end the process; released, they do again.
class InterruptionWatch {
  public:
    virtual ~InterruptionWatch() = default;
};

// What the process's runtime needs of the platform: the main thread's executor, timed wake-ups
// and serial queues. Linux serves an io_context on the main thread; Apple the main dispatch
// queue, through which its frameworks deliver their answers.
class PlatformRuntime {
  public:
    virtual ~PlatformRuntime() = default;

    // The serial executor of the main thread, on which the main task runs.
    virtual asio::any_io_executor mainExecutor() = 0;

    // Hands the main thread to the main executor for the rest of the process's life. Returns
    // only when the executor can no longer be served, with the reason.
    virtual std::exception_ptr serveMainExecutor() = 0;

    // Calls `fire` once, `duration` from now, on a thread of the platform's choosing.
    virtual void scheduleAfter(std::chrono::nanoseconds duration, std::function<void()> fire) = 0;

    virtual std::shared_ptr<SerialQueue> makeSerialQueue(const std::string& label) = 0;

    // SIGINT, SIGTERM and SIGHUP: instead of ending the process, each one that arrives calls
    // `interrupted` with its number, on the main executor, until the watch is released.
    virtual std::unique_ptr<InterruptionWatch> watchInterruptions(
        std::function<void(int signal)> interrupted) = 0;
};

}  // namespace sorvanel
