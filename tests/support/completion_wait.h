#pragma once

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <stdexcept>
#include <type_traits>

#include "runtime/completion.h"

namespace sorvanel::testing {

// Starts a platform operation and waits here for its completion, at most 10 s; its value, or
// its error thrown. Only for tests: the tool itself never blocks on a completion.
template <class T>
T wait(std::function<void(Completion<T>)> start) {
    auto promise = std::make_shared<std::promise<T>>();
    auto future = promise->get_future();
    if constexpr (std::is_void_v<T>) {
        start(Completion<void>([promise](std::exception_ptr error) {
            error ? promise->set_exception(error) : promise->set_value();
        }));
    } else {
        start(Completion<T>([promise](std::exception_ptr error, std::optional<T> value) {
            error ? promise->set_exception(error) : promise->set_value(std::move(*value));
        }));
    }
    if (future.wait_for(std::chrono::seconds(10)) != std::future_status::ready)
        throw std::runtime_error("the completion was not called within 10 s");
    return future.get();
}

}  // namespace sorvanel::testing
