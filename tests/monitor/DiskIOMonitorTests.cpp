#include "monitor/DiskIOKitStatisticsProvider.h"
#include "monitor/DiskIOMonitor.h"
#include "support/FakeDeviceRegistry.h"
#include "support/LanguageGuard.h"

#include <algorithm>
#include <future>
#include <gtest/gtest.h>
#include <limits>
#include <mutex>
#include <numeric>
#include <thread>

using namespace tallowin;
using namespace std::chrono_literals;
using tallowin::testing::FakeDeviceRegistry;
using Precision = DiskIOMonitor::SamplingPrecision;
using Property = DiskIOMonitor::Property;

namespace tallowin {
// Applies batches on the main-thread side directly, without waiting for sixty thousand timer fires.
struct DiskIOMonitorTestPeer {
    static void applyBatch(DiskIOMonitor& monitor, std::vector<DiskSample> samples)
    {
        DiskIOMonitor::Payload payload;
        for (const auto& sample : samples)
            payload.readBytes += sample.readBytes, payload.writeBytes += sample.writeBytes;
        payload.latestSample = samples.back();
        payload.samples = std::move(samples);
        monitor.applyPayload(payload);
    }
};
}

namespace {

DiskVolumeDescriptor volumeNamed(std::string name)
{
    DiskVolumeDescriptor volume;
    volume.bsdName = std::move(name);
    return volume;
}

const auto steadyCounters = [](std::uint64_t i) { return StatisticsSnapshot { 512 * i, 4096 * i, i, i }; };

class DiskIOMonitorTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        registry->setBSDName(disk, "vda");
        registry->scriptStatistics(disk, steadyCounters);
        monitor->addObserver([this](Property property) { changes.push_back(property); });
        monitor->addBatchObserver(
            [this](std::span<const DiskSample> batch) { batchSizes.push_back(batch.size()); });
    }

    void start(Precision precision, std::size_t samples)
    {
        monitor->setSelectedVolume(volumeNamed("vda"));
        monitor->updateSamplingPrecision(precision);
        monitor->startMonitoring();
        ASSERT_TRUE(runUntil([&] { return monitor->sampleCount() >= samples; }));
    }
    bool runUntil(const std::function<bool()>& predicate, std::chrono::milliseconds timeout = 10s)
    {
        return mainQueue->runUntil(predicate, timeout);
    }
    void stopAndDrain()
    {
        monitor->stopMonitoring();
        ASSERT_TRUE(runUntil([&] { return !monitor->isMonitoring(); }));
        mainQueue->runPending();
    }

    long changesOf(Property property) const { return std::count(changes.begin(), changes.end(), property); }
    std::uint64_t reads() const { return registry->statisticsReads(disk); }
    void expectNoMoreReads()
    {
        auto before = reads();
        std::this_thread::sleep_for(20ms);
        EXPECT_EQ(reads(), before) << "a timer was left running";
    }

    std::shared_ptr<EventLoopMainQueue> mainQueue = std::make_shared<EventLoopMainQueue>();
    std::shared_ptr<FakeDeviceRegistry> registry = std::make_shared<FakeDeviceRegistry>();
    RegistryObjectRef disk = registry->add("block", {}, nullptr, 0xfc00000);
    std::vector<Property> changes;
    std::vector<std::size_t> batchSizes;
    std::shared_ptr<DiskIOMonitor> monitor = DiskIOMonitor::create(registry, mainQueue);
    ScopedTestLogSink log;
    tallowin::testing::LanguageGuard english { "en" };
};

auto counters = FakeDeviceRegistry::statistics;

