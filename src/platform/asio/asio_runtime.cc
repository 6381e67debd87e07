#include "platform/asio/asio_runtime.h"

#include "runtime/awaitable.h"

#include <csignal>
#include <mutex>

#include <asio/post.hpp>
#include <asio/signal_set.hpp>
#include <asio/steady_timer.hpp>

namespace sorvanel {

struct AsioSerialQueue::State {
    State() : guard(context.get_executor()) {}

    asio::io_context context;
    asio::executor_work_guard<asio::io_context::executor_type> guard;
    std::mutex mutex;
    std::exception_ptr failure;  // the first job that threw, until a drain reports it
};

AsioSerialQueue::AsioSerialQueue(std::string label)
    : label_(std::move(label)), state_(std::make_shared<State>()), worker_([state = state_] {
          // A job that throws must not end the process from here: the queue keeps it for the
          // next drain and goes on with the next job.
          for (;;) {
              try {
                  state->context.run();
                  return;
              } catch (...) {
                  std::lock_guard lock(state->mutex);
                  if (!state->failure) state->failure = std::current_exception();
              }
          }
      }) {}

AsioSerialQueue::~AsioSerialQueue() {
    // Jobs already submitted still run; then the worker ends.
    state_->guard.reset();
    if (isCurrent())
        worker_.detach();
    else
        worker_.join();
}

void AsioSerialQueue::post(std::function<void()> job) {
    asio::post(state_->context, std::move(job));
}

asio::awaitable<void> AsioSerialQueue::drain() {
    co_await awaitCompletion<void>([this](Completion<void> done) {
        post([state = state_, done] {
            std::exception_ptr failure;
            {
                std::lock_guard lock(state->mutex);
                failure = std::exchange(state->failure, nullptr);
            }
            if (failure)
                done.failWith(std::move(failure));
            else
                done.succeed();
        });
    });
}

AsioRuntime::AsioRuntime() : guard_(context_.get_executor()) {}

std::exception_ptr AsioRuntime::serveMainExecutor() {
    // With the guard held, run() returns only when something stopped the context; a handler
    // that throws ends the serving too. Neither is retried: that would spin or lose the reason.
    try {
        context_.run();
    } catch (...) {
        return std::current_exception();
    }
    return std::make_exception_ptr(
        Error(kErrorDomain, kUnexpectedErrorCode, "The main executor was stopped."));
}

void AsioRuntime::scheduleAfter(std::chrono::nanoseconds duration, std::function<void()> fire) {
    auto timer = std::make_shared<asio::steady_timer>(context_, duration);
    // The timer is never cancelled, so its wait always ends by expiring.
    timer->async_wait([timer, fire = std::move(fire)](const std::error_code&) { fire(); });
}

std::shared_ptr<SerialQueue> AsioRuntime::makeSerialQueue(const std::string& label) {
    return std::make_shared<AsioSerialQueue>(label);
}

namespace {

// Asio's signal set: the handler runs on the io_context, never inside the signal handler. When
// the last set for a signal goes, Asio gives the signal its default action back.
class AsioInterruptionWatch final : public InterruptionWatch {
  public:
    AsioInterruptionWatch(asio::io_context& context, std::function<void(int)> interrupted)
        : state_(std::make_shared<State>(context, std::move(interrupted))) {
        arm(state_);
    }
    ~AsioInterruptionWatch() override {
        std::error_code ignored;
        state_->signals.cancel(ignored);
        state_->signals.clear(ignored);
    }

  private:
    struct State {
        State(asio::io_context& context, std::function<void(int)> callback)
            : signals(context, SIGINT, SIGTERM, SIGHUP), interrupted(std::move(callback)) {}
        asio::signal_set signals;
        std::function<void(int)> interrupted;
    };

    static void arm(const std::shared_ptr<State>& state) {
        state->signals.async_wait(
            [weak = std::weak_ptr<State>(state)](const std::error_code& error, int signal) {
                auto live = weak.lock();
                if (error || !live) return;
                arm(live);  // the next signal is heard too
                live->interrupted(signal);
            });
    }

    std::shared_ptr<State> state_;
};

}  // namespace

std::unique_ptr<InterruptionWatch> AsioRuntime::watchInterruptions(
    std::function<void(int signal)> interrupted) {
    return std::make_unique<AsioInterruptionWatch>(context_, std::move(interrupted));
}

}  // namespace sorvanel
