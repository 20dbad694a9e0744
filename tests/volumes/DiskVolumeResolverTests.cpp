#include "platform/LinuxMountLookup.h"
#include "platform/SysfsRegistry.h"
#include "support/FakeDeviceRegistry.h"
#include "support/LanguageGuard.h"
#include "support/ShellCommand.h"
#include "support/TemporaryDirectory.h"
#include "volumes/DiskVolumeResolver.h"

#include <cerrno>
#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace tallowin {
namespace {

using testing::FakeDeviceRegistry;
using testing::LanguageGuard;

struct FakeMountLookup final : MountLookup {
    std::map<std::string, std::string> links;
    std::optional<FileSystemStatistics> statistics;
    std::optional<VolumeResourceValues> resources;
    std::string lastStatisticsPath;

    Expected<std::string, int> resolveSymbolicLinks(std::string_view path) override
    {
        auto found = links.find(std::string(path));
        return found != links.end() ? found->second : std::string(path);
    }
    Expected<FileSystemStatistics, int> fileSystemStatistics(std::string_view path) override
    {
        lastStatisticsPath = path;
        return statistics ? Expected<FileSystemStatistics, int>(*statistics) : Unexpected(ENOENT);
    }
    Expected<VolumeResourceValues, int> volumeResourceValues(std::string_view) override
    {
        return resources ? Expected<VolumeResourceValues, int>(*resources) : Unexpected(EIO);
    }
};

class Resolver : public ::testing::Test {
protected:
    void SetUp() override
    {
        mounts.statistics
            = FileSystemStatistics { 4096, 1000, 250, " apfs\n", "/dev/disk3s1", "/Volumes/Data" };
        mounts.resources = VolumeResourceValues { "Data", 8'000'000, 1'000, 3'000, 2'000 };
        auto drive = registry.add("block");
        for (auto [key, value] :
            std::initializer_list<std::pair<const char*, RegistryValue>> { { "Physical Interconnect", "USB" },
                { "Device Speed", 4 }, { "Vendor Name", "Acme" }, { "Product Name", "Rocket" } })
            registry.setProperty(drive, key, value);
        registry.setBSDName(drive, "disk3s1");
    }

    Expected<DiskVolumeDescriptor, MonitorError> resolve(std::string_view location)
    {
        return DiskVolumeResolver::resolve(location, registry, mounts);
    }

    FakeDeviceRegistry registry;
    FakeMountLookup mounts;
    LanguageGuard english { "en_GB" };
};

TEST_F(Resolver, AFolderLinkOrFileUrlResolvesToItsVolumeWithEveryField)
{
    EXPECT_EQ(resolve("/Volumes/Data/Projects/2024"),
        (DiskVolumeDescriptor { "/Volumes/Data/Projects/2024", "disk3s1", "Data", "USB 3.1 Gen2", "10Gbps",
            "APFS", 8'000'000, 3'000, "Acme", "Rocket", std::nullopt }));
    mounts.links["/home/me/link"] = "/Volumes/Data/real";
    EXPECT_EQ(resolve("file:///home/me/link")->url, "/Volumes/Data/real");
    EXPECT_EQ(mounts.lastStatisticsPath, "/Volumes/Data/real"); // links are resolved first
    EXPECT_EQ(resolve("file://localhost/My%20Folder")->url, "/My Folder");
    EXPECT_EQ(resolve("some/folder")->url, std::filesystem::current_path().string() + "/some/folder");
    for (const char* location : { "", "http://example.com/x", "file://server/share", "file://" })
        EXPECT_EQ(resolve(location).error().kind, MonitorError::Kind::invalidSelection) << location;
}

TEST_F(Resolver, NamesAndCapacitiesFallBackToTheStatisticsRecord)
{
    // A device name without a slash is used whole; the last component otherwise; none is an error.
    mounts.statistics->mountedFromName = "server:export";
    EXPECT_EQ(resolve("/net/x")->bsdName, "server:export");
    mounts.statistics->mountedFromName = "/dev/mapper//vg-home/";
    EXPECT_EQ(resolve("/x")->bsdName, "vg-home");
    mounts.statistics->mountedFromName = "///";
    EXPECT_EQ(resolve("/x").error().kind, MonitorError::Kind::bsdNameResolutionFailed);

    mounts.statistics->mountedFromName = "/dev/disk3s1";
    mounts.resources = VolumeResourceValues { std::nullopt, 0, 0, std::nullopt, 0 };
    auto descriptor = resolve("/Volumes/Data/Projects/");
    EXPECT_EQ(descriptor->displayName, "Projects");
    EXPECT_EQ(descriptor->totalCapacityBytes, 4096u * 1000);
    EXPECT_EQ(descriptor->availableCapacityBytes, 4096u * 250);
    // Resource failures are ignored; a zero block size gives no capacities.
    mounts.resources.reset();
    mounts.statistics = FileSystemStatistics { 0, 1000, 250, "  \n", "/dev/disk3s1", "/" };
    descriptor = resolve("/");
    EXPECT_EQ(descriptor->displayName, "/");
    EXPECT_FALSE(descriptor->totalCapacityBytes || descriptor->availableCapacityBytes
        || descriptor->fileSystemDescription);
}

TEST(ResolverOnThisMachine, TheRootIsTheVirtioDiskWithStatvfsCapacities)
{
    SysfsRegistry registry;
    LinuxMountLookup mounts;
    auto descriptor = DiskVolumeResolver::resolve("/", registry, mounts);
    ASSERT_TRUE(descriptor);
    if (descriptor->bsdName != "vda")
        GTEST_SKIP() << "root is on " << descriptor->bsdName;
    EXPECT_EQ(descriptor->fileSystemDescription, "EXT4");
    EXPECT_EQ(descriptor->connectionTypeDescription, "Virtio");
    struct statvfs expected;
    ASSERT_EQ(::statvfs("/", &expected), 0);
    EXPECT_EQ(descriptor->totalCapacityBytes, std::uint64_t { expected.f_blocks } * expected.f_frsize);
    // Free space moves while other programs run; it stays within a few megabytes.
    EXPECT_NEAR(static_cast<double>(descriptor->availableCapacityBytes.value_or(0)),
        static_cast<double>(expected.f_bavail) * static_cast<double>(expected.f_frsize), 256.0 * 1024 * 1024);
}

TEST(ResolverOnThisMachine, BadInputNeverCrashes)
{
    SysfsRegistry registry;
    LinuxMountLookup mounts;
    LanguageGuard english { "en" };
    EXPECT_EQ(DiskVolumeResolver::resolve("/no/such/place", registry, mounts).error().kind,
        MonitorError::Kind::bsdNameResolutionFailed);
    // A file is not a folder, but it still lives on a volume.
    EXPECT_EQ(DiskVolumeResolver::resolve("/etc/hostname", registry, mounts)->url,
        std::filesystem::canonical("/etc/hostname").string());
    for (const char* pseudo : { "/proc", "/proc/self", "/sys/block", "/dev/shm", "/dev" }) {
        auto descriptor = DiskVolumeResolver::resolve(pseudo, registry, mounts);
        ASSERT_TRUE(descriptor) << pseudo;
        EXPECT_EQ(descriptor->connectionTypeDescription, "Unknown") << pseudo;
        EXPECT_FALSE(descriptor->bsdName.empty()) << pseudo;
    }
}

// An ext4 image on a loop device, mounted at a path with a space (mountinfo escapes it); every
// step is undone in reverse order when the guard goes, even if an assertion failed half way.
struct LoopMount {
    testing::TemporaryDirectory directory { "tallowin-loop" };
    std::string mountPoint = (directory / "mnt point").string();
    std::string loop;
    bool mounted { false };

    LoopMount()
    {
        auto image = "'" + (directory / "image.ext4").string() + "'";
        std::filesystem::create_directory(mountPoint);
        auto made = testing::runShell("{ truncate -s 16M " + image + " && mkfs.ext4 -q -L TallowinTest "
            + image + " && losetup -f --show " + image + "; } 2>/dev/null");
        loop = made.exitStatus == 0 ? made.output.substr(0, made.output.find('\n')) : "";
        mounted = !loop.empty() && ::mount(loop.c_str(), mountPoint.c_str(), "ext4", 0, nullptr) == 0;
    }
    ~LoopMount()
    {
        if (mounted)
            ::umount2(mountPoint.c_str(), MNT_DETACH);
        if (!loop.empty())
            testing::runShell("losetup -d " + loop + " 2>/dev/null");
    }
    LoopMount(const LoopMount&) = delete;
};

TEST(ResolverOnThisMachine, ALoopMountedImageResolvesToItsLoopDeviceAndLabel)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root for losetup and mount";
    LoopMount loop;
    if (!loop.mounted)
        GTEST_SKIP() << "loop devices or ext4 mounts are not available here";
    std::filesystem::create_directories(loop.mountPoint + "/photos/2024");
    SysfsRegistry registry;
    LinuxMountLookup mounts;
    auto descriptor = DiskVolumeResolver::resolve(loop.mountPoint + "/photos/2024", registry, mounts);
    ASSERT_TRUE(descriptor);
    EXPECT_EQ(descriptor->url, std::filesystem::canonical(loop.mountPoint + "/photos/2024").string());
    EXPECT_EQ(descriptor->bsdName, std::filesystem::path(loop.loop).filename());
    EXPECT_EQ(descriptor->displayName, "TallowinTest");
    EXPECT_EQ(descriptor->fileSystemDescription, "EXT4");
    EXPECT_EQ(descriptor->connectionTypeDescription, "Loop");
    EXPECT_TRUE(descriptor->totalCapacityBytes && descriptor->availableCapacityBytes);
}

}
}
