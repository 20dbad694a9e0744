#include "monitor/DiskIOMonitor.h"
#include "support/FakeDeviceRegistry.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <gtest/gtest.h>
#include <limits>
#include <thread>

using namespace tallowin;
using namespace std::chrono_literals;
using tallowin::testing::FakeDeviceRegistry;
using Precision = DiskIOMonitor::SamplingPrecision;
using Property = DiskIOMonitor::Property;

namespace tallowin {
// Reaches the main-thread half of the monitor directly, to apply batches without waiting for
// sixty thousand timer fires.
struct DiskIOMonitorTestPeer {
    static void applyBatch(DiskIOMonitor& monitor, std::vector<DiskSample> samples)
    {
        DiskIOMonitor::Payload payload;
        for (const auto& sample : samples) {
            payload.readBytes += sample.readBytes;
            payload.writeBytes += sample.writeBytes;
        }
        if (!samples.empty())
            payload.latestSample = samples.back();
        payload.samples = std::move(samples);
        monitor.applyPayload(payload);
    }
};
}

namespace {

// One disk whose counters are a function of how many times they have been read, so samples
// have known values however the timer happens to fire.
class ScriptedRegistry final : public DeviceRegistry {
public:
    using Script = std::function<StatisticsSnapshot(std::uint64_t readIndex)>;

    explicit ScriptedRegistry(Script script)
        : m_script(std::move(script))
        , m_disk(m_fake.add("block", {}, nullptr, 0xfc00000))
    {
        m_fake.setBSDName(m_disk, "vda");
    }

    std::uint64_t reads() const { return m_reads; }
    long outstandingReferences() const { return m_fake.outstandingReferences(m_disk); }

    Expected<std::vector<RegistryObjectRef>, RegistryMatchingFailure> matchBSDName(
        std::string_view name) override
    {
        return m_fake.matchBSDName(name);
    }
    std::optional<std::string> className(const RegistryObjectRef& object) override
    {
        return m_fake.className(object);
    }
    std::optional<std::uint64_t> registryEntryID(const RegistryObjectRef& object) override
    {
        return m_fake.registryEntryID(object);
    }
    Expected<RegistryObjectRef, std::int32_t> parent(const RegistryObjectRef& object) override
    {
        return m_fake.parent(object);
    }
    Expected<RegistryDictionary, std::int32_t> properties(const RegistryObjectRef& object) override
    {
        return m_fake.properties(object);
    }
    Expected<std::optional<RegistryValue>, std::int32_t> property(
        const RegistryObjectRef& object, std::string_view key) override
    {
        if (key != "Statistics")
            return m_fake.property(object, key);
        auto snapshot = m_script(m_reads++);
        return std::optional<RegistryValue>(FakeDeviceRegistry::statistics(
            snapshot.bytesRead, snapshot.bytesWritten, snapshot.readOperations, snapshot.writeOperations));
    }

private:
    Script m_script;
    FakeDeviceRegistry m_fake;
    RegistryObjectRef m_disk;
    std::atomic<std::uint64_t> m_reads { 0 };
};

DiskVolumeDescriptor volume(std::string bsdName)
{
    DiskVolumeDescriptor descriptor;
    descriptor.url = "/";
    descriptor.bsdName = std::move(bsdName);
    descriptor.displayName = "root";
    descriptor.connectionTypeDescription = "Virtio";
    return descriptor;
}

// Every sample reads 512 bytes and writes 4096 in one operation each.
StatisticsSnapshot steadyCounters(std::uint64_t index)
{
    return { 512 * index, 4096 * index, index, index };
}

DiskSample sampleNumber(std::uint64_t number)
{
    return { Uuid::random(), static_cast<double>(number), number, 2 * number, 1, 1 };
}

class DiskIOMonitorTest : public ::testing::Test {
protected:
    void SetUp() override { setenv("LANGUAGE", "en", 1); }

