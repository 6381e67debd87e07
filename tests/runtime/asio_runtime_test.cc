#include <atomic>
#include <future>
#include <mutex>
#include <stdexcept>
#include <vector>

#include <gtest/gtest.h>
#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/use_future.hpp>

#include "platform/asio/asio_runtime.h"
#include "runtime/error.h"

namespace sorvanel {
namespace {

TEST(AsioSerialQueue, RunsJobsOneAtATimeInSubmissionOrderAndDrainsAfterThem) {
    asio::io_context context;  // outlives the queue's worker, which posts the drain to it
    AsioSerialQueue queue("test.audio.capture");
    std::vector<int> order;  // written only on the queue, read after the drain
    std::atomic<int> running{0};
    std::atomic<bool> overlapped{false};
    for (int i = 0; i < 200; ++i) {
        queue.post([&, i] {
            if (running.fetch_add(1) != 0) overlapped = true;
            EXPECT_TRUE(queue.isCurrent());
            order.push_back(i);
            running.fetch_sub(1);
        });
    }
    auto drained = asio::co_spawn(context, queue.drain(), asio::use_future);
    context.run();
    drained.get();
    ASSERT_EQ(order.size(), 200u);
    for (int i = 0; i < 200; ++i) EXPECT_EQ(order[i], i);
    EXPECT_FALSE(overlapped);
    EXPECT_FALSE(queue.isCurrent());
}

TEST(AsioSerialQueue, AJobThatThrowsFailsTheNextDrainAndTheQueueGoesOn) {
    asio::io_context context;
    AsioSerialQueue queue("test.audio.capture");
    std::atomic<int> ran{0};
    queue.post([] { throw std::runtime_error("lost a buffer"); });
    queue.post([&] { ++ran; });
    auto first = asio::co_spawn(context, queue.drain(), asio::use_future);
    context.run();
    try {
        first.get();
        FAIL() << "the failure vanished";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "lost a buffer");
    }
    EXPECT_EQ(ran.load(), 1);
    auto second = asio::co_spawn(context, queue.drain(), asio::use_future);
    context.restart();
    context.run();
    EXPECT_NO_THROW(second.get()) << "reported once";
}

TEST(AsioSerialQueue, DestructionRunsWhatWasAlreadySubmitted) {
    std::atomic<int> ran{0};
    {
        AsioSerialQueue queue("test.audio.capture");
        for (int i = 0; i < 50; ++i) queue.post([&] { ++ran; });
    }
    EXPECT_EQ(ran.load(), 50);
}

TEST(AsioRuntime, ServingEndsWithTheReasonInsteadOfSpinningWhenStoppedOrAHandlerThrows) {
    {
        AsioRuntime runtime;
        runtime.context().stop();
        EXPECT_THROW(std::rethrow_exception(runtime.serveMainExecutor()), Error);
    }
    {
        AsioRuntime runtime;
        asio::post(runtime.mainExecutor(), [] { throw std::runtime_error("escaped"); });
        EXPECT_THROW(std::rethrow_exception(runtime.serveMainExecutor()), std::runtime_error);
    }
}

TEST(AsioRuntime, AScheduledWakeUpWaitsAtLeastTheTimeAsked) {
    AsioRuntime runtime;
    const auto start = std::chrono::steady_clock::now();
    bool fired = false;
    runtime.scheduleAfter(std::chrono::milliseconds(20), [&fired] { fired = true; });
    while (!fired) runtime.context().run_one();
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(20));
}

}  // namespace
}  // namespace sorvanel