class StatisticsSessionTest : public DiskIOMonitorTest {
protected:
    auto open(std::string bsdName)
    {
        return DiskIOKitStatisticsProvider::StatisticsSession::create(
            registry, volumeNamed(std::move(bsdName)));
    }
    RegistryObjectRef add(std::string className, std::optional<RegistryDictionary> statistics,
        const RegistryObjectRef& parent = nullptr, std::optional<std::uint64_t> id = std::nullopt)
    {
        RegistryDictionary properties;
        if (statistics)
            properties.set("Statistics", std::move(*statistics));
        return registry->add(std::move(className), std::move(properties), parent, id);
    }
};

}

TEST_F(DiskIOMonitorTest, FirstReadingGivesNoSampleAndDifferencesWrap)
{
    // The matching reads once, then the run's first reading; then bytes read and reads go backwards.
    registry->scriptStatistics(disk, [](std::uint64_t index) {
        return index <= 1 ? StatisticsSnapshot { 100, 200, 3, 4 } : StatisticsSnapshot { 50, 300, 2, 10 };
    });
    start(Precision::ms1000, 1);
    stopAndDrain();

    const auto max = std::numeric_limits<std::uint64_t>::max();
    const auto& first = monitor->samples().front();
    EXPECT_EQ(first, (DiskSample { first.id, first.timestamp, max - 49, 100, max, 6 }));
    EXPECT_EQ(monitor->totalReadBytes(), max - 49); // later readings repeat, so later samples are zero
    EXPECT_EQ(monitor->samples().size(), reads() - 2);
    EXPECT_FALSE(monitor->errorMessage());
}

TEST_F(DiskIOMonitorTest, KeepsTheNewestSixtyThousandSamples)
{
    std::vector<DiskSample> all;
    for (std::uint64_t number = 1; number <= 60001; ++number)
        all.push_back({ Uuid::random(), static_cast<double>(number), number, 2 * number, 1, 1 });
    for (std::size_t start = 0; start < all.size(); start += 17) {
        auto first = all.begin() + static_cast<long>(start);
        DiskIOMonitorTestPeer::applyBatch(*monitor, { first, first + std::min<long>(17, all.end() - first) });
    }
    const auto& samples = monitor->samples();
    ASSERT_EQ(samples.size(), 60000u);
    EXPECT_TRUE(std::equal(samples.begin(), samples.end(), all.begin() + 1));
    // The live views' window over the wrapped ring: the same newest samples, oldest first.
    EXPECT_EQ(monitor->newestSamples(256), std::vector<DiskSample>(all.end() - 256, all.end()));
    EXPECT_EQ(monitor->newestSamples(100000).size(), 60000u);
    EXPECT_EQ(monitor->totalReadBytes(), 60001u * 60002u / 2); // totals cover dropped samples too
    EXPECT_EQ(batchSizes.size(), (60001u + 16u) / 17u);
    EXPECT_EQ(changesOf(Property::samples), std::ssize(batchSizes));
}

TEST_F(DiskIOMonitorTest, StartWithoutSelectionFailsAndPrecisionChangesWhileIdleRunningOrUnchanged)
{
    monitor->startMonitoring();
    EXPECT_EQ(monitor->errorMessage(), "Please select a valid volume.");
    EXPECT_EQ(mainQueue->pendingCount(), 0u);
    EXPECT_FALSE(monitor->isMonitoring());
    EXPECT_EQ(changes, std::vector<Property> { Property::errorMessage });

    monitor->updateSamplingPrecision(Precision::ms1000);
    EXPECT_EQ(changesOf(Property::samplingPrecision), 0);
    monitor->updateSamplingPrecision(Precision::ms100);
    EXPECT_EQ(changesOf(Property::samplingPrecision), 1);
    EXPECT_EQ(reads(), 0u); // idle: only the property changed

    start(Precision::ms1000, 1);
    EXPECT_FALSE(monitor->errorMessage()); // a new start clears the last error
    // At 1000 ms, forty samples would take forty seconds; after the change they take about 0.4.
    monitor->updateSamplingPrecision(Precision::ms10);
    EXPECT_TRUE(runUntil([&] { return monitor->sampleCount() >= 40; }, 15s));
    stopAndDrain();
}

