#include "runtime/awaitable.h"

namespace sorvanel {

asio::awaitable<void> sleepFor(std::chrono::nanoseconds duration) {
    asio::steady_timer timer(co_await asio::this_coro::executor, duration);
    try {
        co_await timer.async_wait(asio::use_awaitable);
    } catch (const std::system_error& error) {
        throw errorFrom(error);
    }
}

Error errorFrom(const std::system_error& error) {
    return Error(error.code().category().name(), error.code().value(), error.code().message());
}

}  // namespace sorvanel
