#include <gtest/gtest.h>

#include <thread>

#include "Platform/FramedReceive.h"

namespace ReceiveBufferPoolTests {

using namespace qm;

TEST(ReceiveBufferPool, ReusesLetGoBuffersOfAFittingSizeWithinItsBounds) {
    auto pool = std::make_shared<ReceiveBufferPool>(2, 4u << 20);
    const std::uint8_t* first;
    {
        auto buffer = pool->acquire(1'000'000);
        ASSERT_GE(buffer->size(), 1'000'000u);
        first = buffer->data();
        (*buffer)[0] = 42;
    }
    EXPECT_EQ(pool->idleBuffers(), 1u);
    // The same pages again, not zero-filled: the reader overwrites them.
    auto again = pool->acquire(900'000);
    EXPECT_EQ(again->data(), first);
    EXPECT_EQ((*again)[0], 42);
    EXPECT_EQ(pool->buffersMade(), 1u);

    // Too small a buffer is not stretched, and a far larger one is not spent on a small read.
    auto small = pool->acquire(100);
    auto big = pool->acquire(3'000'000);
    EXPECT_EQ(pool->buffersMade(), 3u);
    big.reset();
    auto tiny = pool->acquire(100);
    EXPECT_EQ(pool->buffersMade(), 4u);

    // Idle buffers stay within the count and byte bounds.
    again.reset();
    small.reset();
    tiny.reset();
    EXPECT_LE(pool->idleBuffers(), 2u);
    EXPECT_LE(pool->idleBytes(), 4u << 20);
}

TEST(ReceiveBufferPool, BuffersOutliveThePoolAndComeBackFromOtherThreads) {
    auto pool = std::make_shared<ReceiveBufferPool>();
    std::vector<std::shared_ptr<Bytes>> held;
    for (int i = 0; i < 20; ++i) held.push_back(pool->acquire(70'000));
    std::thread([moved = std::move(held)]() mutable { moved.clear(); }).join();
    EXPECT_EQ(pool->idleBuffers(), 16u);  // the default keeps sixteen

    auto survivor = pool->acquire(10);
    pool.reset();
    (*survivor)[0] = 1;  // still valid; freed when let go
    survivor.reset();
}

TEST(ReceiveBufferPool, ByDefaultAStreamOfChunkFramesTakesNoNewBuffersAfterItsFirstStretch) {
    // What a frame reader with a 1 MiB read size has out at once: twice that of 256 KiB chunk
    // frames held by the owner, one past that bound, one being filled. Each buffer not kept
    // would be mapped and faulted in again for the next frame.
    constexpr std::size_t frameBytes = 8 + 39 + 256 * 1024;
    constexpr std::size_t out = 2 * (1u << 20) / frameBytes + 2;
    auto pool = std::make_shared<ReceiveBufferPool>();
    for (int stretch = 0; stretch < 50; ++stretch) {
        std::vector<std::shared_ptr<Bytes>> held;
        for (std::size_t i = 0; i < out; ++i) held.push_back(pool->acquire(frameBytes));
    }
    EXPECT_EQ(pool->buffersMade(), out);
}

}  // namespace ReceiveBufferPoolTests
