#include "monitor/DiskIOMonitor.h"
#include "support/FakeDeviceRegistry.h"
#include "support/LanguageGuard.h"

#include <algorithm>
#include <array>
#include <condition_variable>
#include <gtest/gtest.h>
#include <map>
#include <mutex>
#include <pthread.h>
#include <thread>

using namespace tallowin;
using namespace std::chrono_literals;
using tallowin::testing::FakeDeviceRegistry;
using Property = DiskIOMonitor::Property;

namespace tallowin {
// Reaches the publishing decision and the refresh handle, which have no public face.
struct DiskIOMonitorTestPeer {
    static std::string decide(
        DiskIOMonitor& monitor, const std::string& bsdName, std::optional<DiskSMARTInfo> info)
    {
        switch (monitor.decideSMARTPublish(bsdName, std::move(info))) {
        case DiskIOMonitor::SMARTPublishResult::applied:
            return "applied";
        case DiskIOMonitor::SMARTPublishResult::identical:
            return "identical";
        case DiskIOMonitor::SMARTPublishResult::discarded:
            return "discarded";
        }
        return "?";
    }
    static bool refreshIsRunning(const DiskIOMonitor& monitor)
    {
        return monitor.m_smartRefreshTask != nullptr;
    }
};
}

namespace {

DiskVolumeDescriptor volume(std::string bsdName, std::string displayName = "Data")
{
    DiskVolumeDescriptor descriptor;
    descriptor.url = "/mnt/" + bsdName;
    descriptor.bsdName = std::move(bsdName);
    descriptor.displayName = std::move(displayName);
    return descriptor;
}

DiskSMARTInfo report(std::string status, std::vector<DiskSMARTInfo::Detail> details = {})
{
    return { std::move(status), true, std::move(details), "smartctl -j -x /dev/sda" };
}

// A SMART source whose fetches the test can hold: while the gate is closed, a fetch waits inside
// the call, as a slow helper would. Answers come per BSD name; unknown names get nothing. Every
// fetch must run on the refresh thread, never on the main thread.
class FakeSMARTSource {
public:
    explicit FakeSMARTSource(const MainQueue& mainQueue)
        : m_mainQueue(mainQueue)
    { }

    std::optional<DiskSMARTInfo> fetch(const std::string& bsdName)
    {
        std::array<char, 16> thread {};
        pthread_getname_np(pthread_self(), thread.data(), thread.size());
        std::unique_lock lock(m_mutex);
        m_calls.push_back(bsdName);
        if (m_mainQueue.isMainThread() || std::string_view(thread.data()) != "tallowin-smart")
            m_strayCalls.push_back(bsdName + " on " + thread.data());
        m_changed.notify_all();
        m_changed.wait(lock, [&] { return m_open; });
        auto answer = m_answers.find(bsdName);
        return answer == m_answers.end() ? std::nullopt : answer->second;
    }

    void answer(const std::string& bsdName, std::optional<DiskSMARTInfo> info)
    {
        std::lock_guard lock(m_mutex);
        m_answers[bsdName] = std::move(info);
    }
    void setOpen(bool open)
    {
        std::lock_guard lock(m_mutex);
        m_open = open;
        m_changed.notify_all();
    }
    bool waitForCalls(std::size_t count, const std::string& bsdName)
    {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, 10s,
            [&] { return std::ranges::count(m_calls, bsdName) >= static_cast<std::ptrdiff_t>(count); });
    }
    std::size_t calls(const std::string& bsdName) const
    {
        std::lock_guard lock(m_mutex);
        return static_cast<std::size_t>(std::ranges::count(m_calls, bsdName));
    }
    std::vector<std::string> strayCalls() const
    {
        std::lock_guard lock(m_mutex);
        return m_strayCalls;
    }

private:
    const MainQueue& m_mainQueue;
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::string> m_calls, m_strayCalls;
    std::map<std::string, std::optional<DiskSMARTInfo>> m_answers;
    bool m_open { true };
};

class VolumeSelectionTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        // A held fetch would keep the monitor's destructor waiting for the refresh thread.
        smart->setOpen(true);
        monitor.reset();
    }

    std::shared_ptr<DiskIOMonitor> makeMonitor(std::chrono::nanoseconds interval)
    {
        DiskIOMonitor::VolumeSelectionServices services;
        services.resolveVolume
            = [this](const std::string& location) -> Expected<DiskVolumeDescriptor, MonitorError> {
            resolved.push_back(location);
            auto known = locations.find(location);
            if (known == locations.end())
                return Unexpected(MonitorError { MonitorError::Kind::bsdNameResolutionFailed });
            return known->second;
        };
        services.fetchSMARTInfo
            = [source = smart](const std::string& bsdName) { return source->fetch(bsdName); };
        services.smartRefreshInterval = interval;
        auto created = DiskIOMonitor::create(registry, mainQueue, std::move(services));
        created->addObserver([this, raw = created.get()](Property property) {
            changes.push_back(property);
            if (property == Property::selectedVolume)
                publishedVolumes.push_back({ raw->selectedVolume(), mainQueue->isCurrentThread() });
        });
        return created;
    }

    // Serves the main queue until the condition holds; work that other threads do is waited for.
    bool waitFor(const std::function<bool()>& condition)
    {
        auto deadline = std::chrono::steady_clock::now() + 10s;
        while (std::chrono::steady_clock::now() < deadline) {
            mainQueue->runPending();
            if (condition())
                return true;
            std::this_thread::sleep_for(1ms);
        }
        return condition();
    }
    // Waits for work posted to the main queue without running it.
    bool waitForPosted(std::size_t count)
    {
        auto deadline = std::chrono::steady_clock::now() + 10s;
        while (mainQueue->pendingCount() < count && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(1ms);
        return mainQueue->pendingCount() >= count;
    }
    bool logged(LogLevel level, const std::string& message)
    {
        return waitFor([&] { return log->contains(level, message); });
    }
    std::vector<std::string> monitorLog() { return log->messages("DiskIOMonitor"); }

    struct Published {
        std::optional<DiskVolumeDescriptor> volume;
        bool onMainThread;
    };

    std::shared_ptr<EventLoopMainQueue> mainQueue = std::make_shared<EventLoopMainQueue>();
    std::shared_ptr<FakeDeviceRegistry> registry = std::make_shared<FakeDeviceRegistry>();
    std::shared_ptr<FakeSMARTSource> smart = std::make_shared<FakeSMARTSource>(*mainQueue);
    std::map<std::string, DiskVolumeDescriptor> locations { { "/mnt/a", volume("sda") },
        { "/mnt/b", volume("sdb") } };
    std::vector<std::string> resolved;
    std::vector<Property> changes;
    std::vector<Published> publishedVolumes;
    ScopedTestLogSink log;
    tallowin::testing::LanguageGuard english { "en" };
    // One refresh per test unless a test asks for more.
    std::shared_ptr<DiskIOMonitor> monitor = makeMonitor(1h);
};

}

// The decision that stores a refresh's result: by BSD name only, into the current descriptor.
// Every row's identifier counts, so equal-looking rows still differ. (What an unchanged, a new or
// a cleared report does is shown by the refreshes below.)
TEST_F(VolumeSelectionTest, PublishingDecisionComparesBSDNamesAndWholeReports)
{
    auto bare = DiskIOMonitor::create(registry, mainQueue);
    auto row = DiskSMARTInfo::Detail { Uuid::random(), "temperature.current", "Temperature", "31 °C" };
    auto sameRowNewID = row;
    sameRowNewID.id = Uuid::random();
    auto withInfo = [](DiskVolumeDescriptor descriptor, std::optional<DiskSMARTInfo> info) {
        descriptor.smartInfo = std::move(info);
        return descriptor;
    };
    struct Case {
        std::optional<DiskVolumeDescriptor> selected;
        std::string expected;
        std::optional<DiskVolumeDescriptor> after;
    };
    for (const auto& [selected, expected, after] : std::initializer_list<Case> {
             { std::nullopt, "discarded", std::nullopt },
             { volume("sdb"), "discarded", volume("sdb") },
             { volume("sda", "Renamed"), "applied",
                 withInfo(volume("sda", "Renamed"), report("PASSED", { row })) },
             { withInfo(volume("sda"), report("PASSED", { sameRowNewID })), "applied",
                 withInfo(volume("sda"), report("PASSED", { row })) },
         }) {
        bare->setSelectedVolume(selected);
        EXPECT_EQ(DiskIOMonitorTestPeer::decide(*bare, "sda", report("PASSED", { row })), expected);
        EXPECT_EQ(bare->selectedVolume(), after);
    }
}