    std::shared_ptr<DiskIOMonitor> makeMonitor(std::shared_ptr<DeviceRegistry> registry)
    {
        auto monitor = DiskIOMonitor::create(std::move(registry), mainQueue);
        monitor->addObserver([this](Property property) { changes.push_back(property); });
        monitor->addBatchObserver(
            [this](std::span<const DiskSample> batch) { batchSizes.push_back(batch.size()); });
        return monitor;
    }

    bool runUntil(const std::function<bool()>& predicate, std::chrono::milliseconds timeout = 10s)
    {
        return mainQueue->runUntil(predicate, timeout);
    }

    void stopAndDrain(DiskIOMonitor& monitor)
    {
        monitor.stopMonitoring();
        ASSERT_TRUE(runUntil([&] { return !monitor.isMonitoring(); }));
        mainQueue->runPending();
    }

    std::size_t changesOf(Property property) const
    {
        return static_cast<std::size_t>(std::count(changes.begin(), changes.end(), property));
    }

    std::shared_ptr<EventLoopMainQueue> mainQueue = std::make_shared<EventLoopMainQueue>();
    std::vector<Property> changes;
    std::vector<std::size_t> batchSizes;
    ScopedTestLogSink log;
};

}

TEST(SamplingPrecision, RawValuesIntervalsAndLeeways)
{
    std::vector<int> raw;
    for (auto precision : Precision::allCases())
        raw.push_back(precision.rawValue());
    EXPECT_EQ(raw, (std::vector<int> { 1, 10, 100, 1000 }));
    EXPECT_EQ(Precision(Precision::ms1).leeway(), 200us);
    EXPECT_EQ(Precision(Precision::ms10).leeway(), 800us);
    EXPECT_EQ(Precision(Precision::ms100).leeway(), 4ms);
    EXPECT_EQ(Precision(Precision::ms1000).leeway(), 40ms);
    EXPECT_EQ(Precision(Precision::ms100).interval(), 100ms);
    EXPECT_EQ(Precision::fromRawValue(10), Precision(Precision::ms10));
    EXPECT_FALSE(Precision::fromRawValue(0));
    EXPECT_FALSE(Precision::fromRawValue(5));
    EXPECT_FALSE(Precision::fromRawValue(-1));
}

TEST_F(DiskIOMonitorTest, StartsIdleAndRefusesToStartWithoutASelection)
{
    auto monitor = makeMonitor(std::make_shared<FakeDeviceRegistry>());
    EXPECT_FALSE(monitor->isMonitoring());
    EXPECT_TRUE(monitor->samples().empty());
    EXPECT_EQ(monitor->samplingPrecision(), Precision(Precision::ms1000));
    EXPECT_EQ(monitor->monitoringDuration(), 0);

    monitor->startMonitoring();
    EXPECT_EQ(monitor->errorMessage(), "Please select a valid volume.");
    EXPECT_EQ(mainQueue->pendingCount(), 0u);
    EXPECT_FALSE(monitor->isMonitoring());
    EXPECT_EQ(changes, std::vector<Property> { Property::errorMessage });

    setenv("LANGUAGE", "zh_CN", 1);
    monitor->setSelectedVolume(std::nullopt);
    monitor->startMonitoring();
    EXPECT_EQ(monitor->errorMessage(), "请选择一个有效的卷。");
}

