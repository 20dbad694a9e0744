#include "core/Log.h"
#include "smart/SMARTInfoProvider.h"
#include "support/EnvironmentGuard.h"
#include "support/FakeSysfsTree.h"

#include <fmt/format.h>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace tallowin {
namespace {

using testing::FakeSysfsTree;
using Names = std::vector<std::string>;

// A machine with SATA disks, an NVMe drive (plain and multipath) and dm, md and loop stacks on them.
class LinuxTopology : public ::testing::Test {
protected:
    void SetUp() override
    {
        const std::string sata = "pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0";
        tree.device(sata, "bus/scsi");
        tree.block(sata + "/block/sda", 8, 0);
        tree.block(sata + "/block/sda/sda1", 8, 1, {}, true);
        tree.block(sata + "/block/sda/sda2", 8, 2, {}, true);
        const std::string sata2 = "pci0000:00/0000:00:17.0/ata2/host1/target1:0:0/1:0:0:0";
        tree.device(sata2, "bus/scsi");
        tree.block(sata2 + "/block/sdb", 8, 16);
        tree.block(sata2 + "/block/sdb/sdb1", 8, 17, {}, true);
        tree.block(sata2 + "/block/sdc", 8, 32);

        const std::string nvme = "pci0000:00/0000:00:1d.0/0000:3d:00.0/nvme/nvme0";
        tree.device(nvme, "class/nvme");
        tree.block(nvme + "/nvme0n1", 259, 0);
        tree.block(nvme + "/nvme0n1/nvme0n1p2", 259, 2, {}, true);

        const std::string controller = "pci0000:00/0000:00:1c.0/0000:3e:00.0/nvme/nvme1";
        tree.device(controller, "class/nvme");
        tree.device("virtual/nvme-subsystem/nvme-subsys1", "class/nvme-subsystem");
        tree.link(tree.devicePath("virtual/nvme-subsystem/nvme-subsys1/nvme1"), tree.devicePath(controller));
        tree.block("virtual/nvme-subsystem/nvme-subsys1/nvme1n1", 259, 5);

        stacked("dm-0", 253, 0, { "sda2", "nvme0n1p2" });
        stacked("md0", 9, 0, { "sdb1", "sdc" });
        stacked("dm-1", 253, 1, { "md0" });
        stacked("dm-2", 253, 2, { "dm-3" });
        stacked("dm-3", 253, 3, { "dm-2" });

        tree.block("virtual/block/loop0", 7, 0);
        tree.block("virtual/block/loop0/loop0p1", 259, 9, {}, true);
        FakeSysfsTree::write(tree.devicePath("virtual/block/loop0/loop/backing_file"), backingFile + "\n");
    }

    void stacked(const std::string& name, unsigned major, unsigned minor, const Names& members)
    {
        auto directory = tree.block("virtual/block/" + name, major, minor);
        for (const auto& member : members)
            tree.link(directory / "slaves" / member, tree.root() / "class/block" / member);
    }

    SysfsBlockDeviceTopology topology()
    {
        return SysfsBlockDeviceTopology(tree.rootString(), [this](const std::string& path) {
            return path == backingFile ? std::optional(std::pair(8u, 1u)) : std::nullopt;
        });
    }

