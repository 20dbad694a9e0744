#include "app/MainThreadLoadMeter.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <QElapsedTimer>
#include <QWidget>
#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <thread>
#include <tuple>
#include <vector>

namespace tallowin {
namespace {

using namespace std::chrono_literals;

struct FakeClock {
    std::chrono::nanoseconds now { 5s };
    MainThreadLoadMeter::Clock function()
    {
        return [this] { return now; };
    }
};

TEST(MainThreadLoadMeter, SumsTheTimeBetweenWakingAndBlocking)
{
    // Each step: w wakes, b is about to block, f draws a frame, a number advances the clock (ms).
    const std::tuple<const char*, const char*, std::chrono::milliseconds, std::uint64_t> cases[] {
        { "idle all second", "1000", 0ms, 0 },
        { "two spans", "w 30 b 100 w 20 b 850", 50ms, 0 },
        // Nested event loops wake and block again inside an outer span.
        { "nested wake counts once", "w 10 w 10 b 980", 20ms, 0 },
        { "block without wake is ignored", "b 1000", 0ms, 0 },
        { "busy span still open at the report is counted up to it", "900 w 100", 100ms, 0 },
        { "frames", "f f f 1000", 0ms, 3 },
    };
    for (const auto& [name, script, busy, frames] : cases) {
        FakeClock clock;
        MainThreadLoadMeter meter(clock.function());
        std::istringstream steps(script);
        for (std::string step; steps >> step;) {
            if (step == "w")
                meter.awake();
            else if (step == "b")
                meter.aboutToBlock();
            else if (step == "f")
                meter.frame();
            else
                clock.now += std::chrono::milliseconds(std::stoi(step));
        }
        auto report = meter.takeReportIfDue();
        ASSERT_TRUE(report) << name;
        EXPECT_EQ(report->busy, busy) << name;
        EXPECT_EQ(report->frames, frames) << name;
        EXPECT_EQ(report->window, std::chrono::nanoseconds(1s)) << name;
    }
}

TEST(MainThreadLoadMeter, ReportsOncePerWindowAndStartsAfresh)
{
    FakeClock clock;
    MainThreadLoadMeter meter(clock.function());
    meter.awake();
    clock.now += 999ms;
    EXPECT_FALSE(meter.takeReportIfDue()) << "a window is not over before its second";
    EXPECT_EQ(meter.timeUntilDue(), std::chrono::nanoseconds(1ms));
    clock.now += 1ms;
    EXPECT_EQ(meter.timeUntilDue(), std::chrono::nanoseconds(0));
    auto first = meter.takeReportIfDue();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->busy, std::chrono::nanoseconds(1s));
    EXPECT_DOUBLE_EQ(first->load(), 1.0);
    EXPECT_FALSE(meter.takeReportIfDue()) << "the next window has just begun";
    EXPECT_EQ(meter.timeUntilDue(), std::chrono::nanoseconds(1s));

    // The span that crossed the boundary continues in the next window, from the boundary.
    clock.now += 250ms;
    meter.aboutToBlock();
    meter.frame();
    clock.now += 750ms;
    auto second = meter.takeReportIfDue();
    ASSERT_TRUE(second);
    EXPECT_EQ(second->busy, std::chrono::nanoseconds(250ms));
    EXPECT_EQ(second->frames, 1U);
    EXPECT_DOUBLE_EQ(second->load(), 0.25);
}

TEST(MainThreadLoadMeter, ReportLineReadsInWholeMilliseconds)
{
    MainThreadLoadMeter::Report report { 42700us, 1000ms, 60 };
    EXPECT_EQ(report.text(), "main thread busy 42 ms in the last 1000 ms, 60 frames");
    EXPECT_EQ(MainThreadLoadMeter::Report {}.load(), 0.0);
}

// The probe on the real event dispatcher: work the GUI thread does shows up as busy time, the
// waits between timer ticks do not, and repainting a window counts frames.
TEST(MainThreadLoadProbe, SeesGuiThreadWorkAndFrames)
{
    QElapsedTimer elapsed;
    elapsed.start();
    std::vector<MainThreadLoadMeter::Report> reports;
    {
        MainThreadLoadProbe probe([&] { return std::chrono::nanoseconds(elapsed.nsecsElapsed()); },
            [&](const MainThreadLoadMeter::Report& report) { reports.push_back(report); });
        QWidget window;
        window.resize(200, 100);
        window.show();
        QEventLoop loop;
        QTimer tick;
        // 5 ms of work every 25 ms: a fifth of the thread, far from idle and far from full.
        QObject::connect(&tick, &QTimer::timeout, [&] {
            window.update();
            std::this_thread::sleep_for(5ms);
        });
        tick.start(25);
        QTimer::singleShot(2600, &loop, &QEventLoop::quit);
        loop.exec();
    }
    ASSERT_GE(reports.size(), 2U);
    for (const auto& each : reports) {
        EXPECT_GE(each.window, std::chrono::nanoseconds(1s));
        EXPECT_LT(each.window, std::chrono::nanoseconds(1900ms)) << "a window was skipped";
    }
    const auto& report = reports.front();
    EXPECT_GT(report.busy, std::chrono::nanoseconds(60ms));
    EXPECT_LT(report.busy, report.window * 3 / 4);
    EXPECT_GT(report.frames, 0U);
}

}
}