TEST_F(DiskIOMonitorTest, FirstReadingGivesNoSampleAndDifferencesWrap)
{
    auto registry = std::make_shared<ScriptedRegistry>([](std::uint64_t index) {
        // The matching at the start reads once, then the run takes its first reading.
        if (index <= 1)
            return StatisticsSnapshot { 100, 200, 3, 4 };
        return StatisticsSnapshot { 50, 300, 2, 10 }; // bytes read and reads went backwards
    });
    auto monitor = makeMonitor(registry);
    monitor->setSelectedVolume(volume("vda"));
    monitor->startMonitoring();
    ASSERT_TRUE(runUntil([&] { return monitor->sampleCount() >= 1; }));
    EXPECT_TRUE(monitor->isMonitoring());
    EXPECT_TRUE(monitor->monitoringStartDate().has_value());
    stopAndDrain(*monitor);

    const auto max = std::numeric_limits<std::uint64_t>::max();
    const auto& first = monitor->samples().front();
    EXPECT_EQ(first.readBytes, max - 49);
    EXPECT_EQ(first.writeBytes, 100u);
    EXPECT_EQ(first.readOperations, max);
    EXPECT_EQ(first.writeOperations, 6u);
    // Later readings repeat themselves, so every later sample is zero and the totals are the
    // first sample's.
    EXPECT_EQ(monitor->totalReadBytes(), max - 49);
    EXPECT_EQ(monitor->totalWriteBytes(), 100u);
    EXPECT_EQ(monitor->samples().size(), registry->reads() - 2);
    EXPECT_FALSE(monitor->isMonitoring());
    EXPECT_FALSE(monitor->monitoringStartDate());
    EXPECT_EQ(monitor->monitoringDuration(), 0);
    EXPECT_FALSE(monitor->errorMessage());
}

TEST_F(DiskIOMonitorTest, OneMillisecondSamplingArrivesInBatchesOfAboutSixteen)
{
    auto registry = std::make_shared<ScriptedRegistry>(steadyCounters);
    auto monitor = makeMonitor(registry);
    monitor->setSelectedVolume(volume("vda"));
    monitor->updateSamplingPrecision(Precision::ms1);
    monitor->startMonitoring();
    ASSERT_TRUE(runUntil([&] { return monitor->sampleCount() >= 600; }));
    stopAndDrain(*monitor);

    std::size_t total = 0;
    for (auto size : batchSizes)
        total += size;
    EXPECT_EQ(total, monitor->sampleCount());
    // The aggregation interval is a sixtieth of a second, so a batch holds the samples of about
    // 16.7 timer periods. The median keeps a loaded machine's late wake-ups out of the picture.
    auto sizes = batchSizes;
    std::sort(sizes.begin(), sizes.end());
    auto median = sizes[sizes.size() / 2];
    EXPECT_GE(median, 12u);
    EXPECT_LE(median, 21u);
    for (const auto& sample : monitor->samples()) {
        ASSERT_EQ(sample.readBytes, 512u);
        ASSERT_EQ(sample.writeBytes, 4096u);
    }
    EXPECT_EQ(monitor->totalReadBytes(), 512 * monitor->sampleCount());
    EXPECT_EQ(monitor->currentWriteOperations(), 1u);
}

TEST_F(DiskIOMonitorTest, KeepsTheNewestSixtyThousandSamples)
{
    auto monitor = makeMonitor(std::make_shared<FakeDeviceRegistry>());
    std::vector<DiskSample> all;
    for (std::uint64_t number = 1; number <= 60001; ++number)
        all.push_back(sampleNumber(number));
    // Read once in between: the published array follows every batch, not just the first read.
    DiskIOMonitorTestPeer::applyBatch(*monitor, { all.begin(), all.begin() + 17 });
    EXPECT_EQ(monitor->samples().size(), 17u);
    EXPECT_EQ(monitor->samples().back(), all[16]);
    for (std::size_t start = 17; start < all.size(); start += 17) {
        auto end = std::min(all.size(), start + 17);
        DiskIOMonitorTestPeer::applyBatch(
            *monitor, { all.begin() + static_cast<long>(start), all.begin() + static_cast<long>(end) });
    }
    const auto& samples = monitor->samples();
    ASSERT_EQ(samples.size(), 60000u);
    EXPECT_EQ(samples.front(), all[1]);
    EXPECT_EQ(samples.back(), all.back());
    EXPECT_TRUE(std::equal(samples.begin(), samples.end(), all.begin() + 1));
    EXPECT_EQ(monitor->currentReadBytes(), 60001u);
    EXPECT_EQ(
        monitor->totalReadBytes(), 60001u * 60002u / 2); // totals cover every sample, not only the kept ones
    EXPECT_EQ(batchSizes.size(), (60001u + 16u) / 17u);
    EXPECT_EQ(changesOf(Property::samples), batchSizes.size());
}

