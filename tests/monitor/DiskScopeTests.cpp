#include "monitor/DiskIOKitStatisticsProvider.h"
#include "monitor/DiskScope.h"
#include "platform/SysfsRegistry.h"
#include "support/BlockDeviceUnderPath.h"
#include "support/FakeSysfsTree.h"
#include "support/ShellCommand.h"
#include "support/TemporaryDirectory.h"

#include <filesystem>
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sstream>

namespace tallowin {
namespace {

using testing::FakeSysfsTree;
using Names = std::vector<std::string>;

std::string stat(
    std::uint64_t reads, std::uint64_t sectorsRead, std::uint64_t writes, std::uint64_t sectorsWritten)
{
    return fmt::format("{} 0 {} 0 {} 0 {} 0 0 0 0 0 0 0 0 0 0\n", reads, sectorsRead, writes, sectorsWritten);
}

// A SATA disk with three partitions, an NVMe disk with one, a device-mapper volume over a
// partition of each (LVM across two disks), LUKS (dm) over md RAID 1 over two partitions of the
// same SATA disk and the NVMe disk's partition, and a loop device.
class DiskScopeTree : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string sata = "pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0/block/sda";
        tree.block(sata, 8, 0, stat(1000, 80000, 500, 40000));
        for (unsigned partition = 1; partition <= 3; ++partition)
            tree.block(fmt::format("{}/sda{}", sata, partition), 8, partition,
                stat(partition, partition * 8, 0, 0), true);
        std::string nvme = "pci0000:00/0000:00:1d.0/0000:03:00.0/nvme/nvme0/nvme0n1";
        tree.block(nvme, 259, 0, stat(2000, 160000, 700, 56000));
        tree.block(nvme + "/nvme0n1p1", 259, 1, stat(7, 56, 0, 0), true);

        tree.block("virtual/block/dm-0", 253, 0, stat(1, 8, 1, 8));
        slave("dm-0", "sda1", sata + "/sda1");
        slave("dm-0", "nvme0n1p1", nvme + "/nvme0n1p1");
        tree.block("virtual/block/md0", 9, 0, stat(1, 8, 1, 8));
        slave("md0", "sda2", sata + "/sda2");
        slave("md0", "sda3", sata + "/sda3");
        slave("md0", "nvme0n1p1", nvme + "/nvme0n1p1");
        tree.block("virtual/block/dm-1", 253, 1, stat(1, 8, 1, 8));
        slave("dm-1", "md0", "virtual/block/md0");
        tree.block("virtual/block/loop0", 7, 0, stat(3, 24, 3, 24));
    }

    void slave(const std::string& holder, const std::string& name, const std::string& target)
    {
        tree.link(tree.devicePath("virtual/block/" + holder + "/slaves/" + name), tree.devicePath(target));
    }

    FakeSysfsTree tree;
};

TEST_F(DiskScopeTree, StacksAreFollowedDownToWholeDisksEachOnce)
{
    auto stack = sysfsBlockStack(tree.rootString());
    // dm-1 has two members on sda, which counts once.
    for (const auto& [name, disks] : std::initializer_list<std::pair<const char*, Names>> {
             { "sda2", { "sda" } }, { "sda", { "sda" } }, { "dm-0", { "nvme0n1", "sda" } },
             { "dm-1", { "nvme0n1", "sda" } }, { "loop0", { "loop0" } }, { "missing", { "missing" } } })
        EXPECT_EQ(wholeDisksUnder(name, stack), disks) << name;
}

TEST_F(DiskScopeTree, TheSessionReadsTheSumOfTheWholeDisks)
{
    auto sysfs = std::make_shared<SysfsRegistry>(tree.rootString(), HardwareIdDatabase::empty());
    auto stack = sysfsBlockStack(tree.rootString());
    auto snapshot = [&](const char* name) -> std::optional<StatisticsSnapshot> {
        auto registry = std::make_shared<SummedStatisticsRegistry>(sysfs, name, wholeDisksUnder(name, stack));
        DiskVolumeDescriptor volume;
        volume.bsdName = name;
        auto session = DiskIOKitStatisticsProvider::StatisticsSession::create(registry, volume);
        if (!session)
            return std::nullopt;
        auto read = (*session)->readSnapshot();
        return read ? std::optional(*read) : std::nullopt;
    };
    // A partition of the multi-partition disk counts the whole disk, not itself.
    EXPECT_EQ(snapshot("sda2"), (StatisticsSnapshot { 80000 * 512, 40000 * 512, 1000, 500 }));
    // The dm volume over one partition of each disk: both disks, summed.
    EXPECT_EQ(snapshot("dm-0"), (StatisticsSnapshot { 240000 * 512, 96000 * 512, 3000, 1200 }));

    // A member that disappears leaves no half sum: the session reports the device unavailable.
    std::filesystem::remove(tree.devicePath("pci0000:00/0000:00:1d.0/0000:03:00.0/nvme/nvme0/nvme0n1/stat"));
    EXPECT_FALSE(snapshot("dm-0"));
    // Other names pass through to the registry below.
    SummedStatisticsRegistry registry(sysfs, "dm-0", { "sda" });
    auto matches = registry.matchBSDName("sda2");
    ASSERT_TRUE(matches);
    ASSERT_EQ(matches->size(), 1u);
    EXPECT_EQ(registry.readStatistics(matches->front()).value(), (StatisticsSnapshot { 16 * 512, 0, 2, 0 }));
}

TEST(DiskScopeCommand, DiskScopeOfTheRootTotalsItsWholeDisk)
{
    auto disk = testing::blockDeviceUnder("/");
    if (!disk)
        GTEST_SKIP() << "/ is not on a block device";
    testing::TemporaryDirectory folder("/var/tmp/tallowin-scope");
    // 32 MiB written past the page cache while the monitor watches the whole disk.
    auto outcome = testing::runShell(fmt::format(
        "{} monitor / --scope disk --interval 10 --duration 4 --json & pid=$!; sleep 1; "
        "dd if=/dev/zero of={}/data bs=1M count=32 oflag=direct conv=fsync status=none; wait $pid",
        TALLOWIN_CLI_PATH, folder.path().string()));
    ASSERT_EQ(outcome.exitStatus, 0) << outcome.output;
    std::istringstream lines(outcome.output);
    std::string line, last;
    std::size_t count = 0;
    for (; std::getline(lines, line); ++count) {
        auto json = nlohmann::json::parse(line);
        EXPECT_EQ(json["scope"], "disk");
        EXPECT_EQ(json["devices"], Names { disk->disk });
        last = line;
    }
    ASSERT_GE(count, 2u);
    EXPECT_GE(nlohmann::json::parse(last)["totalWriteBytes"].get<std::uint64_t>(), 32u * 1024 * 1024);
}

}
}
