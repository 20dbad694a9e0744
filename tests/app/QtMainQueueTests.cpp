#include "app/QtMainQueue.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QObject>
#include <QTimer>
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <numeric>
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
    // More than one event's worth, so the hand-over between events is part of the check. The first
    // item posts one more, which runs after everything that was already queued.
    const int count = static_cast<int>(QtMainQueue::maximumItemsPerEvent) * 3 + 7;
    queue.post([&] {
        ran.push_back(0);
        queue.post([&] { ran.push_back(count); });
    });
    for (int index = 1; index < count; ++index)
        queue.post([&ran, index] { ran.push_back(index); });
    EXPECT_TRUE(ran.empty()) << "posting never runs work inline";
    ASSERT_TRUE(serveUntil([&] { return static_cast<int>(ran.size()) == count + 1; }));
    for (int index = 0; index <= count; ++index)
        ASSERT_EQ(ran[static_cast<std::size_t>(index)], index);
}

TEST(QtMainQueue, PostsFromManyThreadsAllRunOnTheGuiThreadInEachThreadsOrder)
{
    QtMainQueue queue;
    EXPECT_TRUE(queue.isMainThread());
    constexpr int threads = 4;
    constexpr int perThread = 2000;
    std::vector<std::vector<int>> seen(threads);
    int total = 0; // GUI thread only
    std::atomic<int> wrongThread { 0 };
    std::vector<std::thread> workers;
    for (int thread = 0; thread < threads; ++thread) {
        workers.emplace_back([&, thread] {
            wrongThread += queue.isMainThread();
            for (int index = 0; index < perThread; ++index) {
                queue.post([&, thread, index] {
                    wrongThread += !queue.isMainThread();
                    seen[static_cast<std::size_t>(thread)].push_back(index);
                    ++total;
                });
            }
        });
    }
    ASSERT_TRUE(serveUntil([&] { return total == threads * perThread; }));
    for (auto& worker : workers)
        worker.join();
    EXPECT_EQ(wrongThread.load(), 0);
    std::vector<int> inOrder(perThread);
    std::iota(inOrder.begin(), inOrder.end(), 0);
    for (const auto& values : seen)
        EXPECT_EQ(values, inOrder);
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

// Closed, or without its owner (the application object goes first at exit while threads that still
// hold the queue keep posting), the queue drops pending and later work.
TEST(QtMainQueue, WorkIsDroppedOnceTheQueueIsClosed)
{
    std::atomic<int> ran { 0 };
    QtMainQueue closed;
    auto token = std::make_shared<int>(0);
    std::weak_ptr<int> watch = token;
    closed.post([&ran, token] { ++ran; });
    token.reset();
    closed.close();
    EXPECT_TRUE(watch.expired()) << "closing releases what pending work holds";
    closed.post([&ran] { ++ran; });
    EXPECT_EQ(closed.pendingCount(), 0U);

    auto owner = std::make_unique<QObject>();
    QtMainQueue orphaned(owner.get());
    orphaned.post([&] { ++ran; });
    owner.reset();
    EXPECT_TRUE(orphaned.isClosed());
    std::thread late([&] {
        for (int index = 0; index < 100; ++index)
            orphaned.post([&] { ++ran; });
    });
    late.join();
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(ran.load(), 0);
}

}
}
