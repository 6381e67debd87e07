#pragma once

#include <memory>
#include <string>
#include <thread>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>

#include "platform/runtime.h"

namespace sorvanel {

// A serial queue on a worker thread of its own, running an io_context.
class AsioSerialQueue final : public SerialQueue {
  public:
    explicit AsioSerialQueue(std::string label);
    ~AsioSerialQueue() override;
    AsioSerialQueue(const AsioSerialQueue&) = delete;
    AsioSerialQueue& operator=(const AsioSerialQueue&) = delete;

    const std::string& label() const override { return label_; }
    void post(std::function<void()> job) override;
    asio::awaitable<void> drain() override;
    bool isCurrent() const override { return std::this_thread::get_id() == worker_.get_id(); }

  private:
    struct State;
    std::string label_;
    // Shared with the worker: a queue released by one of its own jobs must not destroy the
    // context that is still running that job.
    std::shared_ptr<State> state_;
    std::thread worker_;
};

// The runtime as Linux has it: an io_context served by the main thread, steady timers on it, and
// queues of their own threads.
class AsioRuntime final : public PlatformRuntime {
  public:
    AsioRuntime();

    asio::any_io_executor mainExecutor() override { return context_.get_executor(); }
    std::exception_ptr serveMainExecutor() override;
    void scheduleAfter(std::chrono::nanoseconds duration, std::function<void()> fire) override;
    std::shared_ptr<SerialQueue> makeSerialQueue(const std::string& label) override;
    std::unique_ptr<InterruptionWatch> watchInterruptions(
        std::function<void(int signal)> interrupted) override;

    // For tests that run the main executor themselves.
    asio::io_context& context() { return context_; }

  private:
    asio::io_context context_;
    asio::executor_work_guard<asio::io_context::executor_type> guard_;
};

}  // namespace sorvanel
