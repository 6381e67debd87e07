#pragma once

#include <functional>
#include <string>

#include <asio/awaitable.hpp>

namespace sorvanel {

// The queue's own form on the platform, for a backend that hands it to the system (a dispatch
// queue on Apple). Defined by the backend that has one.
class NativeQueue;

// A serial queue: jobs run one at a time, in the order of submission, never on the caller's
// thread. Submission never waits.
class SerialQueue {
  public:
    virtual ~SerialQueue() = default;

    virtual const std::string& label() const = 0;
    virtual void post(std::function<void()> job) = 0;

    // Completes once every job submitted before it has run; never blocks the caller's thread.
    // Fails with the error of a job that threw, so that no failure vanishes.
    virtual asio::awaitable<void> drain() = 0;

    // Whether the calling thread is running one of this queue's jobs now.
    virtual bool isCurrent() const = 0;

    // Null where the platform has no queue object of its own.
    virtual NativeQueue* native() const { return nullptr; }
};

}  // namespace sorvanel