// What one refresh logs and publishes, by what was shown before and what the fetch brought.
TEST_F(VolumeSelectionTest, OneRefreshLogsAppliedClearedOrIdentical)
{
    struct Case {
        const char* name;
        std::optional<DiskSMARTInfo> shown;
        std::optional<DiskSMARTInfo> fetched;
        LogLevel level;
        std::string message;
        bool republished;
    };
    const std::vector<Case> cases {
        { "no data, none shown", std::nullopt, std::nullopt, LogLevel::Debug,
            "SMART refresh produced identical payload for BSD name sda; skipping publish.", false },
        { "no data, some shown", report("PASSED"), std::nullopt, LogLevel::Default,
            "SMART refresh cleared data for BSD name sda", true },
        { "new data", std::nullopt, report("PASSED"), LogLevel::Default,
            "SMART refresh applied new data for BSD name sda", true },
        { "same data", report("PASSED"), report("PASSED"), LogLevel::Debug,
            "SMART refresh produced identical payload for BSD name sda; skipping publish.", false },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        smart->answer("sda", testCase.fetched);
        auto selected = volume("sda");
        selected.smartInfo = testCase.shown;
        log->clear();
        monitor->setSelectedVolume(selected);
        changes.clear();
        ASSERT_TRUE(logged(testCase.level, testCase.message));
        mainQueue->runPending();
        EXPECT_EQ(monitor->selectedVolume()->smartInfo, testCase.fetched);
        EXPECT_EQ(std::count(changes.begin(), changes.end(), Property::selectedVolume),
            testCase.republished ? 1 : 0);
        EXPECT_EQ(monitorLog(),
            (std::vector<std::string> { "Initiating SMART refresh for BSD name sda", testCase.message }));
    }
}

TEST_F(VolumeSelectionTest, SelectingWhileARunIsActiveStopsItAndDoesNotRestart)
{
    auto disk = registry->add("block", {}, nullptr, 0x800000);
    registry->setBSDName(disk, "sda");
    registry->scriptStatistics(disk, [](std::uint64_t i) { return StatisticsSnapshot { 512 * i, 0, i, 0 }; });
    monitor->setSelectedVolume(volume("sda"));
    monitor->updateSamplingPrecision(DiskIOMonitor::SamplingPrecision::ms10);
    monitor->startMonitoring();
    ASSERT_TRUE(waitFor([&] { return monitor->sampleCount() >= 2; }));

    monitor->selectVolume("/mnt/b");
    ASSERT_TRUE(
        waitFor([&] { return monitor->selectedVolume() && monitor->selectedVolume()->bsdName == "sdb"; }));
    mainQueue->runPending();
    EXPECT_FALSE(monitor->isMonitoring());
    EXPECT_FALSE(monitor->errorMessage());
    auto reads = registry->statisticsReads(disk);
    auto samples = monitor->sampleCount();
    ASSERT_TRUE(smart->waitForCalls(1, "sdb")); // the new selection's refresh runs meanwhile
    mainQueue->runPending();
    EXPECT_FALSE(monitor->isMonitoring());
    EXPECT_EQ(registry->statisticsReads(disk), reads);
    EXPECT_EQ(monitor->sampleCount(), samples); // the stopped run stays visible
}

