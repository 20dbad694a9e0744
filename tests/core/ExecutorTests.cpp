#include "core/MainQueue.h"
#include "core/RepeatingTimer.h"
#include "core/SerialQueue.h"

#include <atomic>
#include <future>
#include <gtest/gtest.h>
#include <memory>
#include <numeric>

using namespace tallowin;
using namespace std::chrono_literals;

TEST(SerialQueue, RunsWorkInOrderOnItsThreadSyncsInlineAndRethrows)
{
    SerialQueue queue("com.tallowin.test.queue", QualityOfService::Utility);
    std::vector<int> order, expected(100);
    std::iota(expected.begin(), expected.end(), 0);
    for (int i : expected)
        queue.post([&order, i] { order.push_back(i); });
    bool onQueue = false, nested = false;
    queue.sync([&] {
        onQueue = queue.isCurrent();
        queue.sync([&] { nested = true; }); // runs inline instead of waiting for itself
    });
    EXPECT_TRUE(onQueue && nested);
    EXPECT_FALSE(queue.isCurrent());
    EXPECT_EQ(order, expected);
    EXPECT_THROW(queue.sync([] { throw std::runtime_error("boom"); }), std::runtime_error);
    int value = 0;
    queue.sync([&] { value = 1; });
    EXPECT_EQ(value, 1) << "the queue keeps working after an exception";
}

TEST(SerialQueue, LastOwnerMayLetGoFromInsideTheQueue)
{
    auto queue = std::make_shared<SerialQueue>("com.tallowin.test.selfdrop", QualityOfService::Utility);
    std::promise<void> dropped;
    auto* raw = queue.get();
    raw->post([&dropped, owned = std::move(queue)]() mutable {
        owned.reset();
        dropped.set_value();
    });
    EXPECT_EQ(dropped.get_future().wait_for(5s), std::future_status::ready);
}

TEST(RepeatingTimer, FirstFireAtFirstDeadlineThenEveryInterval)
{
    SerialQueue queue("com.tallowin.test.timer", QualityOfService::UserInteractive);
    std::atomic<int> fires { 0 };
    std::atomic<bool> onQueue { true };
    RepeatingTimer timer(queue, [&] {
        onQueue = onQueue && queue.isCurrent();
        ++fires;
    });
    auto start = RepeatingTimer::Clock::now();
    timer.schedule(start, 5ms, 1ms);
    while (fires < 10 && RepeatingTimer::Clock::now() - start < 10s)
        std::this_thread::sleep_for(1ms);
    timer.cancel();
    EXPECT_GE(fires.load(), 10);
    EXPECT_TRUE(onQueue);
    // Ten fires with the first at once take at least nine intervals.
    EXPECT_GE(RepeatingTimer::Clock::now() - start, 45ms);
}

TEST(RepeatingTimer, RescheduleMovesFiresReplacedHandlerRunsAndCancelStopsThem)
{
    SerialQueue queue("com.tallowin.test.cancel", QualityOfService::UserInteractive);
    std::atomic<int> first { 0 }, fires { 0 };
    RepeatingTimer timer(queue, [&] { ++first; });
    timer.setHandler([&] { ++fires; });
    timer.schedule(RepeatingTimer::Clock::now() + 1h, 1h, 1ms);
    EXPECT_TRUE(timer.isScheduled());
    timer.schedule(RepeatingTimer::Clock::now(), 1ms, 200us);
    while (fires < 3)
        std::this_thread::sleep_for(1ms);
    timer.cancel();
    EXPECT_FALSE(timer.isScheduled());
    EXPECT_EQ(first.load(), 0);
    queue.sync([] {}); // A fire already queued before the cancel has had its chance.
    int afterCancel = fires;
    std::this_thread::sleep_for(20ms);
    queue.sync([] {});
    EXPECT_EQ(fires.load(), afterCancel);

    auto doomed = std::make_unique<SerialQueue>("com.tallowin.test.order", QualityOfService::Utility);
    RepeatingTimer outliving(*doomed, [] {});
    outliving.schedule(RepeatingTimer::Clock::now() + 1h, 1h, 0ms);
    doomed.reset(); // the timer outlives its queue safely
}

TEST(EventLoopMainQueue, RunsWorkFromOtherThreadsInOrderTimesOutAndQuits)
{
    EventLoopMainQueue mainQueue;
    EXPECT_TRUE(mainQueue.isMainThread());
    std::vector<int> order;
    std::thread([&] {
        EXPECT_FALSE(mainQueue.isMainThread());
        for (int i = 0; i < 3; ++i)
            mainQueue.post([&order, i] { order.push_back(i); });
    }).join();
    EXPECT_EQ(mainQueue.pendingCount(), 3u);
    EXPECT_EQ(mainQueue.runPending(), 3u);
    EXPECT_EQ(order, (std::vector<int> { 0, 1, 2 }));

    EXPECT_FALSE(mainQueue.runUntil([] { return false; }, 20ms));
    std::thread quitter([&] { mainQueue.quit(); });
    mainQueue.run();
    quitter.join();
}
