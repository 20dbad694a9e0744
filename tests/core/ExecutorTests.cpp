#include "core/MainQueue.h"
#include "core/MutexProtected.h"
#include "core/RepeatingTimer.h"
#include "core/SerialQueue.h"

#include <algorithm>
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
    EXPECT_TRUE(mainQueue.isMainThread() && mainQueue.isCurrentThread());
    std::vector<int> order;
    std::thread([&] {
        EXPECT_FALSE(mainQueue.isMainThread() || mainQueue.isCurrentThread());
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
    // A quit that comes before run() (the other thread was faster) still ends it, once.
    mainQueue.quit();
    mainQueue.run();
    mainQueue.post([&] { mainQueue.quit(); });
    mainQueue.run();
}

TEST(EventLoopMainQueueDeathTest, AssertOnMainQueueStopsACallerOnAnotherThread)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EventLoopMainQueue mainQueue;
    assertOnMainQueue(mainQueue); // the owner's thread passes
    EXPECT_DEATH(std::thread([&] { assertOnMainQueue(mainQueue, "offQueue"); }).join(),
        "offQueue must be called on the main queue's thread");
}

// A wake-up may come at most the leeway late, and lands on a grid shared by every timer with a
// similar leeway, so that their wake-ups coincide.
TEST(RepeatingTimer, WakeUpsRoundUpToTheLeewaysGridAndNeverEarly)
{
    using Clock = RepeatingTimer::Clock;
    struct Case {
        std::chrono::nanoseconds deadline, leeway, expected;
    };
    for (const auto& [deadline, leeway, expected] :
        std::initializer_list<Case> {
            { 1'000'000'000ns, 0ns, 1'000'000'000ns }, // no leeway: exact
            { 1'000'000'001ns, 1ns, 1'000'000'001ns }, { 5ns, 200us, 131'072ns }, // 200 µs: a grid of 2^17 ns
            { 131'072ns, 200us, 131'072ns }, // on the grid already
            { 131'073ns, 200us, 262'144ns }, { 16'666'666ns, 2ms, 16'777'216ns }, // 2 ms: a grid of 2^20 ns
            { 40ms, 40ms, 67'108'864ns }, // 40 ms: 2^25 ns
            { 1ms, 1'048'576ns, 1'048'576ns }, // a power of two is its own grid
        }) {
        auto woken = RepeatingTimer::wakeUpTime(Clock::time_point(deadline), leeway);
        EXPECT_EQ(woken.time_since_epoch(), expected) << deadline.count() << " ns, leeway " << leeway.count();
        EXPECT_GE(woken.time_since_epoch(), deadline);
        EXPECT_LT(woken.time_since_epoch() - deadline, std::max(leeway, 1ns));
    }
    // Two timers started apart but with the same leeway wake at the same instant.
    EXPECT_EQ(RepeatingTimer::wakeUpTime(Clock::time_point(16'100'000ns), 2ms),
        RepeatingTimer::wakeUpTime(Clock::time_point(16'700'000ns), 2ms));
}

TEST(MutexProtected, GivesTheValueOutOnlyUnderItsLock)
{
    MutexProtected<std::vector<int>> protectedValues;
    std::vector<std::thread> writers;
    for (int thread = 0; thread < 4; ++thread)
        writers.emplace_back([&, thread] {
            for (int i = 0; i < 1000; ++i)
                protectedValues.withLocked([&](std::vector<int>& values) { values.push_back(thread); });
        });
    for (auto& writer : writers)
        writer.join();
    // Unguarded push_backs from four threads lose elements or crash; under the lock none is lost.
    const auto& constant = protectedValues;
    auto copy = constant.withLocked([](const std::vector<int>& values) { return values; });
    EXPECT_EQ(copy.size(), 4000u);
    EXPECT_EQ(std::count(copy.begin(), copy.end(), 3), 1000);
}