TEST_F(DiskIOMonitorTest, OneMillisecondSamplesArriveInBatchesOfAboutSixteenAndStopDeliversThePendingOnes)
{
    std::optional<std::size_t> countWhenStopped;
    monitor->addObserver([&](Property property) {
        if (property == Property::isMonitoring && !monitor->isMonitoring())
            countWhenStopped = monitor->sampleCount();
    });
    const auto began = std::chrono::steady_clock::now();
    start(Precision::ms1, 600);
    std::this_thread::sleep_for(8ms); // about eight samples wait for the next flush
    stopAndDrain();
    const auto ran = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    std::this_thread::sleep_for(50ms); // several aggregation intervals: nothing may arrive any more
    mainQueue->runPending();

    ASSERT_TRUE(countWhenStopped);
    EXPECT_EQ(*countWhenStopped, monitor->sampleCount());
    // Every reading but the matching's and the first became a sample, except at most one taken
    // by a tick that was already running when the stop came.
    EXPECT_LE(reads() - 2 - monitor->sampleCount(), 1u);
    EXPECT_EQ(registry->outstandingReferences(disk), 0); // the session was dropped

    EXPECT_EQ(
        std::accumulate(batchSizes.begin(), batchSizes.end(), std::size_t { 0 }), monitor->sampleCount());
    // Samples reach the main thread at most sixty times a second, however many the timer took (a
    // loaded machine loses ticks, so the batch sizes themselves say nothing), plus the stop's flush.
    EXPECT_LE(static_cast<double>(batchSizes.size()), ran * 60 + 2);
    EXPECT_LT(batchSizes.size(), monitor->sampleCount()); // batched, not one post per sample
    EXPECT_EQ(monitor->totalReadBytes(), 512 * monitor->sampleCount());
}

TEST_F(DiskIOMonitorTest, StartDiscardsThePreviousRunsPendingSamples)
{
    start(Precision::ms1, 100);
    std::this_thread::sleep_for(8ms); // about eight samples wait for the next flush
    auto restart = wallClockNow();
    monitor->startMonitoring();
    ASSERT_TRUE(runUntil([&] { return monitor->sampleCount() >= 200 && monitor->isMonitoring(); }));
    // A tick already running at the restart may still hand over its sample; a batch may not.
    EXPECT_LE(std::count_if(monitor->samples().begin(), monitor->samples().end(),
                  [&](const DiskSample& sample) { return sample.timestamp < restart; }),
        1);
    stopAndDrain();
}

// A stop that comes before the run began on the monitor queue ends it quietly: no timer is left
// behind to fail with "Monitoring has been stopped.".
TEST_F(DiskIOMonitorTest, StopRightAfterStartEndsTheRunWithoutAnError)
{
    monitor->setSelectedVolume(volumeNamed("vda"));
    monitor->updateSamplingPrecision(Precision::ms1);
    for (int attempt = 0; attempt < 20; ++attempt) {
        monitor->startMonitoring();
        monitor->stopMonitoring();
    }
    std::this_thread::sleep_for(50ms);
    mainQueue->runPending();
    EXPECT_FALSE(monitor->isMonitoring());
    EXPECT_EQ(monitor->errorMessage(), std::nullopt);
    expectNoMoreReads();
}

TEST_F(DiskIOMonitorTest, DeviceThatDisappearsStopsTheRunWithTheStatisticsError)
{
    start(Precision::ms10, 3);
    registry->detach(disk);
    ASSERT_TRUE(runUntil([&] { return monitor->errorMessage().has_value() && !monitor->isMonitoring(); }));
    EXPECT_EQ(monitor->errorMessage(), "Unable to fetch statistics for the selected volume.");
    EXPECT_GE(monitor->sampleCount(), 3u); // what was gathered stays visible
    EXPECT_TRUE(runUntil([&] { return registry->outstandingReferences(disk) == 0; }, 5s));
}

