#include "cli/SystemVolume.h"
#include "support/FakeDeviceRegistry.h"
#include "support/LanguageGuard.h"

#include <cerrno>
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <map>

namespace tallowin {
namespace {

using testing::LanguageGuard;

// One mount holds every path; paths listed in `unreachable` fail with their errno.
struct OneMountLookup final : MountLookup {
    FileSystemStatistics statistics { 4096, 1000, 250, "ext4", "/dev/sdb1", "/media/disk" };
    std::map<std::string, int, std::less<>> unreachable;

    Expected<std::string, int> resolveSymbolicLinks(std::string_view path) override
    {
        if (auto found = unreachable.find(path); found != unreachable.end())
            return Unexpected(found->second);
        return std::string(path);
    }
    Expected<FileSystemStatistics, int> fileSystemStatistics(std::string_view path) override
    {
        if (auto found = unreachable.find(path); found != unreachable.end())
            return Unexpected(found->second);
        return statistics;
    }
    Expected<VolumeResourceValues, int> volumeResourceValues(std::string_view) override
    {
        return VolumeResourceValues {};
    }
};

class VolumeAtPath : public ::testing::Test {
protected:
    void SetUp() override
    {
        RegistryDictionary properties;
        properties.set("Physical Interconnect", "USB");
        registry.setBSDName(registry.add("block", std::move(properties)), "sdb1");
    }
    Expected<DiskVolumeDescriptor, std::string> volume(const std::string& path)
    {
        return cli::volumeAtPath(path, registry, mounts);
    }

    testing::FakeDeviceRegistry registry;
    OneMountLookup mounts;
    LanguageGuard english { "en" };
};

TEST_F(VolumeAtPath, AFileSystemWithoutABlockDeviceIsRefusedWithItsType)
{
    ASSERT_TRUE(volume("/media/disk/photos"));
    EXPECT_EQ(volume("/media/disk/photos")->bsdName, "sdb1");

    struct Case {
        const char* source;
        const char* type;
    };
    // Sources as the mount table writes them; the last names a device node that is no disk the
    // registry knows, the one before a block device name the registry has, though not under /dev.
    for (auto [source, type] : std::initializer_list<Case> { { "tmpfs", "tmpfs" }, { "proc", "proc" },
             { "overlay", "overlay" }, { "server:/export", "nfs4" }, { "//server/share", "cifs" },
             { "sdb1", "fuse.sshfs" }, { "/dev/fuse", "fuse" } }) {
        mounts.statistics.mountedFromName = source;
        mounts.statistics.fileSystemTypeName = type;
        auto result = volume("/media/disk/photos");
        ASSERT_FALSE(result) << source;
        EXPECT_EQ(result.error(),
            fmt::format("/media/disk/photos is on a {} file system, which has no block device. Choose a "
                        "folder on a disk.",
                type));
    }
    LanguageGuard chinese { "zh_CN" };
    EXPECT_EQ(volume("/dev/shm").error(),
        "/dev/shm 位于 fuse 文件系统上，该文件系统没有块设备。请选择磁盘上的文件夹。");
}

TEST_F(VolumeAtPath, AnUnreachablePathSaysWhyBeforeTheResolversMessage)
{
    const std::string resolverMessage = "Failed to resolve the BSD name for the selected path.";
    for (auto [error, reason] : std::initializer_list<std::pair<int, const char*>> {
             { ENOENT, "No such file or folder: /x/y" }, { EACCES, "Permission denied: /x/y" },
             { ENOTDIR, "A part of the path is not a folder: /x/y" } }) {
        mounts.unreachable = { { "/x/y", error } };
        EXPECT_EQ(volume("/x/y").error(), std::string(reason) + "\n" + resolverMessage) << error;
    }
    // URLs keep the resolver's own message: a URL is no path a Linux tool would complain about.
    EXPECT_EQ(volume("file:///x/y").error(), resolverMessage);
    EXPECT_EQ(volume("http://example.com/").error(), "Please select a valid volume.");

    LanguageGuard chinese { "zh_CN" };
    mounts.unreachable = { { "/x/y", ENOENT } };
    EXPECT_EQ(volume("/x/y").error(), "没有那个文件或文件夹：/x/y\n无法解析所选路径对应的 BSD 名称。");
}

}
}
