#pragma once

#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>

#include "driver/emit.h"
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

    // Runs the task to its end on this thread; the status is 0 when it returns.
    void run(asio::awaitable<void> task) {
        context_.restart();
        asio::co_spawn(context_, std::move(task), [this](std::exception_ptr error) {
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
        context_.run();
    }

    std::vector<std::string> lines;
    std::vector<std::thread::id> lineThreads;  // where each line was emitted
    std::optional<int> status;

  private:
    // Platform threads may still be leaving a post to it after the task resumed: it outlives
    // them as long as the harness is declared before the fakes whose threads they are.
    asio::io_context context_;
    std::function<void(std::string_view)> previousWriter_;
    std::function<void(int)> previousExit_;
};

}  // namespace sorvanel::testing