TEST_F(DiskIOMonitorTest, DestroyedMonitorLeavesQueuedWorkHarmless)
{
    start(Precision::ms1, 50);
    std::this_thread::sleep_for(40ms); // let batches queue up on the main queue unapplied
    ASSERT_GT(mainQueue->pendingCount(), 0u);

    std::weak_ptr<DiskIOMonitor> weak = monitor;
    monitor.reset();
    // A tick that was running as the last reference went may finish the destruction on its thread.
    for (int i = 0; i < 100 && !weak.expired(); ++i)
        std::this_thread::sleep_for(10ms);
    EXPECT_TRUE(weak.expired());
    auto batches = batchSizes.size();
    mainQueue->runPending();
    EXPECT_EQ(batchSizes.size(), batches);
    expectNoMoreReads();
    EXPECT_EQ(registry->outstandingReferences(disk), 0);
}

namespace {

// A registry whose matching of one name waits until the test lets it go, then finds nothing:
// a run that is still opening its session when the user moves on.
class GatedRegistry final : public DeviceRegistry {
public:
    GatedRegistry(std::shared_ptr<FakeDeviceRegistry> inner, std::string gatedName)
        : m_inner(std::move(inner))
        , m_gatedName(std::move(gatedName))
    { }

    void waitUntilEntered() { ASSERT_EQ(m_enteredFuture.wait_for(10s), std::future_status::ready); }
    void release() { m_released.set_value(); }

