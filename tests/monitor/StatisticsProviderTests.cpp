#include "monitor/DiskIOKitStatisticsProvider.h"
#include "support/FakeDeviceRegistry.h"
#include "support/LanguageGuard.h"

#include <gtest/gtest.h>

using namespace tallowin;
using tallowin::testing::FakeDeviceRegistry;
using Session = DiskIOKitStatisticsProvider::StatisticsSession;

namespace {

auto counters = FakeDeviceRegistry::statistics;

class StatisticsSessionTest : public ::testing::Test {
protected:
    Expected<std::unique_ptr<Session>, MonitorError> open(std::string bsdName)
    {
        DiskVolumeDescriptor volume;
        volume.bsdName = std::move(bsdName);
        return Session::create(registry, volume);
    }

    // An object with a "Statistics" dictionary when one is given.
    RegistryObjectRef add(std::string className, std::optional<RegistryDictionary> statistics,
        const RegistryObjectRef& parent = nullptr, std::optional<std::uint64_t> id = std::nullopt)
    {
        RegistryDictionary properties;
        properties.set("size", "2048");
        if (statistics)
            properties.set("Statistics", std::move(*statistics));
        return registry->add(std::move(className), std::move(properties), parent, id);
    }

    bool logged(LogLevel level, const std::string& line) { return log->contains(level, line); }

    std::shared_ptr<FakeDeviceRegistry> registry = std::make_shared<FakeDeviceRegistry>();
    ScopedTestLogSink log;
    tallowin::testing::LanguageGuard english { "en" };
};

}

TEST_F(StatisticsSessionTest, WalksTwoParentsUpAndKeepsOnlyTheAncestor)
{
    auto driver = add("virtio", counters(1, 2, 3, 4), nullptr, 0x10);
    auto disk = add("scsi", std::nullopt, driver, 0x20);
    auto partition = add("block", std::nullopt, disk, 0x30);
    registry->setBSDName(partition, "sda1");
    {
        auto session = open("sda1");
        ASSERT_TRUE(session);
        ASSERT_EQ((*session)->cachedServices().size(), 1u);
        EXPECT_EQ((*session)->cachedServices()[0].description, "virtio#0x10 (ancestor depth 2)");
        EXPECT_TRUE(logged(LogLevel::Debug,
            "Statistics resolved from ancestor depth 2 -> virtio#0x10 (ancestor depth 2) for BSD name sda1"));
        EXPECT_EQ(registry->outstandingReferences(driver), 1);
        EXPECT_EQ(registry->outstandingReferences(disk) + registry->outstandingReferences(partition), 0);
        EXPECT_EQ((*session)->readSnapshot(), (StatisticsSnapshot { 1, 2, 3, 4 }));
    }
    EXPECT_EQ(registry->outstandingReferences(driver), 0);
}

TEST_F(StatisticsSessionTest, MatchesSharingAnAncestorGiveOneEntry)
{
    auto driver = add("nvme", counters(10, 20, 30, 40));
    for (const auto& parent : { driver, RegistryObjectRef {}, driver })
        registry->setBSDName(add("block", std::nullopt, parent), "nvme0n1p1");
    auto session = open("nvme0n1p1");
    ASSERT_TRUE(session);
    EXPECT_EQ((*session)->cachedServices().size(), 1u);
    EXPECT_EQ(registry->outstandingReferences(driver), 1);
}

TEST_F(StatisticsSessionTest, UnknownNameAndMatchingFailures)
{
    auto unknown = open("sdz");
    ASSERT_FALSE(unknown);
    EXPECT_EQ(unknown.error().localizedDescription(), "Unable to fetch statistics for the selected volume.");
    EXPECT_TRUE(logged(LogLevel::Error,
        "statisticsUnavailable triggered because no IOService yielded statistics for BSD name sdz"));

    registry->failMatching(RegistryMatchingFailure { RegistryMatchingFailure::Kind::requestNotCreated });
    EXPECT_EQ(open("").error(), MonitorError::matchingFailed(registryStatusNoResources));
    registry->failMatching(RegistryMatchingFailure { RegistryMatchingFailure::Kind::lookupFailed, 13 });
    EXPECT_EQ(open("sda").error().localizedDescription(), "IOKit matching failed with code: 13.");
}

TEST_F(StatisticsSessionTest, ResolvesDirectlyAndAReplugRebuildsTheCacheButAFailedRebuildKeepsIt)
{
    auto oldDisk = add("block", counters(100, 100, 1, 1), nullptr, 0x800010);
    registry->setBSDName(oldDisk, "sdb");
    auto session = open("sdb");
    ASSERT_TRUE(session);
    ASSERT_EQ((*session)->cachedServices().size(), 1u);
    EXPECT_EQ((*session)->cachedServices()[0].description, "block#0x800010");

    // A moment of EIO with nothing else to match: the entry stays and answers the next read
    // with one single-key read, the fast path taken up to a thousand times a second.
    registry->failProperties(oldDisk, 5);
    EXPECT_EQ((*session)->readSnapshot().error().kind, MonitorError::Kind::statisticsUnavailable);
    registry->failProperties(oldDisk, std::nullopt);
    auto calls = registry->propertyCalls();
    EXPECT_EQ((*session)->readSnapshot(), (StatisticsSnapshot { 100, 100, 1, 1 }));
    EXPECT_EQ(registry->propertyCalls() - calls, 1);
    EXPECT_EQ(registry->outstandingReferences(oldDisk), 1);

    registry->detach(oldDisk);
    auto newDisk = add("block", counters(7, 8, 9, 10), nullptr, 0x800020);
    registry->setBSDName(newDisk, "sdb");
    EXPECT_EQ((*session)->readSnapshot(), (StatisticsSnapshot { 7, 8, 9, 10 }));
    EXPECT_TRUE(logged(
        LogLevel::Default, "Cached IOService entries for BSD name sdb failed; rebuilding matching cache"));
    EXPECT_EQ(registry->outstandingReferences(oldDisk), 0);
    EXPECT_EQ(registry->outstandingReferences(newDisk), 1);
    session = Unexpected(MonitorError { MonitorError::Kind::monitorStopped });
    EXPECT_EQ(registry->outstandingReferences(newDisk), 0);
}

TEST_F(StatisticsSessionTest, IncompleteOrTextualStatisticsAreNotNumbers)
{
    auto incomplete = counters(1, 1, 1, 1);
    incomplete.remove("Operations (Write)");
    auto driver = add("pci", counters(11, 12, 13, 14), nullptr, 0x1);
    registry->setBSDName(add("block", incomplete, driver, 0x2), "vdb");
    auto session = open("vdb");
    ASSERT_TRUE(session);
    EXPECT_TRUE(logged(LogLevel::Error,
        "Statistics dictionary on block#0x2 missing expected numeric keys [Operations (Write)]; available "
        "keys: [Bytes (Read), Bytes (Write), Operations (Read)]"));
    EXPECT_EQ((*session)->cachedServices()[0].description, "pci#0x1 (ancestor depth 1)");

    auto textual = counters(1, 2, 3, 4);
    textual.set("Operations (Write)", "4");
    registry->setProperty(driver, "Statistics", textual);
    EXPECT_EQ((*session)->readSnapshot().error().kind, MonitorError::Kind::statisticsUnavailable);
}
