#include "driver/main_task.h"

#include <stdexcept>

#include <gtest/gtest.h>
#include <asio/io_context.hpp>

#include "lines/emit.h"
#include "lines/lines.h"
#include "support/process_harness.h"

namespace sorvanel {
namespace {

using testing::ProcessExited;
using testing::ProcessHarness;

// A main executor served by this thread, whose serving lets the harness's exit through.
struct LoopRuntime final : PlatformRuntime {
    asio::io_context context;
    asio::any_io_executor mainExecutor() override { return context.get_executor(); }
    std::exception_ptr serveMainExecutor() override {
        context.run();
        return std::make_exception_ptr(std::runtime_error("The main executor was stopped."));
    }
    void scheduleAfter(std::chrono::nanoseconds, std::function<void()>) override {}
    std::shared_ptr<SerialQueue> makeSerialQueue(const std::string&) override { return nullptr; }
    std::unique_ptr<InterruptionWatch> watchInterruptions(std::function<void(int)>) override {
        return nullptr;
    }
};

int statusOf(LoopRuntime& runtime, std::function<asio::awaitable<void>()> body) {
    try {
        runMainTask(runtime, [&body](Invocation&) { return body(); });
    } catch (const ProcessExited& exited) {
        return exited.status;
    }
    return -1;
}

TEST(MainTask, EveryEndButTheTasksReturnIsOneErrorLineAndStatus1) {
    {
        ProcessHarness process;
        LoopRuntime runtime;
        EXPECT_EQ(statusOf(runtime, []() -> asio::awaitable<void> { co_return; }), 0);
        EXPECT_TRUE(process.lines.empty());
    }
    {
        ProcessHarness process;
        LoopRuntime runtime;
        const int status = statusOf(runtime, []() -> asio::awaitable<void> {
            throw 42;  // not even an exception type
            co_return;
        });
        EXPECT_EQ(status, 1);
        EXPECT_EQ(process.lines, std::vector<std::string>{
                                     serializeResult(errorLine("An unexpected error occurred."))});
    }
    {
        ProcessHarness process;
        LoopRuntime runtime;
        runtime.context.stop();
        EXPECT_EQ(statusOf(runtime, []() -> asio::awaitable<void> { co_return; }), 1);
        EXPECT_EQ(process.lines, std::vector<std::string>{
                                     serializeResult(errorLine("The main executor was stopped."))});
    }
}

}  // namespace
}  // namespace sorvanel
