#include "monitor/DiskIOKitStatisticsProvider.h"
#include "support/FakeDeviceRegistry.h"

#include <cstdlib>
#include <gtest/gtest.h>

using namespace tallowin;
using tallowin::testing::FakeDeviceRegistry;
using Session = DiskIOKitStatisticsProvider::StatisticsSession;

namespace {

class StatisticsSessionTest : public ::testing::Test {
protected:
    void SetUp() override { setenv("LANGUAGE", "en", 1); }

    DiskVolumeDescriptor volume(std::string bsdName)
    {
        DiskVolumeDescriptor descriptor;
        descriptor.bsdName = std::move(bsdName);
        descriptor.displayName = descriptor.bsdName;
        descriptor.connectionTypeDescription = "Unknown";
        return descriptor;
    }

    static RegistryDictionary withStatistics(RegistryDictionary statistics)
    {
        RegistryDictionary properties;
        properties.set("DEVNAME", "vda");
        properties.set("Statistics", std::move(statistics));
        return properties;
    }

    static RegistryDictionary plain(std::string devname)
    {
        RegistryDictionary properties;
        properties.set("DEVNAME", std::move(devname));
        properties.set("size", "2048");
        return properties;
    }

    std::shared_ptr<FakeDeviceRegistry> registry = std::make_shared<FakeDeviceRegistry>();
    ScopedTestLogSink log;
};

}

TEST_F(StatisticsSessionTest, ResolvesDirectlyAndReadsWithOneSinglePropertyCall)
{
    auto disk = registry->add(
        "block", withStatistics(FakeDeviceRegistry::statistics(4096, 8192, 3, 5)), nullptr, 0xfc00000);
    registry->setBSDName(disk, "vda");

    auto session = Session::create(registry, volume("vda"));
    ASSERT_TRUE(session);
    EXPECT_TRUE(log->contains(LogLevel::Debug, "Inspecting IOService block#0xfc00000 for BSD name vda"));
    EXPECT_TRUE(log->contains(
        LogLevel::Debug, "Statistics resolved directly from IOService block#0xfc00000 for BSD name vda"));
    auto cached = (*session)->cachedServices();
    ASSERT_EQ(cached.size(), 1u);
    EXPECT_EQ(cached[0].description, "block#0xfc00000");

    log->clear();
    registry->setProperty(disk, "Statistics", FakeDeviceRegistry::statistics(5000, 9000, 4, 7));
    auto propertyCalls = registry->propertyCalls();
    auto propertiesCalls = registry->propertiesCalls();
    auto snapshot = (*session)->readSnapshot();
    ASSERT_TRUE(snapshot);
    EXPECT_EQ(*snapshot, (StatisticsSnapshot { 5000, 9000, 4, 7 }));
    EXPECT_EQ(registry->propertyCalls() - propertyCalls, 1);
    EXPECT_EQ(registry->propertiesCalls() - propertiesCalls, 0);
    EXPECT_TRUE(log->contains(LogLevel::Debug,
        "Read statistics snapshot from block#0xfc00000: bytesRead=5000, bytesWritten=9000, reads=4, "
        "writes=7"));
    for (const auto& record : log->records())
        EXPECT_EQ(record.category, "DiskIOKitStatistics");

    // The session's entry is the only handle left outside the registry, and it goes with the session.
    cached.clear();
    EXPECT_EQ(registry->outstandingReferences(disk), 1);
    session = Unexpected(MonitorError { MonitorError::Kind::monitorStopped });
    EXPECT_EQ(registry->outstandingReferences(disk), 0);
}