// A then B within a second: A's fetch is still running when B is chosen. Its result is dropped and
// never reaches B's descriptor, and A's loop does not ask again.
TEST_F(VolumeSelectionTest, ResultOfTheOldSelectionNeverReachesTheNewOne)
{
    monitor = makeMonitor(1ms);
    smart->answer("sda", report("A"));
    smart->answer("sdb", report("B"));
    smart->setOpen(false);
    monitor->selectVolume("/mnt/a");
    ASSERT_TRUE(waitFor([&] { return smart->calls("sda") == 1; }));
    monitor->selectVolume("/mnt/b");
    mainQueue->runPending();
    smart->setOpen(true);

    ASSERT_TRUE(logged(LogLevel::Debug, "SMART refresh cancelled before publishing for BSD name sda"));
    ASSERT_TRUE(waitFor([&] { return smart->calls("sdb") >= 3; }));
    mainQueue->runPending();
    EXPECT_EQ(smart->calls("sda"), 1u);
    EXPECT_EQ(monitor->selectedVolume()->smartInfo, report("B"));
    ASSERT_FALSE(publishedVolumes.empty());
    for (const auto& published : publishedVolumes) {
        EXPECT_TRUE(published.onMainThread);
        if (published.volume && published.volume->smartInfo) {
            EXPECT_EQ(published.volume->smartInfo->overallStatus, "B") << "on " << published.volume->bsdName;
        }
    }
    EXPECT_EQ(smart->strayCalls(), std::vector<std::string> {});
}

// A decision that was already queued when the selection changed: the old loop is cancelled while
// it waits for the answer, and the answer lands in the descriptor it was fetched for.
TEST_F(VolumeSelectionTest, DecisionQueuedBeforeANewSelectionIsNotStoredInIt)
{
    smart->answer("sda", report("A"));
    smart->setOpen(false); // so that the decision cannot be posted while the selection is served
    monitor->selectVolume("/mnt/a");
    mainQueue->runPending();
    ASSERT_TRUE(smart->waitForCalls(1, "sda"));
    smart->setOpen(true);
    ASSERT_TRUE(waitForPosted(1));
    monitor->setSelectedVolume(volume("sdb")); // before the queued decision runs
    ASSERT_TRUE(
        logged(LogLevel::Debug, "SMART refresh cancelled after publishing decision for BSD name sda"));
    mainQueue->runPending();
    EXPECT_EQ(monitor->selectedVolume(), volume("sdb"));
    for (const auto& published : publishedVolumes)
        EXPECT_FALSE(published.volume && published.volume->bsdName == "sdb" && published.volume->smartInfo);
}

TEST_F(VolumeSelectionTest, MonitoringStartAndStopLeaveTheRefreshRunning)
{
    monitor = makeMonitor(1ms);
    auto disk = registry->add("block", {}, nullptr, 0x800000);
    registry->setBSDName(disk, "sda");
    monitor->selectVolume("/mnt/a");
    ASSERT_TRUE(waitFor([&] { return monitor->selectedVolume().has_value(); }));
    monitor->startMonitoring();
    ASSERT_TRUE(waitFor([&] { return monitor->isMonitoring(); }));
    monitor->stopMonitoring();
    ASSERT_TRUE(waitFor([&] { return !monitor->isMonitoring(); }));
    auto before = smart->calls("sda");
    EXPECT_TRUE(waitFor([&] { return smart->calls("sda") >= before + 3; }));
    EXPECT_TRUE(DiskIOMonitorTestPeer::refreshIsRunning(*monitor));
}

