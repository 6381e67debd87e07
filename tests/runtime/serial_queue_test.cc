#include "runtime/serial_queue.h"

#include <atomic>
#include <mutex>
#include <vector>

#include <gtest/gtest.h>
#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/use_future.hpp>

namespace sorvanel {
namespace {

TEST(SerialQueue, RunsItemsOneAtATimeInSubmissionOrderAndDrainsAfterThem) {
    asio::io_context context;  // outlives the queue's worker, which posts the drain to it
    SerialQueue queue("test.audio.capture");
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

TEST(SerialQueue, DestructionRunsWhatWasAlreadySubmitted) {
    std::atomic<int> ran{0};
    {
        SerialQueue queue("test.audio.capture");
        for (int i = 0; i < 50; ++i) queue.post([&] { ++ran; });
    }
    EXPECT_EQ(ran.load(), 50);
}

}  // namespace
}  // namespace sorvanel
