#include "runtime/awaitable.h"

#include <atomic>
#include <thread>

#include <gtest/gtest.h>
#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/use_future.hpp>

#include "support/joining_thread.h"

namespace sorvanel {
namespace {

// A waiter's executor on this thread, and the platform's threads, which end before it does: a
// completing thread may still be leaving its post when the waiter has already resumed.
class AwaitCompletionTest : public ::testing::Test {
  protected:
    template <class T>
    T run(asio::awaitable<T> task) {
        auto future = asio::co_spawn(context, std::move(task), asio::use_future);
        context.restart();
        context.run();
        return future.get();
    }

    template <class F>
    void onPlatformThread(F body) {
        platform.emplace_back(std::move(body));
    }

    asio::io_context context;
    std::vector<testing::JoiningThread> platform;
};

TEST_F(AwaitCompletionTest, ResumesOnTheWaitersThreadWithTheValueFromAnotherThread) {
    const auto waiter = std::this_thread::get_id();
    const auto [value, resumedOn] = run([&]() -> asio::awaitable<std::pair<int, std::thread::id>> {
        int v = co_await awaitCompletion<int>(
            [&](Completion<int> done) { onPlatformThread([done] { done.succeed(42); }); });
        co_return std::make_pair(v, std::this_thread::get_id());
    }());
    EXPECT_EQ(value, 42);
    EXPECT_EQ(resumedOn, waiter);
}

TEST_F(AwaitCompletionTest, ASecondCallNeitherResumesTwiceNorChangesTheResult) {
    std::atomic<int> resumed{0};
    const int value = run([&]() -> asio::awaitable<int> {
        int v = co_await awaitCompletion<int>([&](Completion<int> done) {
            onPlatformThread([done] {
                done.succeed(1);
                done.succeed(2);
                done.fail(Error("test", 1, "late failure"));
            });
        });
        ++resumed;
        co_return v;
    }());
    platform.clear();
    EXPECT_EQ(value, 1);
    EXPECT_EQ(resumed.load(), 1);
}

TEST_F(AwaitCompletionTest, AFailureResumesWithTheErrorUnchanged) {
    const auto task = [&]() -> asio::awaitable<void> {
        co_await awaitCompletion<void>([&](Completion<void> done) {
            onPlatformThread([done] { done.fail(Error("Pulse", 7, "Connection refused")); });
        });
    };
    try {
        run(task());
        FAIL() << "no error";
    } catch (const Error& error) {
        EXPECT_EQ(error, Error("Pulse", 7, "Connection refused"));
    }
}

TEST_F(AwaitCompletionTest, AStartThatThrowsResumesTheWaiterWithItsErrorInsteadOfEndingTheProcess) {
    const auto task = []() -> asio::awaitable<int> {
        co_return co_await awaitCompletion<int>(
            [](Completion<int>) { throw Error("SorvanelAudio", 9, "no thread for the writer"); });
    };
    EXPECT_THROW(run(task()), Error);
    const auto afterACall = []() -> asio::awaitable<void> {
        co_await awaitCompletion<void>([](Completion<void> done) {
            done.succeed();
            throw Error("SorvanelAudio", 9, "too late to count");
        });
    };
    EXPECT_NO_THROW(run(afterACall())) << "only the first outcome counts";
}

TEST_F(AwaitCompletionTest, ACompletionCalledInsideTheStartStillResumesLater) {
    const int value = run([]() -> asio::awaitable<int> {
        co_return co_await awaitCompletion<int>([](Completion<int> done) { done.succeed(5); });
    }());
    EXPECT_EQ(value, 5);
}

TEST_F(AwaitCompletionTest, ACompletionDroppedUncalledOnAnotherThreadFailsTheWaiter) {
    const auto task = [&]() -> asio::awaitable<void> {
        co_await awaitCompletion<void>(
            [&](Completion<void> done) { onPlatformThread([dropped = std::move(done)] {}); });
    };
    try {
        run(task());
        FAIL() << "no error";
    } catch (const Error& error) {
        EXPECT_EQ(error.domain(), "SorvanelAudio");
        EXPECT_EQ(error.code(), kNoAnswerErrorCode);
    }
}

}  // namespace
}  // namespace sorvanel