// A failed resolve clears the selection, shows the failure's own text and ends the refresh of the
// volume selected before.
TEST_F(VolumeSelectionTest, FailedResolveClearsTheSelectionAndShowsTheError)
{
    monitor = makeMonitor(1ms);
    smart->setOpen(false);
    monitor->selectVolume("/mnt/a");
    ASSERT_TRUE(waitFor([&] { return monitor->selectedVolume().has_value(); }));
    ASSERT_TRUE(smart->waitForCalls(1, "sda"));
    monitor->selectVolume("/mnt/broken");
    mainQueue->runPending();
    EXPECT_FALSE(monitor->selectedVolume());
    EXPECT_EQ(monitor->errorMessage(), "Failed to resolve the BSD name for the selected path.");
    EXPECT_FALSE(DiskIOMonitorTestPeer::refreshIsRunning(*monitor));
    smart->setOpen(true);
    ASSERT_TRUE(logged(LogLevel::Debug, "SMART refresh cancelled before publishing for BSD name sda"));
    EXPECT_EQ(smart->calls("sda"), 1u) << ::testing::PrintToString(log->messages());

    for (const auto& failure :
        { MonitorError { MonitorError::Kind::invalidSelection }, MonitorError::matchingFailed(-536870206) }) {
        DiskIOMonitor::VolumeSelectionServices services {
            [failure](const std::string&) -> Expected<DiskVolumeDescriptor, MonitorError> {
                return Unexpected(failure);
            },
            nullptr, 1ms
        };
        auto failing = DiskIOMonitor::create(registry, mainQueue, services);
        failing->setSelectedVolume(volume("sdc"));
        failing->selectVolume("/mnt/broken");
        mainQueue->runPending();
        EXPECT_FALSE(failing->selectedVolume());
        EXPECT_EQ(failing->errorMessage(), failure.localizedDescription());
    }
}

// A success still queued when a failing selection follows must not leave its refresh behind.
TEST_F(VolumeSelectionTest, FailureAfterAQueuedSuccessLeavesNoRefresh)
{
    monitor->selectVolume("/mnt/a");
    monitor->selectVolume("/mnt/missing");
    mainQueue->runPending();
    EXPECT_EQ(resolved, (std::vector<std::string> { "/mnt/a", "/mnt/missing" }));
    EXPECT_FALSE(monitor->selectedVolume());
    EXPECT_FALSE(DiskIOMonitorTestPeer::refreshIsRunning(*monitor));

    monitor->selectVolume("/mnt/a"); // a later success clears the error and refreshes again
    mainQueue->runPending();
    EXPECT_FALSE(monitor->errorMessage());
    EXPECT_TRUE(DiskIOMonitorTestPeer::refreshIsRunning(*monitor));
}

TEST_F(VolumeSelectionTest, MissingServicesFailTheSelectionOrSkipTheRefresh)
{
    auto bare = DiskIOMonitor::create(registry, mainQueue);
    bare->selectVolume("/mnt/a");
    mainQueue->runPending();
    EXPECT_FALSE(bare->selectedVolume());
    EXPECT_EQ(bare->errorMessage(), "Please select a valid volume.");

    DiskIOMonitor::VolumeSelectionServices resolverOnly;
    resolverOnly.resolveVolume
        = [](const std::string&) { return Expected<DiskVolumeDescriptor, MonitorError>(volume("sda")); };
    auto withoutSMART = DiskIOMonitor::create(registry, mainQueue, resolverOnly);
    withoutSMART->selectVolume("/mnt/a");
    mainQueue->runPending();
    EXPECT_EQ(withoutSMART->selectedVolume(), volume("sda"));
    EXPECT_FALSE(DiskIOMonitorTestPeer::refreshIsRunning(*withoutSMART));
}

// The main queue never runs again while the refresh waits for its decision, and the monitor is
// destroyed: the stop must end that wait instead of leaving the destructor joined forever.
TEST_F(VolumeSelectionTest, DestroyingTheMonitorEndsARefreshWaitingForTheMainQueue)
{
    smart->setOpen(false);
    monitor->setSelectedVolume(volume("sda"));
    mainQueue->runPending();
    ASSERT_TRUE(smart->waitForCalls(1, "sda"));
    smart->setOpen(true);
    ASSERT_TRUE(waitForPosted(1));

    monitor.reset();
    EXPECT_TRUE(
        log->contains(LogLevel::Debug, "SMART refresh cancelled after publishing decision for BSD name sda"));
    mainQueue->runPending(); // the late decision finds no monitor and does nothing
    EXPECT_EQ(publishedVolumes.size(), 1u);
}
