#pragma once

#include <exception>
#include <functional>
#include <memory>
#include <optional>

#include <asio/any_io_executor.hpp>
#include <asio/async_result.hpp>
#include <asio/awaitable.hpp>
#include <asio/execution/outstanding_work.hpp>
#include <asio/post.hpp>
#include <asio/prefer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include "runtime/completion.h"
#include "runtime/error.h"

namespace sorvanel {

namespace detail {
// A start that throws fails its own completion, so the waiter still resumes once, with that error.
template <class T>
void startOrFail(const std::function<void(Completion<T>)>& start, Completion<T> completion) {
    try {
        start(completion);
    } catch (...) {
        completion.failWith(std::current_exception());
    }
}
}  // namespace detail

// Starts a platform operation and suspends until its completion is called, on whatever thread.
// The waiter always resumes on its own executor, exactly once, with the value or the error.
template <class T>
asio::awaitable<T> awaitCompletion(std::function<void(Completion<T>)> start) {
    const auto executor = co_await asio::this_coro::executor;
    // Tracked, so the executor keeps running while a completion is outstanding. The tracking and
    // the waiter's handler move into the posted item, so both end on the waiter's thread and the
    // platform's thread keeps nothing of the waiter's after the call.
    auto work = asio::prefer(executor, asio::execution::outstanding_work.tracked);
    if constexpr (std::is_void_v<T>) {
        co_await asio::async_initiate<decltype(asio::use_awaitable), void(std::exception_ptr)>(
            [&start, &executor, &work](auto handler) {
                auto waiter = std::make_shared<decltype(handler)>(std::move(handler));
                detail::startOrFail<void>(
                    start, Completion<void>([waiter, executor, work = std::move(work)](
                                                std::exception_ptr error) mutable {
                        // The error moves along, so that no reference to it stays on the
                        // platform's thread: the waiter's thread is the last to hold it.
                        asio::post(executor,
                                   [waiter = std::move(waiter), work = std::move(work),
                                    error = std::move(error)]() mutable { (*waiter)(error); });
                    }));
            },
            asio::use_awaitable);
    } else {
        std::optional<T> result =
            co_await asio::async_initiate<decltype(asio::use_awaitable),
                                          void(std::exception_ptr, std::optional<T>)>(
                [&start, &executor, &work](auto handler) {
                    auto waiter = std::make_shared<decltype(handler)>(std::move(handler));
                    detail::startOrFail<T>(
                        start, Completion<T>([waiter, executor, work = std::move(work)](
                                                 std::exception_ptr error,
                                                 std::optional<T> value) mutable {
                            asio::post(executor, [waiter = std::move(waiter),
                                                  work = std::move(work), error = std::move(error),
                                                  value = std::move(value)]() mutable {
                                (*waiter)(error, std::move(value));
                            });
                        }));
                },
                asio::use_awaitable);
        co_return std::move(*result);
    }
}

}  // namespace sorvanel
