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

class FakeMountLookup final : public MountLookup {
public:
    std::map<std::string, std::string> links;
    std::optional<FileSystemStatistics> statistics;
    std::optional<VolumeResourceValues> resources;
    std::vector<std::string> statisticsPaths;

    Expected<std::string, int> resolveSymbolicLinks(std::string_view path) override
    {
        if (auto found = links.find(std::string(path)); found != links.end())
            return found->second;
        return std::string(path);
    }
    Expected<FileSystemStatistics, int> fileSystemStatistics(std::string_view path) override
    {
        statisticsPaths.emplace_back(path);
        if (!statistics)
            return Unexpected(ENOENT);
        return *statistics;
    }
    Expected<VolumeResourceValues, int> volumeResourceValues(std::string_view) override
    {
        if (!resources)
            return Unexpected(EIO);
        return *resources;
    }
};

class Resolver : public ::testing::Test {
protected:
    void SetUp() override
    {
        mounts.statistics
            = FileSystemStatistics { 4096, 1000, 250, " apfs\n", "/dev/disk3s1", "/Volumes/Data" };
        mounts.resources = VolumeResourceValues { "Data", 8'000'000, 1'000, 3'000, 2'000 };
        auto drive = registry.add("block", RegistryDictionary {});
        registry.setProperty(drive, "Physical Interconnect", "USB");
        registry.setProperty(drive, "Device Speed", 4);
        registry.setProperty(drive, "Vendor Name", "Acme");
        registry.setProperty(drive, "Product Name", "Rocket");
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
    EXPECT_EQ(mounts.statisticsPaths.back(), "/Volumes/Data/real"); // links are resolved first
    EXPECT_EQ(resolve("file://localhost/My%20Folder")->url, "/My Folder");
    EXPECT_EQ(resolve("some/folder")->url, std::filesystem::current_path().string() + "/some/folder");
}

TEST_F(Resolver, RejectsWhatIsNotALocalFileOrHasNoDeviceName)
{
    for (const char* location :
        { "", "http://example.com/x", "file://server/share", "file://", "smb://nas/x" })
        EXPECT_EQ(resolve(location).error().kind, MonitorError::Kind::invalidSelection) << location;
    EXPECT_EQ(resolve("").error().localizedDescription(), "Please select a valid volume.");

    for (const char* source : { "///", "" }) {
        mounts.statistics = FileSystemStatistics { 4096, 1, 1, "ext4", source, "/" };
        EXPECT_EQ(resolve("/x").error().localizedDescription(),
            "Failed to resolve the BSD name for the selected path.");
    }
    mounts.statistics.reset();
    EXPECT_EQ(resolve("/x").error().kind, MonitorError::Kind::bsdNameResolutionFailed);
}

TEST_F(Resolver, NamesAndCapacitiesFallBackToTheStatisticsRecord)
{
    // A device name without a slash is used whole; the last component otherwise.
    mounts.statistics->mountedFromName = "server:export";
    auto network = resolve("/net/x");
    EXPECT_EQ(network->bsdName, "server:export");
    EXPECT_EQ(network->connectionTypeDescription, "Unknown");
    EXPECT_FALSE(network->hardwareVendor);
    mounts.statistics->mountedFromName = "/dev/mapper//vg-home/";
    EXPECT_EQ(resolve("/x")->bsdName, "vg-home");

    mounts.resources = VolumeResourceValues { std::nullopt, 0, 0, std::nullopt, 0 };
    auto descriptor = resolve("/Volumes/Data/Projects/");
    EXPECT_EQ(descriptor->displayName, "Projects");
    EXPECT_EQ(descriptor->totalCapacityBytes, 4096u * 1000);
    EXPECT_EQ(descriptor->availableCapacityBytes, 4096u * 250);
    // An empty volume name is still the volume name.
    mounts.resources = VolumeResourceValues { "", std::nullopt, 5, std::nullopt, std::nullopt };
    EXPECT_EQ(resolve("/a/b")->displayName, "");
    EXPECT_EQ(resolve("/a/b")->availableCapacityBytes, 5u);
    // Resource failures are ignored; a zero block size gives no capacities.
    mounts.resources.reset();
    mounts.statistics = FileSystemStatistics { 0, 1000, 250, "  \n", "/dev/disk3s1", "/" };
    descriptor = resolve("/");
    EXPECT_EQ(descriptor->displayName, "/");
    EXPECT_FALSE(descriptor->totalCapacityBytes || descriptor->availableCapacityBytes);
    EXPECT_FALSE(descriptor->fileSystemDescription);
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
    struct statvfs expected;
    ASSERT_EQ(::statvfs("/", &expected), 0);
    EXPECT_EQ(descriptor->totalCapacityBytes, std::uint64_t { expected.f_blocks } * expected.f_frsize);
    // Free space moves while other programs run; it stays within a few megabytes.
    auto available = static_cast<double>(std::uint64_t { expected.f_bavail } * expected.f_frsize);
    ASSERT_TRUE(descriptor->availableCapacityBytes);
    EXPECT_NEAR(static_cast<double>(*descriptor->availableCapacityBytes), available, 256.0 * 1024 * 1024);
    EXPECT_EQ(descriptor->connectionTypeDescription, "Virtio");
    EXPECT_FALSE(descriptor->smartInfo);
}

TEST(ResolverOnThisMachine, BadInputNeverCrashes)
{
    SysfsRegistry registry;
    LinuxMountLookup mounts;
    LanguageGuard english { "en" };
    auto missing = DiskVolumeResolver::resolve("/no/such/place", registry, mounts);
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().kind, MonitorError::Kind::bsdNameResolutionFailed);
    // A file is not a folder, but it still lives on a volume.
    auto file = DiskVolumeResolver::resolve("/etc/hostname", registry, mounts);
    ASSERT_TRUE(file);
    EXPECT_EQ(file->url, std::filesystem::canonical("/etc/hostname").string());
    for (const char* pseudo : { "/proc", "/proc/self", "/sys/block", "/dev/shm", "/dev" }) {
        auto descriptor = DiskVolumeResolver::resolve(pseudo, registry, mounts);
        ASSERT_TRUE(descriptor) << pseudo;
        EXPECT_EQ(descriptor->connectionTypeDescription, "Unknown") << pseudo;
        EXPECT_FALSE(descriptor->bsdName.empty()) << pseudo;
    }
}

// Runs a shell command; its standard output without the final line break, or nothing when it failed.
std::optional<std::string> run(const std::string& command)
{
    auto outcome = testing::runShell(command + " 2>/dev/null");
    if (outcome.exitStatus != 0)
        return std::nullopt;
    while (!outcome.output.empty() && outcome.output.back() == '\n')
        outcome.output.pop_back();
    return outcome.output;
}

// An ext4 image on a loop device, mounted; every step is undone in reverse order when the
// guard goes, even if an assertion failed half way.
class LoopMount {
public:
    LoopMount()
    {
        auto image = (m_directory / "image.ext4").string();
        std::filesystem::create_directory(m_mountPoint); // a space exercises mountinfo's escapes
        if (!run("truncate -s 16M '" + image + "' && mkfs.ext4 -q -L TallowinTest '" + image + "'"))
            return;
        m_loop = run("losetup -f --show '" + image + "'").value_or("");
        m_mounted = !m_loop.empty() && ::mount(m_loop.c_str(), m_mountPoint.c_str(), "ext4", 0, nullptr) == 0;
    }
    ~LoopMount()
    {
        if (m_mounted)
            ::umount2(m_mountPoint.c_str(), MNT_DETACH);
        if (!m_loop.empty())
            run("losetup -d " + m_loop);
    }
    LoopMount(const LoopMount&) = delete;
    LoopMount& operator=(const LoopMount&) = delete;

