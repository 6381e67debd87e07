#pragma once

#include <dispatch/dispatch.h>

#include <memory>
#include <string>
#include <utility>

#include <asio/execution.hpp>
#include <asio/execution_context.hpp>

#include "platform/apple/apple_native.h"
#include "platform/runtime.h"

namespace sorvanel {

// One piece of work handed to a dispatch queue.
class DispatchJob {
  public:
    virtual ~DispatchJob() = default;
    virtual void run() = 0;
};

// Submits `job` to `queue` with dispatch_async_f; the queue owns it until it has run. A job that
// throws ends the process: nothing may unwind into libdispatch (see dispatch_runtime.mm).
void submitToQueue(dispatch_queue_t queue, std::unique_ptr<DispatchJob> job);

// An Asio executor over a dispatch queue: the main task's executor is the main queue's. Work
// always runs later, never inside execute(), hence blocking.never.
class DispatchExecutor {
  public:
    DispatchExecutor(dispatch_queue_t queue, asio::execution_context& context) noexcept
        : queue_(queue), context_(&context) {}

    asio::execution_context& query(asio::execution::context_t) const noexcept { return *context_; }
    static constexpr asio::execution::blocking_t query(asio::execution::blocking_t) noexcept {
        return asio::execution::blocking.never;
    }

    template <class Function>
    void execute(Function function) const {
        struct Job final : DispatchJob {
            explicit Job(Function f) : function(std::move(f)) {}
            void run() override { function(); }
            Function function;
        };
        submitToQueue(queue_, std::make_unique<Job>(std::move(function)));
    }

    friend bool operator==(const DispatchExecutor& a, const DispatchExecutor& b) noexcept {
        return a.queue_ == b.queue_ && a.context_ == b.context_;
    }
    friend bool operator!=(const DispatchExecutor& a, const DispatchExecutor& b) noexcept {
        return !(a == b);
    }

  private:
    dispatch_queue_t queue_;
    asio::execution_context* context_;
};

// A serial dispatch queue. ScreenCaptureKit delivers sample buffers straight onto it (through
// native()); the core's jobs go through post().
class DispatchSerialQueue final : public SerialQueue {
  public:
    explicit DispatchSerialQueue(std::string label);
    DispatchSerialQueue(const DispatchSerialQueue&) = delete;
    DispatchSerialQueue& operator=(const DispatchSerialQueue&) = delete;

    const std::string& label() const override { return label_; }
    void post(std::function<void()> job) override;
    asio::awaitable<void> drain() override;
    bool isCurrent() const override;
    NativeQueue* native() const override { return native_.get(); }

  private:
    struct State;
    class Job;
    static void releaseHeldState(void* held);

    std::string label_;
    std::shared_ptr<State> state_;  // shared with the jobs still queued
    std::unique_ptr<NativeQueue> native_;
};

// The runtime as macOS has it: the main task on the main dispatch queue, which the main thread
// serves for good together with the main run loop (CFRunLoopRun); timed wake-ups by dispatch_after;
// serial dispatch queues; signal sources. No thread of the tool's own.
class DispatchRuntime final : public PlatformRuntime {
  public:
    DispatchRuntime() = default;

    asio::any_io_executor mainExecutor() override;
    std::exception_ptr serveMainExecutor() override;
    void scheduleAfter(std::chrono::nanoseconds duration, std::function<void()> fire) override;
    std::shared_ptr<SerialQueue> makeSerialQueue(const std::string& label) override;
    std::unique_ptr<InterruptionWatch> watchInterruptions(
        std::function<void(int signal)> interrupted) override;

  private:
    // What the main executor answers to Asio's context query; it runs nothing itself.
    asio::execution_context context_;
};

}  // namespace sorvanel
