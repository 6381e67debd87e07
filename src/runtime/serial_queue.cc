#include "runtime/serial_queue.h"

#include <asio/post.hpp>

#include "runtime/awaitable.h"

namespace sorvanel {

SerialQueue::SerialQueue(std::string label)
    : label_(std::move(label)),
      context_(std::make_shared<asio::io_context>()),
      guard_(asio::make_work_guard(*context_)),
      worker_([context = context_] {
          // An item that throws (memory exhausted, say) must not end the process from here; the
          // queue goes on with the next one.
          for (;;) {
              try {
                  context->run();
                  return;
              } catch (...) {
              }
          }
      }) {}

SerialQueue::~SerialQueue() {
    // Items already submitted still run; then the worker ends.
    guard_.reset();
    if (isCurrent())
        worker_.detach();
    else
        worker_.join();
}

void SerialQueue::post(std::function<void()> item) {
    asio::post(*context_, std::move(item));
}

asio::awaitable<void> SerialQueue::drain() {
    co_await awaitCompletion<void>(
        [this](Completion<void> done) { post([done] { done.succeed(); }); });
}

}  // namespace sorvanel
