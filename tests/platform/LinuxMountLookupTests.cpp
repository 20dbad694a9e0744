#include "platform/LinuxMountLookup.h"
#include "support/FakeSysfsTree.h"

#include <cerrno>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/statvfs.h>

namespace tallowin {
namespace {

using testing::FakeSysfsTree;

TEST(MountInfoParsing, DecodesEscapesAndSkipsOptionalFields)
{
    auto entries = parseMountInfo(
        "27 1 254:0 / / rw,relatime shared:1 - ext4 /dev/vda rw\n"
        "90 27 7:3 / /media/My\\040Disk\\011tab rw,nosuid shared:50 master:3 - vfat /dev/loop3 rw\n"
        "short line\n"
        "91 27 0:50 / /srv/back\\134slash rw - tmpfs tmpfs rw\n"
        "92 27 0:51 / /bad rw no-separator-here\n");
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0], (MountInfoEntry { 254, 0, "/", "ext4", "/dev/vda" }));
    EXPECT_EQ(entries[1], (MountInfoEntry { 7, 3, "/media/My Disk\ttab", "vfat", "/dev/loop3" }));
    EXPECT_EQ(entries[2].mountPoint, "/srv/back\\slash");
}

TEST(MountInfoParsing, PicksTheLongestContainingMountAndTheLastOfEqualOnes)
{
    auto entries = parseMountInfo("1 0 8:1 / / rw - ext4 /dev/sda1 rw\n"
                                  "2 1 8:2 / /mnt/a rw - ext4 /dev/sda2 rw\n"
                                  "3 1 8:3 / /mnt/a rw - xfs /dev/sda3 rw\n"
                                  "4 1 8:4 / /mnt/a/b rw - ext4 /dev/sda4 rw\n");
    EXPECT_EQ(mountContaining(entries, "/mnt/a/file")->source, "/dev/sda3");
    EXPECT_EQ(mountContaining(entries, "/mnt/a")->source, "/dev/sda3");
    EXPECT_EQ(mountContaining(entries, "/mnt/a/b/c")->source, "/dev/sda4");
    // A name that merely starts like a mount point is not inside it.
    EXPECT_EQ(mountContaining(entries, "/mnt/ab")->source, "/dev/sda1");
    EXPECT_EQ(mountContaining(entries, "relative"), nullptr);
    EXPECT_EQ(mountContaining({}, "/"), nullptr);
}

// Fake /proc, /sys, udev and /dev around a real directory, so that statvfs still answers.
class FakeMountRoots : public ::testing::Test {
protected:
    void SetUp() override
    {
        volume = tree.root() / "volume";
        std::filesystem::create_directories(volume / "folder");
        FakeSysfsTree::write(tree.root() / "proc/self/mountinfo",
            "1 0 254:0 / / rw - ext4 /dev/vda rw\n"
            "2 1 7:3 / "
                + volume.string() + " rw - ext4 /dev/loop3 rw\n");
        tree.device("virtual", "");
        tree.block("virtual/block/loop3", 7, 3);
        std::filesystem::create_directories(tree.root() / "dev");
        FakeSysfsTree::write(tree.root() / "dev/loop3", "");
    }

    LinuxMountLookup lookup()
    {
        return LinuxMountLookup({ (tree.root() / "proc").string(), tree.rootString(),
            (tree.root() / "udev").string(), (tree.root() / "dev").string() });
    }

    FakeSysfsTree tree;
    std::filesystem::path volume;
};

TEST_F(FakeMountRoots, NamesTheBlockDeviceThroughSysfsAndReadsCapacitiesLikeDf)
{
    auto mounts = lookup();
    auto statistics = mounts.fileSystemStatistics((volume / "folder").string());
    ASSERT_TRUE(statistics);
    EXPECT_EQ(statistics->mountedFromName, "/dev/loop3");
    EXPECT_EQ(statistics->fileSystemTypeName, "ext4");
    EXPECT_EQ(statistics->mountPoint, volume.string());

    struct statvfs expected;
    ASSERT_EQ(::statvfs(volume.c_str(), &expected), 0);
    EXPECT_EQ(statistics->blockSize, expected.f_frsize);
    EXPECT_EQ(statistics->totalBlocks, expected.f_blocks);
    auto values = mounts.volumeResourceValues(volume.string());
    ASSERT_TRUE(values);
    EXPECT_EQ(values->totalCapacity, std::uint64_t { expected.f_blocks } * expected.f_frsize);
    EXPECT_FALSE(values->volumeName);
    EXPECT_EQ(mounts.fileSystemStatistics((volume / "no-such-thing").string()).error(), ENOENT);
    EXPECT_FALSE(mounts.resolveSymbolicLinks(""));
}

TEST_F(FakeMountRoots, TakesTheLabelFromUdevThenFromByLabelLinks)
{
    std::filesystem::create_directories(tree.root() / "dev/disk/by-label");
    tree.link(tree.root() / "dev/disk/by-label/Holiday\\x20Photos", tree.root() / "dev/loop3");
    EXPECT_EQ(lookup().volumeResourceValues(volume.string())->volumeName, "Holiday Photos");

    FakeSysfsTree::write(tree.root() / "udev/b7:3",
        "S:disk/by-label/x\nE:ID_FS_LABEL=My_Disk\nE:ID_FS_LABEL_ENC=My\\x20Disk\n");
    EXPECT_EQ(lookup().volumeResourceValues(volume.string())->volumeName, "My Disk");
}

TEST_F(FakeMountRoots, AnonymousDeviceNumbersAreNamedThroughTheSourceLink)
{
    // btrfs reports an anonymous 0:N device; its source is a /dev/mapper link to dm-0.
    FakeSysfsTree::write(tree.root() / "proc/self/mountinfo",
        "2 1 0:45 /@home " + volume.string() + " rw - btrfs /dev/mapper/cryptroot rw,subvol=/@home\n");
    tree.block("virtual/block/dm-0", 253, 0);
    FakeSysfsTree::write(tree.root() / "dev/dm-0", "");
    tree.link(tree.root() / "dev/mapper/cryptroot", tree.root() / "dev/dm-0");
    auto statistics = lookup().fileSystemStatistics(volume.string());
    ASSERT_TRUE(statistics);
    EXPECT_EQ(statistics->mountedFromName, "/dev/dm-0");
    EXPECT_EQ(statistics->fileSystemTypeName, "btrfs");

    // A source that names no block device known to sysfs, or none at all, stays as written.
    for (std::string source : { "/dev/not-a-disk", "server:/export" }) {
        FakeSysfsTree::write(tree.root() / "proc/self/mountinfo",
            "2 1 0:46 / " + volume.string() + " rw - fuse.sshfs " + source + " rw\n");
        EXPECT_EQ(lookup().fileSystemStatistics(volume.string())->mountedFromName, source);
    }
}

}
}
