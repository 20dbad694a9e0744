#include "monitor/DiskIOKitStatisticsProvider.h"
#include "support/FakeDeviceRegistry.h"
#include "support/LanguageGuard.h"

#include <gtest/gtest.h>

using namespace tallowin;
using tallowin::testing::FakeDeviceRegistry;
using Session = DiskIOKitStatisticsProvider::StatisticsSession;

namespace {

class StatisticsSessionTest : public ::testing::Test {
protected:
    Expected<std::unique_ptr<Session>, MonitorError> open(std::string bsdName)
    {
        DiskVolumeDescriptor volume;
        volume.bsdName = std::move(bsdName);
        return Session::create(registry, volume);
    }

    // An object named `devname`, with a "Statistics" dictionary when one is given.
    RegistryObjectRef add(std::string className, std::string devname,
        std::optional<RegistryDictionary> statistics, const RegistryObjectRef& parent = nullptr,
        std::optional<std::uint64_t> id = std::nullopt)
    {
        RegistryDictionary properties;
        properties.set("DEVNAME", std::move(devname));
        if (statistics)
            properties.set("Statistics", std::move(*statistics));
        else
            properties.set("size", "2048");
        return registry->add(std::move(className), std::move(properties), parent, id);
    }

    bool logged(LogLevel level, const std::string& line) { return log->contains(level, line); }

    std::shared_ptr<FakeDeviceRegistry> registry = std::make_shared<FakeDeviceRegistry>();
    ScopedTestLogSink log;
    tallowin::testing::LanguageGuard english { "en" };
};

auto counters = FakeDeviceRegistry::statistics;

}

TEST_F(StatisticsSessionTest, ResolvesDirectlyAndReadsWithOneSinglePropertyCall)
{
    auto disk = add("block", "vda", counters(4096, 8192, 3, 5), nullptr, 0xfc00000);
    registry->setBSDName(disk, "vda");
    auto session = open("vda");
    ASSERT_TRUE(session);
    EXPECT_TRUE(logged(LogLevel::Debug, "Inspecting IOService block#0xfc00000 for BSD name vda"));
    EXPECT_TRUE(logged(
        LogLevel::Debug, "Statistics resolved directly from IOService block#0xfc00000 for BSD name vda"));
    ASSERT_EQ((*session)->cachedServices().size(), 1u);
    EXPECT_EQ((*session)->cachedServices()[0].description, "block#0xfc00000");

    registry->setProperty(disk, "Statistics", counters(5000, 9000, 4, 7));
    auto propertyCalls = registry->propertyCalls();
    auto propertiesCalls = registry->propertiesCalls();
    EXPECT_EQ((*session)->readSnapshot(), (StatisticsSnapshot { 5000, 9000, 4, 7 }));
    EXPECT_EQ(registry->propertyCalls() - propertyCalls, 1);
    EXPECT_EQ(registry->propertiesCalls() - propertiesCalls, 0);
    EXPECT_TRUE(logged(LogLevel::Debug,
        "Read statistics snapshot from block#0xfc00000: bytesRead=5000, bytesWritten=9000, reads=4, "
        "writes=7"));
    for (const auto& record : log->records())
        EXPECT_EQ(record.category, "DiskIOKitStatistics");

    // The session's entry is the only handle left outside the registry, and it goes with the session.
    EXPECT_EQ(registry->outstandingReferences(disk), 1);
    session = Unexpected(MonitorError { MonitorError::Kind::monitorStopped });
    EXPECT_EQ(registry->outstandingReferences(disk), 0);
}

TEST_F(StatisticsSessionTest, WalksTwoParentsUpAndKeepsTheAncestorSuffix)
{
    auto driver = add("virtio", "vda", counters(1, 2, 3, 4), nullptr, 0x10);
    auto disk = add("scsi", "sda", std::nullopt, driver, 0x20);
    auto partition = add("block", "sda1", std::nullopt, disk, 0x30);
    registry->setBSDName(partition, "sda1");
    {
        auto session = open("sda1");
        ASSERT_TRUE(session);
        ASSERT_EQ((*session)->cachedServices().size(), 1u);
        EXPECT_EQ((*session)->cachedServices()[0].description, "virtio#0x10 (ancestor depth 2)");
        for (const char* line :
            { "Statistics dictionary missing on block#0x30; available keys: [DEVNAME, size]",
                "Ascending to ancestor depth 1 -> scsi#0x20 for BSD name sda1",
                "Statistics dictionary missing on scsi#0x20 (ancestor depth 1); available keys: [DEVNAME, "
                "size]",
                "Ascending to ancestor depth 2 -> virtio#0x10 for BSD name sda1",
                "Statistics resolved from ancestor depth 2 -> virtio#0x10 (ancestor depth 2) for BSD name "
                "sda1" })
            EXPECT_TRUE(logged(LogLevel::Debug, line)) << line;
        // Only the cached ancestor is still held; the matched object and the middle one are released.
        EXPECT_EQ(registry->outstandingReferences(driver), 1);
        EXPECT_EQ(registry->outstandingReferences(disk) + registry->outstandingReferences(partition), 0);
        EXPECT_EQ((*session)->readSnapshot(), (StatisticsSnapshot { 1, 2, 3, 4 }));
    }
    EXPECT_EQ(registry->outstandingReferences(driver), 0);
}