TEST_F(StatisticsSessionTest, WalksTwoParentsUpAndKeepsTheAncestorSuffix)
{
    auto driver
        = registry->add("virtio", withStatistics(FakeDeviceRegistry::statistics(1, 2, 3, 4)), nullptr, 0x10);
    auto disk = registry->add("scsi", plain("sda"), driver, 0x20);
    auto partition = registry->add("block", plain("sda1"), disk, 0x30);
    registry->setBSDName(partition, "sda1");

    {
        auto session = Session::create(registry, volume("sda1"));
        ASSERT_TRUE(session);
        auto cached = (*session)->cachedServices();
        ASSERT_EQ(cached.size(), 1u);
        EXPECT_EQ(cached[0].service, driver);
        EXPECT_EQ(cached[0].description, "virtio#0x10 (ancestor depth 2)");
        cached.clear();
        EXPECT_TRUE(log->contains(
            LogLevel::Debug, "Statistics dictionary missing on block#0x30; available keys: [DEVNAME, size]"));
        EXPECT_TRUE(
            log->contains(LogLevel::Debug, "Ascending to ancestor depth 1 -> scsi#0x20 for BSD name sda1"));
        EXPECT_TRUE(log->contains(LogLevel::Debug,
            "Statistics dictionary missing on scsi#0x20 (ancestor depth 1); available keys: [DEVNAME, "
            "size]"));
        EXPECT_TRUE(
            log->contains(LogLevel::Debug, "Ascending to ancestor depth 2 -> virtio#0x10 for BSD name sda1"));
        EXPECT_TRUE(log->contains(LogLevel::Debug,
            "Statistics resolved from ancestor depth 2 -> virtio#0x10 (ancestor depth 2) for BSD name sda1"));
        // Only the cached ancestor is still held; the matched object and the middle one are released.
        EXPECT_EQ(registry->outstandingReferences(driver), 1);
        EXPECT_EQ(registry->outstandingReferences(disk), 0);
        EXPECT_EQ(registry->outstandingReferences(partition), 0);
        auto snapshot = (*session)->readSnapshot();
        ASSERT_TRUE(snapshot);
        EXPECT_EQ(*snapshot, (StatisticsSnapshot { 1, 2, 3, 4 }));
    }
    EXPECT_EQ(registry->outstandingReferences(driver), 0);
}

TEST_F(StatisticsSessionTest, MatchesSharingAnAncestorGiveOneEntry)
{
    auto driver = registry->add("nvme", withStatistics(FakeDeviceRegistry::statistics(10, 20, 30, 40)));
    auto first = registry->add("block", plain("nvme0n1p1"), driver);
    auto second = registry->add("block", plain("nvme0n1p1"), driver);
    auto withoutStatistics = registry->add("block", plain("nvme0n1p1"));
    registry->setBSDName(first, "nvme0n1p1");
    registry->setBSDName(withoutStatistics, "nvme0n1p1");
    registry->setBSDName(second, "nvme0n1p1");

    auto session = Session::create(registry, volume("nvme0n1p1"));
    ASSERT_TRUE(session);
    EXPECT_EQ((*session)->cachedServices().size(), 1u);
    EXPECT_EQ(registry->outstandingReferences(driver), 1); // the second path's reference was dropped
    EXPECT_TRUE(log->contains(LogLevel::Debug,
        fmt::format("No statistics located in IOService chain rooted at {}; advancing "
                    "to next match for BSD name nvme0n1p1",
            serviceDescription(*registry, withoutStatistics))));
    EXPECT_TRUE(log->contains(LogLevel::Debug,
        fmt::format("Traversal terminated at IOService {} for BSD name nvme0n1p1; no further ancestors "
                    "available (kresult={})",
            serviceDescription(*registry, withoutStatistics), registryStatusNoParent)));
}

TEST_F(StatisticsSessionTest, UnknownNameAndMatchingFailures)
{
    auto unknown = Session::create(registry, volume("sdz"));
    ASSERT_FALSE(unknown);
    EXPECT_EQ(unknown.error().kind, MonitorError::Kind::statisticsUnavailable);
    EXPECT_EQ(unknown.error().localizedDescription(), "Unable to fetch statistics for the selected volume.");
    EXPECT_TRUE(log->contains(LogLevel::Error,
        "statisticsUnavailable triggered because no IOService yielded statistics for BSD name sdz"));

    registry->failMatching(RegistryMatchingFailure { RegistryMatchingFailure::Kind::requestNotCreated });
    auto notCreated = Session::create(registry, volume(""));
    ASSERT_FALSE(notCreated);
    EXPECT_EQ(notCreated.error(), MonitorError::matchingFailed(registryStatusNoResources));
    EXPECT_TRUE(log->contains(LogLevel::Error, "IOBSDNameMatching returned nil for BSD name "));

    registry->failMatching(RegistryMatchingFailure { RegistryMatchingFailure::Kind::lookupFailed, 13 });
    auto refused = Session::create(registry, volume("sda"));
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error(), MonitorError::matchingFailed(13));
    EXPECT_EQ(refused.error().localizedDescription(), "IOKit matching failed with code: 13.");
    EXPECT_TRUE(
        log->contains(LogLevel::Error, "IOServiceGetMatchingServices failed for BSD name sda with code 13"));
}

