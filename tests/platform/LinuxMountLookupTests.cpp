#include "platform/LinuxMountLookup.h"
#include "support/FakeSysfsTree.h"
#include "support/TemporaryDirectory.h"

#include <cerrno>
#include <filesystem>
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <optional>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

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

TEST(MountInfoParsing, ThePathsDeviceNumberPicksTheMountThatIsVisibleThere)
{
    // /mnt/a/b was mounted first, then /mnt/a on top of it: /mnt/a/b now lies inside /mnt/a's
    // file system, and /dev/sda4 can no longer be reached. / is also bind-mounted at /srv/root.
    auto entries = parseMountInfo("1 0 8:1 / / rw - ext4 /dev/sda1 rw\n"
                                  "2 1 8:4 / /mnt/a/b rw - ext4 /dev/sda4 rw\n"
                                  "3 1 8:3 / /mnt/a rw - xfs /dev/sda3 rw\n"
                                  "4 1 8:1 / /srv/root rw - ext4 /dev/sda1 rw\n"
                                  "5 1 0:50 / /mnt/a rw - tmpfs tmpfs rw\n");
    struct Case {
        const char* path;
        std::optional<std::pair<unsigned, unsigned>> device;
        unsigned expectedEntry; // 0: none
    };
    for (auto [path, device, expectedEntry] :
        std::initializer_list<Case> { { "/mnt/a/b/c", std::pair { 8u, 3u }, 3 },
            { "/mnt/a/b", std::pair { 8u, 3u }, 3 }, { "/mnt/a/b/c", std::pair { 8u, 4u }, 2 },
            // Of two mounts of one file system, the deeper one that holds the path.
            { "/srv/root/etc", std::pair { 8u, 1u }, 4 }, { "/etc", std::pair { 8u, 1u }, 1 },
            // The tmpfs mounted last on /mnt/a hides the xfs mounted there before it.
            { "/mnt/a/x", std::pair { 0u, 50u }, 5 }, { "/mnt/a/x", std::pair { 8u, 3u }, 3 },
            // A number no mount shows (a btrfs subvolume), or none: longest prefix, last mounted.
            { "/mnt/a/b/c", std::pair { 0u, 99u }, 2 }, { "/mnt/a/x", std::pair { 0u, 99u }, 5 },
            { "/mnt/a/b/c", std::nullopt, 2 }, { "/mnt/a", std::nullopt, 5 },
            // A name that merely starts like a mount point is not inside it.
            { "/mnt/ab", std::nullopt, 1 }, { "relative", std::nullopt, 0 } }) {
        const auto* found = mountContaining(entries, path, device);
        EXPECT_EQ(found, expectedEntry ? &entries[expectedEntry - 1] : nullptr)
            << path << " on " << (device ? device->second : 0);
    }
    EXPECT_EQ(mountContaining({}, "/"), nullptr);
}

// Fake /proc, /sys, udev and /dev around a real directory, so that statvfs still answers.
class FakeMountRoots : public ::testing::Test {
protected:
    void SetUp() override
    {
        volume = tree.root() / "volume";
        std::filesystem::create_directories(volume / "folder");
        // The fake mounts must not share the temporary folder's real device number, or that
        // number alone would decide which of them holds a path.
        struct stat status;
        ASSERT_EQ(::stat(volume.c_str(), &status), 0);
        rootEntry = fmt::format(
            "1 0 {}:{} / / rw - ext4 /dev/vda rw\n", ::major(status.st_dev), ::minor(status.st_dev) + 1);
        FakeSysfsTree::write(tree.root() / "proc/self/mountinfo",
            rootEntry + "2 1 7:3 / " + volume.string() + " rw - ext4 /dev/loop3 rw\n");
        tree.device("virtual", "");
        tree.block("virtual/block/loop3", 7, 3);
        FakeSysfsTree::write(tree.root() / "dev/loop3", "");
    }

    LinuxMountLookup lookup()
    {
        return LinuxMountLookup({ (tree.root() / "proc").string(), tree.rootString(),
            (tree.root() / "udev").string(), (tree.root() / "dev").string() });
    }

    FakeSysfsTree tree;
    std::filesystem::path volume;
    std::string rootEntry;
};

