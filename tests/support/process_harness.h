#pragma once

#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <asio/co_spawn.hpp>

#include "lines/emit.h"
#include "platform/asio/asio_runtime.h"
#include "runtime/process.h"

namespace sorvanel::testing {

// Thrown where the process would end, so the flow stops there as it would in the binary.
struct ProcessExited {
    int status;
};

// Runs a main task in-process: captures the emitted lines and the exit status.
class ProcessHarness {
  public:
    ProcessHarness()
        : previousWriter_(replaceLineWriter([this](std::string_view line) {
              lines.emplace_back(line);
              lineThreads.push_back(std::this_thread::get_id());
          })),
          previousExit_(replaceExitFunction([](int code) { throw ProcessExited{code}; })) {}
    ~ProcessHarness() {
        replaceLineWriter(std::move(previousWriter_));
        replaceExitFunction(std::move(previousExit_));
    }

    // Runs the task to its end on this thread, the main executor's; the status is 0 when it
    // returns.
    void run(asio::awaitable<void> task) {
        asio::io_context& context = runtime.context();
        context.restart();
        bool ended = false;
        asio::co_spawn(context, std::move(task), [this, &ended](std::exception_ptr error) {
            ended = true;
            if (!error) {
                status = 0;
                return;
            }
            try {
                std::rethrow_exception(error);
            } catch (const ProcessExited& exited) {
                status = exited.status;
            }
        });
        while (!ended) context.run_one();
    }

    // Platform threads may still be leaving a post to it after the task resumed: it outlives
    // them as long as the harness is declared before the fakes whose threads they are.
    AsioRuntime runtime;
    std::vector<std::string> lines;
    std::vector<std::thread::id> lineThreads;  // where each line was emitted
    std::optional<int> status;

  private:
    std::function<void(std::string_view)> previousWriter_;
    std::function<void(int)> previousExit_;
};

}  // namespace sorvanel::testing