    bool ready() const { return m_mounted; }
    const std::string& mountPoint() const { return m_mountPoint; }
    std::string loopName() const { return std::filesystem::path(m_loop).filename().string(); }

private:
    testing::TemporaryDirectory m_directory { "tallowin-loop" };
    std::string m_mountPoint = (m_directory / "mnt point").string();
    std::string m_loop;
    bool m_mounted { false };
};

TEST(ResolverOnThisMachine, ALoopMountedImageResolvesToItsLoopDeviceAndLabel)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root for losetup and mount";
    LoopMount loop;
    if (!loop.ready())
        GTEST_SKIP() << "loop devices or ext4 mounts are not available here";
    std::filesystem::create_directories(loop.mountPoint() + "/photos/2024");
    SysfsRegistry registry;
    LinuxMountLookup mounts;
    auto descriptor = DiskVolumeResolver::resolve(loop.mountPoint() + "/photos/2024", registry, mounts);
    ASSERT_TRUE(descriptor);
    EXPECT_EQ(descriptor->url, std::filesystem::canonical(loop.mountPoint() + "/photos/2024").string());
    EXPECT_EQ(descriptor->bsdName, loop.loopName());
    EXPECT_EQ(descriptor->displayName, "TallowinTest");
    EXPECT_EQ(descriptor->fileSystemDescription, "EXT4");
    EXPECT_EQ(descriptor->connectionTypeDescription, "Loop");
    struct statvfs expected;
    ASSERT_EQ(::statvfs(loop.mountPoint().c_str(), &expected), 0);
    EXPECT_EQ(descriptor->totalCapacityBytes, std::uint64_t { expected.f_blocks } * expected.f_frsize);
    EXPECT_EQ(descriptor->availableCapacityBytes, std::uint64_t { expected.f_bavail } * expected.f_frsize);
}

}
}