TEST_F(DiskIOMonitorTest, PrecisionChangesWhileIdleRunningOrUnchanged)
{
    auto registry = std::make_shared<ScriptedRegistry>(steadyCounters);
    auto monitor = makeMonitor(registry);
    monitor->updateSamplingPrecision(Precision::ms1000);
    EXPECT_EQ(changesOf(Property::samplingPrecision), 0u);
    monitor->updateSamplingPrecision(Precision::ms100);
    EXPECT_EQ(monitor->samplingPrecision(), Precision(Precision::ms100));
    EXPECT_EQ(changesOf(Property::samplingPrecision), 1u);
    monitor->updateSamplingPrecision(Precision::ms1000);
    EXPECT_EQ(changesOf(Property::samplingPrecision), 2u);
    EXPECT_EQ(registry->reads(), 0u); // idle: only the property changed

    monitor->setSelectedVolume(volume("vda"));
    monitor->startMonitoring();
    ASSERT_TRUE(runUntil([&] { return monitor->sampleCount() >= 1; }));
    // At 1000 ms, forty samples would take forty seconds; after the change they take about 0.4.
    monitor->updateSamplingPrecision(Precision::ms10);
    EXPECT_TRUE(runUntil([&] { return monitor->sampleCount() >= 40; }, 15s));
    stopAndDrain(*monitor);
}

TEST_F(DiskIOMonitorTest, StopDeliversPendingSamplesBeforeTheRunEnds)
{
    auto registry = std::make_shared<ScriptedRegistry>(steadyCounters);
    auto monitor = makeMonitor(registry);
    std::optional<std::size_t> countWhenStopped;
    monitor->addObserver([&](Property property) {
        if (property == Property::isMonitoring && !monitor->isMonitoring())
            countWhenStopped = monitor->sampleCount();
    });
    monitor->setSelectedVolume(volume("vda"));
    monitor->updateSamplingPrecision(Precision::ms1);
    monitor->startMonitoring();
    ASSERT_TRUE(runUntil([&] { return monitor->sampleCount() >= 200; }));
    // A batch was just applied; half an aggregation interval later about eight samples wait.
    std::this_thread::sleep_for(8ms);
    stopAndDrain(*monitor);
    std::this_thread::sleep_for(50ms); // several aggregation intervals: nothing may arrive any more
    mainQueue->runPending();

    ASSERT_TRUE(countWhenStopped);
    EXPECT_EQ(*countWhenStopped, monitor->sampleCount());
    // Every reading but the matching's and the first became a sample and reached the main
    // thread, except at most one taken by a tick that was already running when the stop came.
    auto produced = registry->reads() - 2;
    EXPECT_LE(produced - monitor->sampleCount(), 1u);
    EXPECT_EQ(registry->outstandingReferences(), 0); // the session was dropped
}

TEST_F(DiskIOMonitorTest, StartDiscardsThePreviousRunsPendingSamples)
{
    auto registry = std::make_shared<ScriptedRegistry>(steadyCounters);
    auto monitor = makeMonitor(registry);
    monitor->setSelectedVolume(volume("vda"));
    monitor->updateSamplingPrecision(Precision::ms1);
    monitor->startMonitoring();
    ASSERT_TRUE(runUntil([&] { return monitor->sampleCount() >= 100; }));

    std::this_thread::sleep_for(8ms); // about eight samples now wait for the next flush
    auto restart = wallClockNow();
    monitor->startMonitoring();
    ASSERT_TRUE(runUntil([&] { return monitor->sampleCount() >= 200 && monitor->isMonitoring(); }));
    std::size_t older = 0;
    for (const auto& sample : monitor->samples())
        older += sample.timestamp < restart ? 1 : 0;
    // A tick already running at the restart may still hand over its sample; a batch's worth of
    // pending samples may not.
    EXPECT_LE(older, 1u);
    stopAndDrain(*monitor);
}

