#include "runtime/awaitable.h"

#include <atomic>
#include <thread>

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/use_future.hpp>
#include <gtest/gtest.h>

namespace sorvanel {
namespace {

// Runs `task` on a fresh executor on this thread until it ends.
template <class T>
T runOnThisThread(asio::awaitable<T> task) {
    asio::io_context context;
    auto future = asio::co_spawn(context, std::move(task), asio::use_future);
    context.run();
    return future.get();
}

TEST(AwaitCompletion, ResumesOnTheWaitersThreadWithTheValueFromAnotherThread) {
    const auto waiter = std::this_thread::get_id();
    std::thread platform;
    const auto [value, resumedOn] = runOnThisThread([&]() -> asio::awaitable<std::pair<int, std::thread::id>> {
        int v = co_await awaitCompletion<int>([&](Completion<int> done) {
            platform = std::thread([done] { done.succeed(42); });
        });
        co_return std::make_pair(v, std::this_thread::get_id());
    }());
    platform.join();
    EXPECT_EQ(value, 42);
    EXPECT_EQ(resumedOn, waiter);
}

TEST(AwaitCompletion, ASecondCallNeitherResumesTwiceNorChangesTheResult) {
    std::atomic<int> resumed{0};
    std::thread platform;
    const int value = runOnThisThread([&]() -> asio::awaitable<int> {
        int v = co_await awaitCompletion<int>([&](Completion<int> done) {
            platform = std::thread([done] {
                done.succeed(1);
                done.succeed(2);
                done.fail(Error("test", 1, "late failure"));
            });
        });
        ++resumed;
        co_return v;
    }());
    platform.join();
    EXPECT_EQ(value, 1);
    EXPECT_EQ(resumed.load(), 1);
}

TEST(AwaitCompletion, AFailureResumesWithTheErrorUnchanged) {
    const auto run = [&]() -> asio::awaitable<void> {
        co_await awaitCompletion<void>([](Completion<void> done) {
            std::thread([done] { done.fail(Error("Pulse", 7, "Connection refused")); }).detach();
        });
    };
    try {
        runOnThisThread(run());
        FAIL() << "no error";
    } catch (const Error& error) {
        EXPECT_EQ(error, Error("Pulse", 7, "Connection refused"));
    }
}

TEST(AwaitCompletion, ACompletionCalledInsideTheStartStillResumesLater) {
    const int value = runOnThisThread([]() -> asio::awaitable<int> {
        co_return co_await awaitCompletion<int>([](Completion<int> done) { done.succeed(5); });
    }());
    EXPECT_EQ(value, 5);
}

TEST(SleepFor, WaitsAtLeastTheTimeAsked) {
    const auto start = std::chrono::steady_clock::now();
    runOnThisThread(sleepFor(std::chrono::milliseconds(20)));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(20));
}

}  // namespace
}  // namespace sorvanel
