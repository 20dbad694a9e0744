#include "volumes/SystemVolume.h"
#include "support/FakeDeviceRegistry.h"
#include "support/LanguageGuard.h"
#include "volumes/ConnectionClassifier.h"
#include "volumes/DiskVolumeResolver.h"

#include <cerrno>
#include <filesystem>
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <limits>
#include <map>

namespace tallowin {
namespace {

using testing::LanguageGuard;
using Metadata = DiskVolumeResolver::ConnectionMetadata;

RegistryDictionary dictionary(std::initializer_list<std::pair<const char*, RegistryValue>> entries)
{
    RegistryDictionary result;
    for (const auto& [key, value] : entries)
        result.set(key, value);
    return result;
}

TEST(ConnectionTexts, SpeedsByNumberSizeTextUnitNameOrderAndNestingAndTheInterconnectType)
{
    using namespace ConnectionClassifier;
    for (auto [number, text] : std::initializer_list<std::pair<double, const char*>> { { 8, "8Gbps" },
             { 2.5, "2.5Gbps" }, { 5e9, "5Gbps" }, { 1.5e6, "1.5Mbps" }, { 40e12, "40Tbps" }, { 480, "480" },
             { 5000, "5Mbps" }, { 999'999, "1000Mbps" } })
        EXPECT_EQ(numericSpeedText(number), text) << number;
    for (auto [input, text] : std::initializer_list<std::pair<const char*, const char*>> {
             { "  6.0 Gbps \n", "6.0 Gbps" }, { "16", "16Gbps" }, { "2.50", "2.5Gbps" }, { "inf", "inf" } })
        EXPECT_EQ(speedText(input), text) << input;
    EXPECT_FALSE(speedText(" \n"));
    // Numbers of any name beat texts; an earlier name beats a later one; nesting goes two levels down.
    EXPECT_EQ(
        speedOfDictionary(dictionary({ { "link-speed", "6.0 Gbps" }, { "PCIeLinkRate", 16 } })), "16Gbps");
    EXPECT_EQ(speedOfDictionary(dictionary({ { "PCIeLinkRate", 16 }, { "LinkSpeed", 8 } })), "8Gbps");
    EXPECT_FALSE(speedOfDictionary(dictionary({ { "link-speed", 0 }, { "LinkSpeed", -1 },
        { "linkSpeed", std::numeric_limits<double>::infinity() } })));
    auto twoDown = dictionary({ { "a", dictionary({ { "b", dictionary({ { "link-speed", 8 } }) } }) } });
    EXPECT_EQ(speedOfDictionary(twoDown), "8Gbps");
    EXPECT_FALSE(speedOfDictionary(dictionary({ { "a", twoDown } })));
    // Without the key, the first text in a protocol dictionary is the type, else the next spelling's.
    EXPECT_FALSE(interconnectType(dictionary({ { "Physical Interconnect", "  " } })));
    EXPECT_EQ(
        interconnectType(dictionary({ { "Protocol Characteristics", dictionary({ { "Count", 1 } }) },
            { "protocol characteristics",
                dictionary({ { "List", RegistryArray { RegistryValue(7), RegistryValue("SAS") } } }) } })),
        "SAS");
}

class ConnectionRule : public ::testing::Test {
protected:
    std::optional<Metadata> classify(RegistryDictionary properties, const RegistryObjectRef& parent = nullptr)
    {
        return ConnectionClassifier::classify(registry, registry.add("x", std::move(properties), parent));
    }
    static RegistryDictionary usb(const char* key, RegistryValue speed)
    {
        return dictionary({ { "Physical Interconnect", "USB" }, { key, std::move(speed) } });
    }
    RegistryObjectRef below(RegistryObjectRef top, int levels)
    {
        for (int i = 0; i < levels; ++i)
            top = registry.add("x", {}, top);
        return top;
    }
    testing::FakeDeviceRegistry registry;
    LanguageGuard english { "en_US" };
};

TEST_F(ConnectionRule, UsbCodesAndAncestorSpeedsOtherTypesAndObjectsWithNothingKnown)
{
    EXPECT_EQ(classify(usb("PortCurrentSpeed", " SuperSpeedPlus ")),
        (Metadata { "USB 3.2 Gen2x2", "20Gbps", {}, {} }));
    EXPECT_EQ(classify(usb("PortMaximumSpeed", "warp")), (Metadata { "USB", {}, {}, {} }));
    // An unknown code falls to the ancestors.
    auto hub = registry.add("usb", dictionary({ { "USBCurrentSpeed", 2 } }));
    EXPECT_EQ(classify(usb("Device Speed", 9), hub), (Metadata { "USB 2.0", "480Mbps", {}, {} }));
    // A general link speed on one of eight ancestors wins over the USB code; a ninth is too far.
    auto pci = registry.add("pci", dictionary({ { "IOPCIExpressLinkSpeed", 8 } }));
    EXPECT_EQ(classify(usb("Device Speed", 3), below(pci, 1))->speed, "8Gbps");
    EXPECT_EQ(classify(usb("Device Speed", 3), below(pci, 8))->speed, "5Gbps");

    auto tb5 = dictionary({ { "Physical Interconnect", "thunderbolt" },
        { "Nested", dictionary({ { "thunderbolt_version", 5 } }) } });
    EXPECT_EQ(classify(tb5), (Metadata { "Thunderbolt", {}, {}, {} }));
    EXPECT_EQ(
        classify(dictionary({ { "Physical Interconnect", "Fabric" } })), (Metadata { "Fabric", {}, {}, {} }));
    EXPECT_FALSE(classify(dictionary({ { "size", "1000" } })));
    auto failing = registry.add("x", dictionary({ { "Physical Interconnect", "SATA" } }));
    registry.failProperties(failing, 5);
    EXPECT_FALSE(ConnectionClassifier::classify(registry, failing));
    EXPECT_EQ(
        classify(dictionary({ { "link-speed", 480'000'000 } })), (Metadata { "Unknown", "480Mbps", {}, {} }));
    auto vendorOnly = dictionary({ { "manufacturer", "Acme" } });
    EXPECT_EQ(classify(vendorOnly), (Metadata { "Unknown", {}, "Acme", {} }));
    LanguageGuard chinese { "zh-Hans" };
    EXPECT_EQ(classify(vendorOnly)->type, "未知");
    EXPECT_EQ(classify(tb5)->type, "雷雳");
}

TEST_F(ConnectionRule, IdentityFromUpToTenAncestorsAndASearchOfUpToTwelve)
{
    using namespace DiskVolumeResolver;
    EXPECT_EQ(vendorText(dictionary({ { "vendor", "  ATA  " }, { "manufacturer", "Samsung" } })), "Samsung");
    EXPECT_EQ(vendorText(dictionary({ { "Vendor Name", " " }, { "idVendor", 1452 } })), "0x05AC");
    EXPECT_EQ(vendorText(dictionary({ { "vendor", 12 } })), std::nullopt);
    EXPECT_EQ(modelText(dictionary({ { "model", RegistryData { 'X', 0, ' ', '\n' } } })), "X");
    EXPECT_EQ(modelText(dictionary({ { "model", RegistryData { 0xff, 0xfe } } })), std::nullopt);

    auto top = registry.add("x", dictionary({ { "manufacturer", "Far Away" } }));
    auto unreadable = registry.add("x", dictionary({ { "manufacturer", "Hidden" } }), below(top, 8));
    registry.failProperties(unreadable, 5);
    auto drive = registry.add("x", dictionary({ { "model", "Drive" } }), unreadable);
    // The unreadable parent counts as one of the ten, so the vendor ten levels up is found.
    EXPECT_EQ(hardwareIdentity(registry, drive, *registry.properties(drive)),
        (HardwareIdentity { "Far Away", "Drive" }));
    EXPECT_EQ(hardwareIdentity(registry, below(drive, 1), {}).vendor, std::nullopt);
    EXPECT_EQ(registry.outstandingReferences(top), 0);

    // The search: anything known above the match makes the match itself answer.
    auto controller = registry.add("nvme", dictionary({ { "model", "Fast" } }));
    auto disk = registry.add("block", dictionary({ { "size", "1" } }), controller);
    registry.setBSDName(disk, "nvme0n1");
    EXPECT_EQ(connectionMetadata("nvme0n1", registry), (Metadata { "Unknown", {}, {}, "Fast" }));
    // A first match with nothing known on its chain gives way to the second match.
    registry.setBSDName(registry.add("block", {}), "sdb");
    registry.setBSDName(registry.add("block", dictionary({ { "Physical Interconnect", "USB" } })), "sdb");
    EXPECT_EQ(connectionMetadata("sdb", registry).type, "USB");
    auto sata = registry.add("x", dictionary({ { "Physical Interconnect", "SATA" } }));
    registry.setBSDName(below(sata, 12), "near");
    registry.setBSDName(below(sata, 13), "far");
    EXPECT_EQ(connectionMetadata("near", registry).type, "SATA");
    EXPECT_EQ(connectionMetadata("far", registry).type, "Unknown");
    registry.failMatching(RegistryMatchingFailure { RegistryMatchingFailure::Kind::lookupFailed, 5 });
    EXPECT_EQ(connectionMetadata("nvme0n1", registry), (Metadata { "Unknown", {}, {}, {} }));
    EXPECT_EQ(registry.outstandingReferences(controller) + registry.outstandingReferences(disk), 0);
}

// One mount holds every path; paths listed in `unreachable` fail with their errno.
struct FakeMountLookup final : MountLookup {
    FileSystemStatistics statistics { 4096, 1000, 250, " apfs\n", "/dev/disk3s1", "/Volumes/Data" };
    std::optional<VolumeResourceValues> resources
        = VolumeResourceValues { "Data", 8'000'000, 1'000, 3'000, 2'000 };
    std::map<std::string, int, std::less<>> unreachable;
    std::string lastStatisticsPath;

    Expected<std::string, int> resolveSymbolicLinks(std::string_view path) override
    {
        if (auto found = unreachable.find(path); found != unreachable.end())
            return Unexpected(found->second);
        return path == "/home/me/link" ? "/Volumes/Data/real" : std::string(path);
    }
    Expected<FileSystemStatistics, int> fileSystemStatistics(std::string_view path) override
    {
        lastStatisticsPath = path;
        if (auto found = unreachable.find(path); found != unreachable.end())
            return Unexpected(found->second);
        return statistics;
    }
    Expected<VolumeResourceValues, int> volumeResourceValues(std::string_view) override
    {
        return resources ? Expected<VolumeResourceValues, int>(*resources) : Unexpected(EIO);
    }
};

class Resolver : public ConnectionRule {
protected:
    void SetUp() override
    {
        auto drive = registry.add("block",
            dictionary({ { "Physical Interconnect", "USB" }, { "Device Speed", 4 }, { "Vendor Name", "Acme" },
                { "Product Name", "Rocket" } }));
        registry.setBSDName(drive, "disk3s1");
    }
    Expected<DiskVolumeDescriptor, MonitorError> resolve(std::string_view location)
    {
        return DiskVolumeResolver::resolve(location, registry, mounts);
    }
    FakeMountLookup mounts;
};

TEST_F(Resolver, AFolderLinkOrFileUrlResolvesToItsVolumeAndNamesAndCapacitiesFallBack)
{
    EXPECT_EQ(resolve("/Volumes/Data/Projects/2024"),
        (DiskVolumeDescriptor { "/Volumes/Data/Projects/2024", "disk3s1", "Data", "USB 3.1 Gen2", "10Gbps",
            "APFS", 8'000'000, 3'000, "Acme", "Rocket", std::nullopt }));
    EXPECT_EQ(resolve("file:///home/me/link")->url, "/Volumes/Data/real");
    EXPECT_EQ(mounts.lastStatisticsPath, "/Volumes/Data/real"); // links are resolved first
    EXPECT_EQ(resolve("file://localhost/My%20Folder")->url, "/My Folder");
    EXPECT_EQ(resolve("some/folder")->url, std::filesystem::current_path().string() + "/some/folder");
    for (const char* location : { "", "http://example.com/x", "file://server/share", "file://" })
        EXPECT_EQ(resolve(location).error().kind, MonitorError::Kind::invalidSelection) << location;

    // Fallbacks to the statistics record (what /proc shows on this machine is tested there).
    mounts.statistics.mountedFromName = "/dev/mapper//vg-home/";
    EXPECT_EQ(resolve("/x")->bsdName, "vg-home");
    mounts.statistics.mountedFromName = "///";
    EXPECT_EQ(resolve("/x").error().kind, MonitorError::Kind::bsdNameResolutionFailed);
    mounts.statistics.mountedFromName = "/dev/disk3s1";
    mounts.resources = VolumeResourceValues { std::nullopt, 0, 0, std::nullopt, 0 };
    auto descriptor = resolve("/Volumes/Data/Projects/");
    EXPECT_EQ(descriptor->displayName, "Projects");
    EXPECT_EQ(descriptor->totalCapacityBytes, 4096u * 1000);
    EXPECT_EQ(descriptor->availableCapacityBytes, 4096u * 250);
    mounts.resources.reset(); // resource failures are ignored
    EXPECT_EQ(resolve("/")->displayName, "/");
}

class VolumeAtPath : public Resolver {
protected:
    Expected<DiskVolumeDescriptor, std::string> volume(const std::string& path)
    {
        return volumeAtPath(path, registry, mounts);
    }
};

TEST_F(VolumeAtPath, AFileSystemWithoutABlockDeviceIsRefusedWithItsType)
{
    EXPECT_EQ(volume("/Volumes/Data/photos")->bsdName, "disk3s1");
    // Sources as the mount table writes them; the last names a device node that is no disk the
    // registry knows, the one before a block device name the registry has, though not under /dev.
    for (auto [source, type] : std::initializer_list<std::pair<const char*, const char*>> {
             { "tmpfs", "tmpfs" }, { "proc", "proc" }, { "overlay", "overlay" }, { "server:/export", "nfs4" },
             { "//server/share", "cifs" }, { "disk3s1", "fuse.sshfs" }, { "/dev/fuse", "fuse" } }) {
        mounts.statistics.mountedFromName = source;
        mounts.statistics.fileSystemTypeName = type;
        auto result = volume("/Volumes/Data/photos");
        ASSERT_FALSE(result) << source;
        EXPECT_EQ(result.error(),
            fmt::format("/Volumes/Data/photos is on a {} file system, which has no block device. Choose a "
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
             { EACCES, "Permission denied: /x/y" }, { ENOTDIR, "A part of the path is not a folder: /x/y" },
             { ENOENT, "No such file or folder: /x/y" } }) {
        mounts.unreachable = { { "/x/y", error } };
        EXPECT_EQ(volume("/x/y").error(), std::string(reason) + "\n" + resolverMessage) << error;
    }
    // URLs keep the resolver's own message: a URL is no path a Linux tool would complain about.
    EXPECT_EQ(volume("file:///x/y").error(), resolverMessage);
    EXPECT_EQ(volume("http://example.com/").error(), "Please select a valid volume.");
    LanguageGuard chinese { "zh_CN" };
    EXPECT_EQ(volume("/x/y").error(), "没有那个文件或文件夹：/x/y\n无法解析所选路径对应的 BSD 名称。");
}

}
}
