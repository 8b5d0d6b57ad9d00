#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <future>
#include <set>
#include <thread>
#include <vector>

#include "Platform/Core/AsioDispatchQueue.h"
#include "Platform/Core/Crypto.h"
#include "Platform/Core/ManualDispatchQueue.h"
#include "Platform/Core/QueueCheck.h"

namespace DispatchQueueTests {

using namespace qm;

TEST(ManualDispatchQueue, DelayedWorkRunsOnlyWhenTheClockReachesIt) {
    auto clock = std::make_shared<ManualClock>();
    auto queue = clock->makeQueue("test");
    const auto start = clock->uptimeNs();
    std::vector<std::string> log;

    queue->asyncAfter(0.45, [&] { log.push_back("start@" + std::to_string(clock->uptimeNs() - start)); });
    auto cancelled = queue->asyncAfter(0.2, [&] { log.push_back("cancelled ran"); });
    cancelled->cancel();
    queue->async([&] { log.push_back("now"); });

    queue->runUntilIdle();
    EXPECT_EQ(log, std::vector<std::string>{"now"});
    clock->advance(0.44);
    EXPECT_EQ(log.size(), 1u);
    clock->advance(0.01);
    EXPECT_EQ(log, (std::vector<std::string>{"now", "start@450000000"}));
    EXPECT_EQ(clock->uptimeNs() - start, 450'000'000u);
}

TEST(ManualDispatchQueue, RepeatingTimerTicksEverySecondUntilCancelled) {
    auto clock = std::make_shared<ManualClock>();
    auto queue = clock->makeQueue("ticks");
    std::vector<std::uint64_t> ticks;
    const auto start = clock->uptimeNs();
    auto timer = RepeatingTimer::schedule(queue, 1.0, [&] { ticks.push_back((clock->uptimeNs() - start) / 1'000'000); });

    clock->advance(3.5);
    EXPECT_EQ(ticks, (std::vector<std::uint64_t>{1000, 2000, 3000}));
    timer->cancel();
    clock->advance(5);
    EXPECT_EQ(ticks.size(), 3u);
}

TEST(ManualDispatchQueue, QueuesOnOneClockFireInDeadlineOrder) {
    auto clock = std::make_shared<ManualClock>();
    auto a = clock->makeQueue("a");
    auto b = clock->makeQueue("b");
    std::vector<std::string> order;
    a->asyncAfter(0.3, [&] { order.push_back("a0.3"); });
    b->asyncAfter(0.1, [&] {
        order.push_back("b0.1");
        // Work scheduled from a timer lands on the other queue's timeline too.
        a->asyncAfter(0.1, [&] { order.push_back("a0.2"); });
    });
    clock->advance(1);
    EXPECT_EQ(order, (std::vector<std::string>{"b0.1", "a0.2", "a0.3"}));
}

TEST(ManualDispatchQueue, SyncRunsInlineAndKnowsItsQueue) {
    auto clock = std::make_shared<ManualClock>();
    auto queue = clock->makeQueue("q");
    EXPECT_FALSE(queue->isCurrent());
    EXPECT_EQ(queue->sync([&] { return queue->isCurrent() ? 7 : 0; }), 7);
    queue->async([&] {
        EXPECT_THROW(queue->sync([] {}), std::logic_error);
        EXPECT_EQ(queue->syncInline([] { return 3; }), 3);
    });
    EXPECT_EQ(queue->runUntilIdle(), 1u);
}

TEST(AsioDispatchQueue, RunsWorkInOrderOnOneThread) {
    std::vector<int> seen;  // these outlive the queue, whose thread writes them
    std::set<std::thread::id> threads;
    AsioDispatchQueue queue("order");
    for (int i = 0; i < 100; ++i) {
        queue.async([&, i] {
            seen.push_back(i);
            threads.insert(std::this_thread::get_id());
        });
    }
    const auto count = queue.sync([&] { return seen.size(); });
    EXPECT_EQ(count, 100u);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(seen[static_cast<std::size_t>(i)], i);
    EXPECT_EQ(threads.size(), 1u);
    EXPECT_NE(*threads.begin(), std::this_thread::get_id());
}

TEST(AsioDispatchQueue, SyncFromAnotherThreadReturnsResultAndPropagatesErrors) {
    std::promise<bool> fired;  // outlives the queue, whose thread sets it
    AsioDispatchQueue queue("sync");
    EXPECT_EQ(queue.sync([&] { return queue.isCurrent(); }), true);
    EXPECT_FALSE(queue.isCurrent());
    EXPECT_THROW(queue.sync([]() -> int { throw std::runtime_error("boom"); }), std::runtime_error);
    auto item = queue.asyncAfter(0.001, [&] { fired.set_value(true); });
    EXPECT_TRUE(fired.get_future().get());
}

TEST(AsioDispatchQueue, ACancelledDelayedItemLetsGoOfWhatItHoldsAtOnce) {
    // A session's sign-in deadline holds it (weakly or not) for twenty seconds; once cancelled, the
    // queue may still keep the timer, but not what the block captured.
    auto queue = std::make_shared<qm::AsioDispatchQueue>("test.cancel");
    auto held = std::make_shared<int>(7);
    std::weak_ptr<int> watch = held;
    auto item = queue->asyncAfter(3600, [held] { (void)*held; });
    held.reset();
    EXPECT_FALSE(watch.expired());
    item->cancel();
    EXPECT_TRUE(watch.expired());
    item->perform();  // a cancelled item never runs its block
    queue->shutdown();
}

TEST(AsioDispatchQueue, CancelledDelayedItemsLeaveNoTimerBehindUntilTheirDeadline) {
    // Every connection that never signs in arms a twenty-second deadline and cancels it as it
    // goes: a flood of them must not leave a timer each for the queue to keep.
    auto queue = std::make_shared<qm::AsioDispatchQueue>("test.cancel.many");
    std::vector<std::weak_ptr<qm::DispatchWorkItem>> items;
    for (int i = 0; i < 20000; ++i) {
        auto item = queue->asyncAfter(3600, [] {});
        item->cancel();
        items.push_back(item);
    }
    const auto kept = [&] { return std::ranges::count_if(items, [](const auto& item) { return !item.expired(); }); };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (kept() > 0 && std::chrono::steady_clock::now() < deadline) queue->sync([] {});
    EXPECT_EQ(kept(), 0) << "cancelled items the queue still keeps";
    // An item cancelled before it was handed to the queue goes too; one not cancelled still runs.
    auto early = std::make_shared<qm::DispatchWorkItem>([] {});
    early->cancel();
    std::weak_ptr<qm::DispatchWorkItem> earlyWatch = early;
    queue->asyncAfter(3600, std::move(early));
    std::promise<void> ran;
    queue->asyncAfter(0.01, [&] { ran.set_value(); });
    ran.get_future().wait();
    queue->sync([] {});
    EXPECT_TRUE(earlyWatch.expired());
    queue->shutdown();
}

// Delayed blocks still waiting when a queue stops are let go on the queue's thread while its
// context is whole, so what they hold may still use the queue (a timer cancelling, a block
// scheduling another) instead of reaching into a context being destroyed.
TEST(AsioDispatchQueue, BlocksNotYetDueAreReleasedBeforeTheQueueIsTornDown) {
    struct UsesQueueWhenReleased {
        std::shared_ptr<AsioDispatchQueue> queue;
        std::shared_ptr<std::atomic<int>> released;
        std::shared_ptr<std::thread::id> on;
        ~UsesQueueWhenReleased() {
            if (!queue) return;
            *on = std::this_thread::get_id();
            queue->asyncAfter(3600, [] {});  // dropped: the queue has stopped
            ++*released;
        }
    };
    auto released = std::make_shared<std::atomic<int>>(0);
    auto releasedOn = std::make_shared<std::thread::id>();
    std::thread::id queueThread;
    {
        auto queue = std::make_shared<AsioDispatchQueue>("test.teardown");
        queueThread = queue->sync([] { return std::this_thread::get_id(); });
        // A repeating timer on the same queue, held only by a block that is never due.
        auto timer = RepeatingTimer::schedule(queue, 3600, [] {});
        auto holder = std::make_shared<UsesQueueWhenReleased>();
        holder->queue = queue;
        holder->released = released;
        holder->on = releasedOn;
        // The holder keeps the queue alive, so the queue is stopped explicitly, as owners do.
        queue->asyncAfter(3600, [holder, timer] {});
        holder.reset();
        timer.reset();
        queue->shutdown();
    }
    EXPECT_EQ(released->load(), 1);
    EXPECT_EQ(*releasedOn, queueThread);
}

namespace {

std::atomic<bool> lastBlockDone{false};
std::atomic<bool> exitBegan{false};

// Exits with the queue thread's last block still to run: a queue that used OpenSSL, let go of
// from one of its own blocks, whose thread therefore finishes alone. At exit, before OpenSSL
// cleans up, the last block must be done (code 3 if not); under LeakSanitizer the thread's
// OpenSSL state must not be lost either.
[[noreturn]] void exitWhileAQueueFinishesAlone() {
    (void)crypto::randomBytes(16);  // OpenSSL registers its clean-up at exit now, before the check
    std::atexit([] {
        if (!lastBlockDone.load()) std::_Exit(3);
    });
    auto queue = std::make_shared<AsioDispatchQueue>("test.alone");
    std::promise<void> mayLetGo, letGo;
    queue->async([q = queue, mayLetGo = mayLetGo.get_future().share(), &letGo]() mutable {
        (void)crypto::randomBytes(16);  // this thread's own random generators and error queue
        mayLetGo.wait();
        q.reset();  // the last reference, dropped on the queue's own thread
        letGo.set_value();
    });
    // The last block is still at work when the process begins to exit: it ends only once the
    // first of the exit's handlers (registered last, below) has run.
    queue->async([] {
        exitBegan.wait(false);
        lastBlockDone = true;
    });
    queue.reset();
    mayLetGo.set_value();
    letGo.get_future().wait();
    std::atexit([] {
        exitBegan = true;
        exitBegan.notify_all();
    });
    std::exit(0);
}

}  // namespace

TEST(AsioDispatchQueueDeathTest, AQueueLetGoOfOnItsOwnThreadIsDoneBeforeOpenSSLCleansUpAtExit) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(exitWhileAQueueFinishesAlone(), ::testing::ExitedWithCode(0), "");
}

// The check at the top of a queue-only operation is no assert: it stops the process in the
// NDEBUG builds tests and CI run, naming the operation and the queue.
TEST(QueueCheckDeathTest, AQueueOnlyOperationEnteredElsewhereStopsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto clock = std::make_shared<ManualClock>();
    auto manual = clock->makeQueue("v230.test.manual");
    bool ran = false;
    manual->sync([&] {
        requireOnQueue(*manual, "removeSession");
        ran = true;
    });
    EXPECT_TRUE(ran);
    EXPECT_DEATH(requireOnQueue(*manual, "removeSession"), "removeSession ran off its queue v230.test.manual");

    auto threaded = std::make_shared<AsioDispatchQueue>("v230.test.asio");
    EXPECT_TRUE(threaded->sync([&] {
        requireOnQueue(*threaded, "statisticsTick");
        return true;
    }));
    EXPECT_DEATH(requireOnQueue(*threaded, "statisticsTick"), "statisticsTick ran off its queue v230.test.asio");
}

}  // namespace DispatchQueueTests