    Expected<std::vector<RegistryObjectRef>, RegistryMatchingFailure> matchBSDName(
        std::string_view name) override
    {
        if (name != m_gatedName)
            return m_inner->matchBSDName(name);
        std::call_once(m_enteredOnce, [&] { m_entered.set_value(); });
        m_releasedFuture.wait();
        return std::vector<RegistryObjectRef> {};
    }
    std::optional<std::string> className(const RegistryObjectRef& object) override
    {
        return m_inner->className(object);
    }
    std::optional<std::uint64_t> registryEntryID(const RegistryObjectRef& object) override
    {
        return m_inner->registryEntryID(object);
    }
    Expected<RegistryObjectRef, std::int32_t> parent(const RegistryObjectRef& object) override
    {
        return m_inner->parent(object);
    }
    Expected<RegistryDictionary, std::int32_t> properties(const RegistryObjectRef& object) override
    {
        return m_inner->properties(object);
    }
    Expected<std::optional<RegistryValue>, std::int32_t> property(
        const RegistryObjectRef& object, std::string_view key) override
    {
        return m_inner->property(object, key);
    }

private:
    std::shared_ptr<FakeDeviceRegistry> m_inner;
    std::string m_gatedName;
    std::promise<void> m_entered, m_released;
    std::future<void> m_enteredFuture = m_entered.get_future();
    std::shared_future<void> m_releasedFuture = m_released.get_future().share();
    std::once_flag m_enteredOnce;
};

// Wall time that a test can step back, as NTP does, and monotonic time that only it advances.
class SteppedClock final : public Clock {
public:
    WallClockTime wallNow() const override { return m_wall.load(); }
    MonotonicTime monotonicNow() const override
    {
        return MonotonicTime(std::chrono::nanoseconds(m_monotonic.load()));
    }
    void advance(std::chrono::nanoseconds elapsed, double wallStep)
    {
        m_monotonic += elapsed.count();
        m_wall = m_wall.load() + std::chrono::duration<double>(elapsed).count() + wallStep;
    }

private:
    std::atomic<double> m_wall { 1.8e9 };
    std::atomic<std::int64_t> m_monotonic { 1'000'000'000 };
};

}

// The first run is still matching its device when the user selects another volume and starts
// again; its failure then arrives late and must neither stop the new run nor show its error.
TEST_F(DiskIOMonitorTest, LateFailureOfAnOldRunLeavesTheNewerRunRunning)
{
    auto gated = std::make_shared<GatedRegistry>(registry, "slow0");
    auto newer = DiskIOMonitor::create(gated, mainQueue);
    newer->updateSamplingPrecision(Precision::ms10);
    newer->setSelectedVolume(volumeNamed("slow0"));
    newer->startMonitoring();
    gated->waitUntilEntered();

    newer->setSelectedVolume(volumeNamed("vda"));
    newer->startMonitoring();
    gated->release(); // the old run now fails with "Unable to fetch statistics …"

    EXPECT_TRUE(runUntil([&] { return newer->isMonitoring() && newer->sampleCount() >= 5; }, 10s))
        << "the old run's failure stopped the new run: " << newer->errorMessage().value_or("no error");
    EXPECT_EQ(newer->errorMessage(), std::nullopt);
    newer->stopMonitoring();
    EXPECT_TRUE(runUntil([&] { return !newer->isMonitoring(); }));
}

// The duration is measured on the monotonic clock: stepping the wall clock back an hour during
// a run changes the dates, not how long the run has lasted.
TEST_F(DiskIOMonitorTest, DurationIgnoresAWallClockStep)
{
    auto clock = std::make_shared<SteppedClock>();
    auto stepped = DiskIOMonitor::create(registry, mainQueue, clock);
    stepped->setSelectedVolume(volumeNamed("vda"));
    stepped->startMonitoring();
    ASSERT_TRUE(runUntil([&] { return stepped->isMonitoring(); }));
    auto startDate = stepped->monitoringStartDate();
    EXPECT_EQ(startDate, 1.8e9);

    clock->advance(2s, -3600.0);
    DiskIOMonitorTestPeer::applyBatch(
        *stepped, { DiskSample { Uuid::random(), clock->wallNow(), 1, 2, 3, 4 } });
    EXPECT_DOUBLE_EQ(stepped->monitoringDuration(), 2.0);
    EXPECT_EQ(stepped->monitoringStartDate(), startDate); // the date shown stays as it was

    clock->advance(500ms, +7200.0);
    DiskIOMonitorTestPeer::applyBatch(
        *stepped, { DiskSample { Uuid::random(), clock->wallNow(), 1, 2, 3, 4 } });
    EXPECT_DOUBLE_EQ(stepped->monitoringDuration(), 2.5);
    stepped->stopMonitoring();
    EXPECT_TRUE(runUntil([&] { return !stepped->isMonitoring(); }));
    EXPECT_EQ(stepped->monitoringDuration(), 0.0);
}

TEST(DiskIOMonitorDeathTest, MainThreadOperationsStopACallerOnAnotherThread)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto mainQueue = std::make_shared<EventLoopMainQueue>();
    auto monitor = DiskIOMonitor::create(std::make_shared<FakeDeviceRegistry>(), mainQueue);
    monitor->updateSamplingPrecision(Precision::ms10); // the owner's thread passes
    for (const auto& [name, operation] :
        std::initializer_list<std::pair<const char*, std::function<void()>>> {
            { "startMonitoring", [&] { monitor->startMonitoring(); } },
            { "stopMonitoring", [&] { monitor->stopMonitoring(); } },
            { "setSelectedVolume", [&] { monitor->setSelectedVolume(std::nullopt); } },
            { "samples", [&] { monitor->samples(); } } }) {
        EXPECT_DEATH(std::thread(operation).join(), std::string(name) + " must be called on the main queue")
            << name;
    }
}