    FakeSysfsTree tree;
    const std::string backingFile = "/var/lib/images/disk.img";
};

TEST_F(LinuxTopology, CandidatesAddTheWholeDisksBelowAName)
{
    auto linux = topology();
    const std::pair<const char*, Names> cases[] = {
        { "sda1", { "sda1", "sda" } },
        { " /dev/sda ", { "sda" } },
        { "nvme0n1p2", { "nvme0n1p2", "nvme0n1", "nvme0" } },
        { "nvme1n1", { "nvme1n1", "nvme1" } },
        { "dm-0", { "dm-0", "nvme0n1", "nvme0", "sda" } },
        { "dm-1", { "dm-1", "sdb", "sdc" } },
        { "md0", { "md0", "sdb", "sdc" } },
        { "dm-2", { "dm-2" } },
        { "loop0", { "loop0", "sda" } },
        { "loop0p1", { "loop0p1", "loop0", "sda" } },
        { "sdz9", { "sdz9" } },
        { "../sda1", { "../sda1" } },
    };
    for (const auto& [name, expected] : cases)
        EXPECT_EQ(SMARTInfoProvider::candidateNames(name, linux), expected) << name;
}

TEST_F(LinuxTopology, ReadsTheSysfsRootFromTheEnvironmentAndStatsBackingFiles)
{
    // The backing file is a real file: its file system's device number comes from stat().
    auto image = tree.root() / "image.img";
    std::ofstream(image) << "x";
    struct stat status { };
    ASSERT_EQ(::stat(image.c_str(), &status), 0);
    tree.block("virtual/block/loop7", 7, 7);
    FakeSysfsTree::write(tree.devicePath("virtual/block/loop7/loop/backing_file"), image.string() + "\n");
    std::filesystem::remove(tree.root() / "dev/block/8:2");
    tree.link(tree.root() / "dev/block" / fmt::format("{}:{}", major(status.st_dev), minor(status.st_dev)),
        tree.root() / "class/block/sda2");

    testing::EnvironmentGuard root("TALLOWIN_SYSFS_ROOT", tree.rootString().c_str());
    SysfsBlockDeviceTopology machine;
    EXPECT_EQ(SMARTInfoProvider::candidateNames("loop7", machine), (Names { "loop7", "sda" }));
    EXPECT_EQ(SMARTInfoProvider::candidateNames("sda1", machine), (Names { "sda1", "sda" }));
}

TEST(SMARTInfoProviderCandidates, SliceNamesFollowTheDiskRule)
{
    SysfsBlockDeviceTopology nothing("/nonexistent-sysfs-root");
    const std::pair<const char*, Names> cases[] = {
        { " /dev/disk4s2 \n", { "disk4s2", "disk4", "rdisk4", "rdisk4s2" } },
        { "rdisk4s2", { "rdisk4s2", "disk4s2", "rdisk4", "disk4" } },
        { "disk4", { "disk4", "rdisk4" } },
        { "/dev/disk3s1s1", { "disk3s1s1", "disk3s1", "rdisk3s1", "rdisk3s1s1" } },
        { "disks", { "disks", "disk", "rdisk", "rdisks" } },
        { "  \t", {} },
        { "/dev/", {} },
    };
    for (const auto& [name, expected] : cases)
        EXPECT_EQ(SMARTInfoProvider::candidateNames(name, nothing), expected) << '"' << name << '"';
}

// Answers from recorded outputs and remembers what it was asked.
class RecordedSource final : public SmartctlResultSource {
public:
    bool allowed { true };
    std::map<std::string, std::string> outputs;
    Names asked;

    bool allowsPrivilegedOperations() const override { return allowed; }
    std::optional<SmartctlExecutionResult> fetchSMARTData(std::string_view bsdName) override
    {
        asked.emplace_back(bsdName);
        auto found = outputs.find(std::string(bsdName));
        if (found == outputs.end())
            return std::nullopt;
        return SmartctlExecutionResult { Bytes(found->second.begin(), found->second.end()),
            "smartctl -j -x /dev/" + std::string(bsdName), {}, 0 };
    }
};

TEST_F(LinuxTopology, FetchStopsAtTheFirstCandidateWithUsableDataOrGivesNothing)
{
    auto linux = topology();
    RecordedSource source;
    source.outputs["nvme0n1p2"] = R"({"smartctl": {"exit_status": 2}})";
    source.outputs["nvme0"] = R"({"smart_status": {"passed": true}, "serial_number": "S1"})";
    source.outputs["nvme0n1"] = R"({"smart_status": {"passed": false}})";
    ScopedTestLogSink log;
    auto info = SMARTInfoProvider::fetchSMARTInfo(" nvme0n1p2", source, linux);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->overallStatus, "FAILED");
    EXPECT_EQ(info->sourceCommand, "smartctl -j -x /dev/nvme0n1");
    EXPECT_EQ(source.asked, (Names { "nvme0n1p2", "nvme0n1" }));
    EXPECT_TRUE(log->contains(LogLevel::Debug,
        "Evaluating candidate BSD names [\"nvme0n1p2\", \"nvme0n1\", \"nvme0\"] for original BSD name  nvme0n1p2"));

    for (const char* name : { "sda1", "   " }) {
        source.asked.clear();
        EXPECT_FALSE(SMARTInfoProvider::fetchSMARTInfo(name, source, linux));
    }
    EXPECT_TRUE(source.asked.empty()); // a blank name asks nothing
    EXPECT_TRUE(log->contains(LogLevel::Error, "All smartctl attempts exhausted for BSD name sda1; SMART data unavailable"));

    // With privileged operations disabled, every candidate is skipped without asking.
    source.allowed = false;
    EXPECT_FALSE(SMARTInfoProvider::fetchSMARTInfo("dm-0", source, linux));
    EXPECT_TRUE(source.asked.empty());
    EXPECT_TRUE(log->contains(LogLevel::Default,
        "Privileged operations disabled; skipping smartctl request for BSD name nvme0"));
}

}
}