TEST_F(StatisticsSessionTest, ReplugRebuildsTheCacheAndReleasesTheOldObject)
{
    auto oldDisk = registry->add(
        "block", withStatistics(FakeDeviceRegistry::statistics(100, 100, 1, 1)), nullptr, 0x800010);
    registry->setBSDName(oldDisk, "sdb");
    auto session = Session::create(registry, volume("sdb"));
    ASSERT_TRUE(session);

    registry->detach(oldDisk);
    auto newDisk = registry->add(
        "block", withStatistics(FakeDeviceRegistry::statistics(7, 8, 9, 10)), nullptr, 0x800020);
    registry->setBSDName(newDisk, "sdb");
    log->clear();
    auto snapshot = (*session)->readSnapshot();
    ASSERT_TRUE(snapshot);
    EXPECT_EQ(*snapshot, (StatisticsSnapshot { 7, 8, 9, 10 }));
    EXPECT_TRUE(log->contains(
        LogLevel::Error, "IORegistryEntryCreateCFProperties failed for block#0x800010; kresult=19"));
    EXPECT_TRUE(log->contains(
        LogLevel::Default, "Cached IOService entries for BSD name sdb failed; rebuilding matching cache"));
    EXPECT_EQ(registry->outstandingReferences(oldDisk), 0);
    EXPECT_EQ(registry->outstandingReferences(newDisk), 1);
}

TEST_F(StatisticsSessionTest, FailedRebuildKeepsTheOldEntriesForTheNextRead)
{
    auto disk = registry->add(
        "block", withStatistics(FakeDeviceRegistry::statistics(1, 1, 1, 1)), nullptr, 0x800030);
    registry->setBSDName(disk, "sdc");
    auto session = Session::create(registry, volume("sdc"));
    ASSERT_TRUE(session);

    registry->failProperties(disk, 5); // EIO for a moment
    auto failed = (*session)->readSnapshot();
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().kind, MonitorError::Kind::statisticsUnavailable);
    EXPECT_EQ(registry->outstandingReferences(disk), 1);

    registry->failProperties(disk, std::nullopt);
    log->clear();
    auto calls = registry->propertyCalls();
    auto recovered = (*session)->readSnapshot();
    ASSERT_TRUE(recovered);
    EXPECT_EQ(registry->propertyCalls() - calls, 1); // straight from the kept entry, no rebuild
    EXPECT_FALSE(log->contains(
        LogLevel::Default, "Cached IOService entries for BSD name sdc failed; rebuilding matching cache"));
}

TEST_F(StatisticsSessionTest, IncompleteStatisticsAreLoggedAndTheWalkGoesOn)
{
    RegistryDictionary incomplete;
    incomplete.set("Bytes (Read)", 1);
    incomplete.set("Bytes (Write)", 2);
    incomplete.set("Operations (Read)", 3);
    auto driver
        = registry->add("pci", withStatistics(FakeDeviceRegistry::statistics(11, 12, 13, 14)), nullptr, 0x1);
    auto disk = registry->add("block", withStatistics(incomplete), driver, 0x2);
    registry->setBSDName(disk, "vdb");

    auto session = Session::create(registry, volume("vdb"));
    ASSERT_TRUE(session);
    EXPECT_TRUE(log->contains(LogLevel::Error,
        "Statistics dictionary on block#0x2 missing expected numeric keys [Operations (Write)]; available "
        "keys: [Bytes (Read), "
        "Bytes (Write), Operations (Read)]"));
    EXPECT_EQ((*session)->cachedServices()[0].description, "pci#0x1 (ancestor depth 1)");

    // A key that is present but not a number fails the read without being listed as missing.
    RegistryDictionary textual = FakeDeviceRegistry::statistics(1, 2, 3, 4);
    textual.set("Operations (Write)", "4");
    registry->setProperty(driver, "Statistics", textual);
    log->clear();
    auto result = (*session)->readSnapshot();
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().kind, MonitorError::Kind::statisticsUnavailable);
    EXPECT_TRUE(log->contains(LogLevel::Error,
        "Statistics dictionary on pci#0x1 (ancestor depth 1) missing expected numeric keys []; available "
        "keys: [Bytes (Read), "
        "Bytes (Write), Operations (Read), Operations (Write)]"));
}