// The second match shares the first one's ancestor, the third has none with statistics; the
// match's own statistics lack a key, which is logged, and the walk goes on past them.
TEST_F(StatisticsSessionTest, WalksTwoParentsUpKeepsOnlyTheAncestorAndSharedAncestorsOnce)
{
    auto incomplete = counters(1, 1, 1, 1);
    incomplete.remove("Operations (Write)");
    auto driver = add("virtio", counters(1, 2, 3, 4), nullptr, 0x10);
    auto scsi = add("scsi", std::nullopt, driver, 0x20);
    auto partition = add("block", incomplete, scsi, 0x30);
    for (const auto& match : { partition, add("block", std::nullopt, scsi), add("block", std::nullopt) })
        registry->setBSDName(match, "sda1");
    {
        auto session = open("sda1");
        ASSERT_TRUE(session);
        EXPECT_TRUE(log->contains(LogLevel::Error,
            "Statistics dictionary on block#0x30 missing expected numeric keys [Operations (Write)]; "
            "available keys: [Bytes (Read), Bytes (Write), Operations (Read)]"));
        ASSERT_EQ((*session)->cachedServices().size(), 1u);
        EXPECT_EQ((*session)->cachedServices()[0].description, "virtio#0x10 (ancestor depth 2)");
        EXPECT_EQ(registry->outstandingReferences(driver), 1);
        EXPECT_EQ(registry->outstandingReferences(scsi) + registry->outstandingReferences(partition), 0);
        EXPECT_EQ((*session)->readSnapshot(), (StatisticsSnapshot { 1, 2, 3, 4 }));
    }
    EXPECT_EQ(registry->outstandingReferences(driver), 0);
}

TEST_F(StatisticsSessionTest, UnknownNameAndMatchingFailures)
{
    auto unknown = open("sdz");
    ASSERT_FALSE(unknown);
    EXPECT_EQ(unknown.error().localizedDescription(), "Unable to fetch statistics for the selected volume.");
    EXPECT_TRUE(log->contains(LogLevel::Error,
        "statisticsUnavailable triggered because no IOService yielded statistics for BSD name sdz"));

    registry->failMatching(RegistryMatchingFailure { RegistryMatchingFailure::Kind::requestNotCreated });
    EXPECT_EQ(open("").error(), MonitorError::matchingFailed(registryStatusNoResources));
    registry->failMatching(RegistryMatchingFailure { RegistryMatchingFailure::Kind::lookupFailed, 13 });
    EXPECT_EQ(open("sda").error().localizedDescription(), "IOKit matching failed with code: 13.");
}

TEST_F(StatisticsSessionTest, ResolvesDirectlyAndAReplugRebuildsTheCache)
{
    auto oldDisk = add("block", counters(100, 100, 1, 1), nullptr, 0x800010);
    registry->setBSDName(oldDisk, "sdb");
    auto session = open("sdb");
    ASSERT_TRUE(session);
    ASSERT_EQ((*session)->cachedServices().size(), 1u);
    EXPECT_EQ((*session)->cachedServices()[0].description, "block#0x800010");

    // A read is one single-key read: the fast path runs up to a thousand times a second.
    auto calls = registry->propertyCalls();
    EXPECT_EQ((*session)->readSnapshot(), (StatisticsSnapshot { 100, 100, 1, 1 }));
    EXPECT_EQ(registry->propertyCalls() - calls, 1);
    EXPECT_EQ(registry->outstandingReferences(oldDisk), 1);

    registry->detach(oldDisk);
    auto newDisk = add("block", counters(7, 8, 9, 10), nullptr, 0x800020);
    registry->setBSDName(newDisk, "sdb");
    EXPECT_EQ((*session)->readSnapshot(), (StatisticsSnapshot { 7, 8, 9, 10 }));
    EXPECT_TRUE(log->contains(
        LogLevel::Default, "Cached IOService entries for BSD name sdb failed; rebuilding matching cache"));
    EXPECT_EQ(registry->outstandingReferences(oldDisk), 0);
    EXPECT_EQ(registry->outstandingReferences(newDisk), 1);
    session = Unexpected(MonitorError { MonitorError::Kind::monitorStopped });
    EXPECT_EQ(registry->outstandingReferences(newDisk), 0);
}