TEST_F(StatisticsSessionTest, MatchesSharingAnAncestorGiveOneEntry)
{
    auto driver = add("nvme", "nvme0", counters(10, 20, 30, 40));
    auto first = add("block", "nvme0n1p1", std::nullopt, driver);
    auto withoutStatistics = add("block", "nvme0n1p1", std::nullopt);
    auto second = add("block", "nvme0n1p1", std::nullopt, driver);
    for (const auto& match : { first, withoutStatistics, second })
        registry->setBSDName(match, "nvme0n1p1");

    auto session = open("nvme0n1p1");
    ASSERT_TRUE(session);
    EXPECT_EQ((*session)->cachedServices().size(), 1u);
    EXPECT_EQ(registry->outstandingReferences(driver), 1); // the second path's reference was dropped
    auto lonely = serviceDescription(*registry, withoutStatistics);
    EXPECT_TRUE(logged(LogLevel::Debug,
        fmt::format("No statistics located in IOService chain rooted at {}; advancing to next match for BSD "
                    "name nvme0n1p1",
            lonely)));
    EXPECT_TRUE(logged(LogLevel::Debug,
        fmt::format("Traversal terminated at IOService {} for BSD name nvme0n1p1; no further ancestors "
                    "available (kresult={})",
            lonely, registryStatusNoParent)));
}

TEST_F(StatisticsSessionTest, UnknownNameAndMatchingFailures)
{
    auto unknown = open("sdz");
    ASSERT_FALSE(unknown);
    EXPECT_EQ(unknown.error().kind, MonitorError::Kind::statisticsUnavailable);
    EXPECT_EQ(unknown.error().localizedDescription(), "Unable to fetch statistics for the selected volume.");
    EXPECT_TRUE(logged(LogLevel::Error,
        "statisticsUnavailable triggered because no IOService yielded statistics for BSD name sdz"));

    registry->failMatching(RegistryMatchingFailure { RegistryMatchingFailure::Kind::requestNotCreated });
    EXPECT_EQ(open("").error(), MonitorError::matchingFailed(registryStatusNoResources));
    EXPECT_TRUE(logged(LogLevel::Error, "IOBSDNameMatching returned nil for BSD name "));

    registry->failMatching(RegistryMatchingFailure { RegistryMatchingFailure::Kind::lookupFailed, 13 });
    auto refused = open("sda");
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().localizedDescription(), "IOKit matching failed with code: 13.");
    EXPECT_TRUE(logged(LogLevel::Error, "IOServiceGetMatchingServices failed for BSD name sda with code 13"));
}

TEST_F(StatisticsSessionTest, ReplugRebuildsTheCacheButAFailedRebuildKeepsTheOldEntry)
{
    auto oldDisk = add("block", "sdb", counters(100, 100, 1, 1), nullptr, 0x800010);
    registry->setBSDName(oldDisk, "sdb");
    auto session = open("sdb");
    ASSERT_TRUE(session);

    // A moment of EIO with nothing else to match: the read fails, the entry stays and answers
    // the next read directly.
    registry->failProperties(oldDisk, 5);
    EXPECT_EQ((*session)->readSnapshot().error().kind, MonitorError::Kind::statisticsUnavailable);
    EXPECT_EQ(registry->outstandingReferences(oldDisk), 1);
    registry->failProperties(oldDisk, std::nullopt);
    auto calls = registry->propertyCalls();
    EXPECT_TRUE((*session)->readSnapshot());
    EXPECT_EQ(registry->propertyCalls() - calls, 1);

    registry->detach(oldDisk);
    auto newDisk = add("block", "sdb", counters(7, 8, 9, 10), nullptr, 0x800020);
    registry->setBSDName(newDisk, "sdb");
    EXPECT_EQ((*session)->readSnapshot(), (StatisticsSnapshot { 7, 8, 9, 10 }));
    EXPECT_TRUE(
        logged(LogLevel::Error, "IORegistryEntryCreateCFProperties failed for block#0x800010; kresult=19"));
    EXPECT_TRUE(logged(
        LogLevel::Default, "Cached IOService entries for BSD name sdb failed; rebuilding matching cache"));
    EXPECT_EQ(registry->outstandingReferences(oldDisk), 0);
    EXPECT_EQ(registry->outstandingReferences(newDisk), 1);
}

TEST_F(StatisticsSessionTest, IncompleteStatisticsAreLoggedAndTheWalkGoesOn)
{
    RegistryDictionary incomplete;
    for (const char* key : { "Bytes (Read)", "Bytes (Write)", "Operations (Read)" })
        incomplete.set(key, 1);
    auto driver = add("pci", "pci", counters(11, 12, 13, 14), nullptr, 0x1);
    auto disk = add("block", "vdb", incomplete, driver, 0x2);
    registry->setBSDName(disk, "vdb");

    auto session = open("vdb");
    ASSERT_TRUE(session);
    EXPECT_TRUE(logged(LogLevel::Error,
        "Statistics dictionary on block#0x2 missing expected numeric keys [Operations (Write)]; available "
        "keys: [Bytes (Read), Bytes (Write), Operations (Read)]"));
    EXPECT_EQ((*session)->cachedServices()[0].description, "pci#0x1 (ancestor depth 1)");

    // A key that is present but not a number fails the read without being listed as missing.
    RegistryDictionary textual = counters(1, 2, 3, 4);
    textual.set("Operations (Write)", "4");
    registry->setProperty(driver, "Statistics", textual);
    EXPECT_EQ((*session)->readSnapshot().error().kind, MonitorError::Kind::statisticsUnavailable);
    EXPECT_TRUE(logged(LogLevel::Error,
        "Statistics dictionary on pci#0x1 (ancestor depth 1) missing expected numeric keys []; available "
        "keys: [Bytes (Read), Bytes (Write), Operations (Read), Operations (Write)]"));
}