TEST_F(FakeMountRoots, AnUnlabelledVolumeIsNamedAfterItsMountPointNeverAfterTheFolder)
{
    auto mounts = lookup();
    auto statistics = mounts.fileSystemStatistics((volume / "folder").string());
    ASSERT_TRUE(statistics);
    EXPECT_EQ(statistics->mountedFromName, "/dev/loop3");
    EXPECT_EQ(statistics->fileSystemTypeName, "ext4");
    EXPECT_EQ(statistics->mountPoint, volume.string());
    auto values = mounts.volumeResourceValues((volume / "folder").string());
    ASSERT_TRUE(values);
    EXPECT_EQ(values->volumeName, "volume");
    EXPECT_EQ(mounts.fileSystemStatistics((volume / "no-such-thing").string()).error(), ENOENT);
    EXPECT_FALSE(mounts.resolveSymbolicLinks(""));

    // The whole tree lives on the fake root mount, whose block device the fake /dev does not
    // have: no label can be found, and "/" is the name.
    FakeSysfsTree::write(tree.root() / "proc/self/mountinfo", rootEntry);
    EXPECT_EQ(mounts.volumeResourceValues((volume / "folder").string())->volumeName, "/");
}

TEST_F(FakeMountRoots, TakesTheLabelFromUdevThenFromByLabelLinksAndTheDeviceFromTheSourceLink)
{
    tree.link(tree.root() / "dev/disk/by-label/Holiday\\x20Photos", tree.root() / "dev/loop3");
    EXPECT_EQ(lookup().volumeResourceValues(volume.string())->volumeName, "Holiday Photos");
    FakeSysfsTree::write(tree.root() / "udev/b7:3",
        "S:disk/by-label/x\nE:ID_FS_LABEL=My_Disk\nE:ID_FS_LABEL_ENC=My\\x20Disk\n");
    EXPECT_EQ(lookup().volumeResourceValues(volume.string())->volumeName, "My Disk");

    // btrfs reports an anonymous 0:N device; its source is a /dev/mapper link to dm-0. A source
    // that names no block device known to sysfs, or none at all, stays as written.
    tree.block("virtual/block/dm-0", 253, 0);
    FakeSysfsTree::write(tree.root() / "dev/dm-0", "");
    tree.link(tree.root() / "dev/mapper/cryptroot", tree.root() / "dev/dm-0");
    for (auto [source, name] : { std::pair { "/dev/mapper/cryptroot", "/dev/dm-0" },
             { "/dev/not-a-disk", "/dev/not-a-disk" }, { "server:/export", "server:/export" } }) {
        FakeSysfsTree::write(tree.root() / "proc/self/mountinfo",
            fmt::format("2 1 0:45 /@home {} rw - btrfs {} rw,subvol=/@home\n", volume.string(), source));
        EXPECT_EQ(lookup().fileSystemStatistics(volume.string())->mountedFromName, name) << source;
    }
}

// Two tmpfs mounts made in the order that hides the first: a/b, then a over it. Both are
// undone, the later first, when the guard goes, whatever the test did.
struct HiddenMount {
    testing::TemporaryDirectory directory { "tallowin-hidden" };
    std::string outer = (directory / "a").string();
    std::string inner = outer + "/b";
    int mounted { 0 };

    HiddenMount()
    {
        std::filesystem::create_directories(inner);
        if (::mount("tallowin-inner", inner.c_str(), "tmpfs", 0, "size=64k") != 0)
            return;
        ++mounted;
        if (::mount("tallowin-outer", outer.c_str(), "tmpfs", 0, "size=64k") != 0)
            return;
        ++mounted;
        std::filesystem::create_directories(inner + "/c");
    }
    ~HiddenMount()
    {
        if (mounted == 2)
            ::umount2(outer.c_str(), MNT_DETACH);
        if (mounted >= 1)
            ::umount2(inner.c_str(), MNT_DETACH);
    }
    HiddenMount(const HiddenMount&) = delete;
};

TEST(LinuxMountLookupOnThisMachine, AMountHiddenUnderALaterOneNeverHoldsAPath)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to mount";
    HiddenMount mounts;
    if (mounts.mounted != 2)
        GTEST_SKIP() << "tmpfs cannot be mounted here";
    LinuxMountLookup lookup;
    for (const auto& path : { mounts.inner, mounts.inner + "/c" }) {
        auto statistics = lookup.fileSystemStatistics(path);
        ASSERT_TRUE(statistics) << path;
        EXPECT_EQ(statistics->mountPoint, mounts.outer) << path;
        EXPECT_EQ(statistics->mountedFromName, "tallowin-outer") << path;
    }
}

}
}
