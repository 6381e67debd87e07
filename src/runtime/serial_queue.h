#pragma once

#include <functional>
#include <memory>
#include <string>
#include <thread>

#include <asio/awaitable.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>

namespace sorvanel {

// A serial queue on a worker thread of its own: work items run one at a time, in the order of
// submission. Submission never waits.
class SerialQueue {
  public:
    explicit SerialQueue(std::string label);
    ~SerialQueue();
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    const std::string& label() const { return label_; }

    void post(std::function<void()> item);

    // Completes once every item submitted before it has run; never blocks the caller's thread.
    asio::awaitable<void> drain();

    // Whether the calling thread is this queue's worker.
    bool isCurrent() const { return std::this_thread::get_id() == worker_.get_id(); }

  private:
    std::string label_;
    // Shared with the worker: a queue released by one of its own items must not destroy the
    // context that is still running that item.
    std::shared_ptr<asio::io_context> context_;
    asio::executor_work_guard<asio::io_context::executor_type> guard_;
    std::thread worker_;
};

}  // namespace sorvanel
