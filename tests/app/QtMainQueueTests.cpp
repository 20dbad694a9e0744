#include "app/QtMainQueue.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QObject>
#include <QTimer>
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <memory>
#include <thread>
#include <vector>

namespace tallowin {
namespace {

// Serves the event loop until the predicate holds or five seconds passed.
bool serveUntil(const std::function<bool()>& predicate)
{
    QElapsedTimer elapsed;
    elapsed.start();
    while (!predicate()) {
        if (elapsed.elapsed() > 5000)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

TEST(QtMainQueue, RunsWorkOnTheGuiThreadInPostingOrder)
{
    QtMainQueue queue;
    std::vector<int> ran;
    // More than one event's worth, so the hand-over between events is part of the check.
    const int count = static_cast<int>(QtMainQueue::maximumItemsPerEvent) * 3 + 7;
    for (int index = 0; index < count; ++index)
        queue.post([&ran, index] { ran.push_back(index); });
    EXPECT_TRUE(ran.empty()) << "posting never runs work inline";
    ASSERT_TRUE(serveUntil([&] { return static_cast<int>(ran.size()) == count; }));
    for (int index = 0; index < count; ++index)
        ASSERT_EQ(ran[static_cast<std::size_t>(index)], index);
}

TEST(QtMainQueue, WorkPostedByWorkRunsAfterWhatWasAlreadyQueued)
{
    QtMainQueue queue;
    std::vector<std::string> ran;
    queue.post([&] {
        ran.push_back("first");
        queue.post([&] { ran.push_back("posted by first"); });
    });
    queue.post([&] { ran.push_back("second"); });
    ASSERT_TRUE(serveUntil([&] { return ran.size() == 3; }));
    EXPECT_EQ(ran, (std::vector<std::string> { "first", "second", "posted by first" }));
}

TEST(QtMainQueue, PostsFromManyThreadsAllRunOnTheGuiThreadInEachThreadsOrder)
{
    QtMainQueue queue;
    EXPECT_TRUE(queue.isMainThread());
    constexpr int threads = 4;
    constexpr int perThread = 2000;
    std::map<int, std::vector<int>> seen;
    std::atomic<int> offGuiThread { 0 };
    std::atomic<int> workerSawMainThread { 0 };
    std::vector<std::thread> workers;
    for (int thread = 0; thread < threads; ++thread) {
        workers.emplace_back([&, thread] {
            if (queue.isMainThread())
                ++workerSawMainThread;
            for (int index = 0; index < perThread; ++index) {
                queue.post([&, thread, index] {
                    if (!queue.isMainThread())
                        ++offGuiThread;
                    seen[thread].push_back(index);
                });
            }
        });
    }
    auto total = [&] {
        std::size_t sum = 0;
        for (const auto& [thread, values] : seen)
            sum += values.size();
        return sum;
    };
    ASSERT_TRUE(serveUntil([&] { return total() == threads * perThread; }));
    for (auto& worker : workers)
        worker.join();
    EXPECT_EQ(offGuiThread.load(), 0);
    EXPECT_EQ(workerSawMainThread.load(), 0);
    for (const auto& [thread, values] : seen) {
        for (int index = 0; index < perThread; ++index)
            ASSERT_EQ(values[static_cast<std::size_t>(index)], index) << "thread " << thread;
    }
}

// A modal dialog opened by one item spins a nested event loop; the items queued after it must
// keep running inside that loop, in order, or the window would freeze behind the dialog.
TEST(QtMainQueue, ANestedEventLoopKeepsServingTheQueueInOrder)
{
    QtMainQueue queue;
    std::vector<std::string> ran;
    queue.post([&] {
        ran.push_back("first begins");
        // The dialog: a nested loop that ends once the rest of the queue has run (or after 3 s).
        QEventLoop nested;
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            if (ran.size() == 3)
                nested.quit();
        });
        poll.start(1);
        QTimer::singleShot(3000, &nested, &QEventLoop::quit);
        nested.exec();
        ran.push_back("first ends");
    });
    queue.post([&] { ran.push_back("second"); });
    queue.post([&] { ran.push_back("third"); });
    ASSERT_TRUE(serveUntil([&] { return ran.size() == 4; }));
    EXPECT_EQ(ran, (std::vector<std::string> { "first begins", "second", "third", "first ends" }));
}

TEST(QtMainQueue, WorkIsDroppedOnceTheQueueIsClosed)
{
    QtMainQueue queue;
    int ran = 0;
    auto token = std::make_shared<int>(0);
    std::weak_ptr<int> watch = token;
    queue.post([&ran, token] { ++ran; });
    token.reset();
    queue.close();
    EXPECT_TRUE(watch.expired()) << "closing releases what pending work holds";
    queue.post([&ran] { ++ran; });
    EXPECT_EQ(queue.pendingCount(), 0U);
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(ran, 0);
    EXPECT_TRUE(queue.isClosed());
}

// The application object goes first at exit; threads that still hold the queue keep posting.
TEST(QtMainQueue, WorkPostedAfterTheOwnerIsGoneNeverRuns)
{
    auto owner = std::make_unique<QObject>();
    QtMainQueue queue(owner.get());
    std::atomic<int> ran { 0 };
    queue.post([&] { ++ran; });
    owner.reset();
    EXPECT_TRUE(queue.isClosed());
    std::thread late([&] {
        for (int index = 0; index < 100; ++index)
            queue.post([&] { ++ran; });
    });
    late.join();
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(ran.load(), 0);
}

}
}
