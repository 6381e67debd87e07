#pragma once

#include <atomic>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <type_traits>

#include "runtime/error.h"

namespace sorvanel {

namespace detail {
template <class T>
struct CompletionResult {
    using Handler = std::function<void(std::exception_ptr, std::optional<T>)>;
};
template <>
struct CompletionResult<void> {
    using Handler = std::function<void(std::exception_ptr)>;
};
}  // namespace detail

// A one-shot completion that a platform may call from any thread. Only the first call counts:
// a platform that calls twice must not resume its waiter twice. Copies share one state. A
// completion whose last copy goes without having been called fails its waiter, which would
// otherwise wait for good.
template <class T>
class Completion {
  public:
    using Handler = typename detail::CompletionResult<T>::Handler;

    explicit Completion(Handler handler) : state_(std::make_shared<State>(std::move(handler))) {}

    template <class U = T>
    requires(!std::is_void_v<U>) void succeed(U value) const {
        if (auto handler = take()) (*handler)(nullptr, std::optional<T>(std::move(value)));
    }

    template <class U = T>
    requires std::is_void_v<U>
    void succeed() const {
        if (auto handler = take()) (*handler)(nullptr);
    }

    void fail(const Error& error) const { failWith(std::make_exception_ptr(error)); }

    void failWith(std::exception_ptr error) const {
        if (auto handler = take()) {
            if constexpr (std::is_void_v<T>)
                (*handler)(std::move(error));
            else
                (*handler)(std::move(error), std::nullopt);
        }
    }

    bool done() const { return state_->called.load(std::memory_order_acquire); }

  private:
    struct State {
        explicit State(Handler h) : handler(std::move(h)) {}
        ~State() {
            if (called.load(std::memory_order_acquire)) return;
            try {
                const auto error = std::make_exception_ptr(
                    Error(kErrorDomain, kNoAnswerErrorCode,
                          "The system ended an operation without answering it."));
                if constexpr (std::is_void_v<T>)
                    handler(error);
                else
                    handler(error, std::nullopt);
            } catch (...) {
                // Nothing to tell from a destructor; the waiter's executor is gone.
            }
        }
        State(const State&) = delete;
        State& operator=(const State&) = delete;

        std::atomic<bool> called{false};
        Handler handler;
    };

    std::optional<Handler> take() const {
        if (state_->called.exchange(true, std::memory_order_acq_rel)) return std::nullopt;
        return std::optional<Handler>(std::move(state_->handler));
    }

    std::shared_ptr<State> state_;
};

}  // namespace sorvanel