TEST_F(DiskIOMonitorTest, DeviceThatDisappearsStopsTheRunWithTheStatisticsError)
{
    auto registry = std::make_shared<FakeDeviceRegistry>();
    RegistryDictionary properties;
    properties.set("Statistics", FakeDeviceRegistry::statistics(1, 2, 3, 4));
    auto disk = registry->add("block", properties, nullptr, 0x800000);
    registry->setBSDName(disk, "sdb");
    auto monitor = makeMonitor(registry);
    monitor->setSelectedVolume(volume("sdb"));
    monitor->updateSamplingPrecision(Precision::ms10);
    monitor->startMonitoring();
    ASSERT_TRUE(runUntil([&] { return monitor->sampleCount() >= 3; }));

    registry->detach(disk);
    ASSERT_TRUE(runUntil([&] { return monitor->errorMessage().has_value() && !monitor->isMonitoring(); }));
    EXPECT_EQ(monitor->errorMessage(), "Unable to fetch statistics for the selected volume.");
    EXPECT_GE(monitor->sampleCount(), 3u); // what was gathered stays visible
    EXPECT_TRUE(log->contains(
        LogLevel::Default, "Cached IOService entries for BSD name sdb failed; rebuilding matching cache"));
    EXPECT_TRUE(runUntil([&] { return registry->outstandingReferences(disk) == 0; }, 5s));

    // A new start clears the message; this one fails at once, since the device is gone.
    log->clear();
    monitor->startMonitoring();
    ASSERT_TRUE(runUntil([&] { return monitor->isMonitoring(); }));
    EXPECT_FALSE(monitor->errorMessage());
    ASSERT_TRUE(runUntil([&] { return monitor->errorMessage().has_value() && !monitor->isMonitoring(); }));
    EXPECT_EQ(monitor->errorMessage(), "Unable to fetch statistics for the selected volume.");
    EXPECT_EQ(monitor->sampleCount(), 0u);
}

TEST_F(DiskIOMonitorTest, DestroyedMonitorLeavesQueuedWorkHarmless)
{
    auto registry = std::make_shared<ScriptedRegistry>(steadyCounters);
    auto monitor = makeMonitor(registry);
    monitor->setSelectedVolume(volume("vda"));
    monitor->updateSamplingPrecision(Precision::ms1);
    monitor->startMonitoring();
    ASSERT_TRUE(runUntil([&] { return monitor->sampleCount() >= 50; }));
    std::this_thread::sleep_for(40ms); // let batches queue up on the main queue unapplied
    ASSERT_GT(mainQueue->pendingCount(), 0u);

    std::weak_ptr<DiskIOMonitor> weak = monitor;
    monitor.reset();
    // No queued closure or timer holds the monitor: it is gone (a tick that was running as the
    // last reference went may finish the destruction on its own thread).
    for (int i = 0; i < 100 && !weak.expired(); ++i)
        std::this_thread::sleep_for(10ms);
    EXPECT_TRUE(weak.expired());
    auto batches = batchSizes.size();
    mainQueue->runPending();
    EXPECT_EQ(batchSizes.size(), batches);
    auto reads = registry->reads();
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(registry->reads(), reads); // sampling stopped with the monitor
    EXPECT_EQ(registry->outstandingReferences(), 0);
}

TEST_F(DiskIOMonitorTest, ObserversMayRemoveThemselvesWhileNotified)
{
    auto monitor = makeMonitor(std::make_shared<FakeDeviceRegistry>());
    int calls = 0;
    DiskIOMonitor::ObserverID id = 0;
    id = monitor->addObserver([&](Property) {
        ++calls;
        monitor->removeObserver(id);
    });
    DiskIOMonitorTestPeer::applyBatch(*monitor, { sampleNumber(1) });
    DiskIOMonitorTestPeer::applyBatch(*monitor, { sampleNumber(2) });
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(batchSizes, (std::vector<std::size_t> { 1, 1 }));
}
