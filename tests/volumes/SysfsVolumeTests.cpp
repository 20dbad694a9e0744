#include "platform/LinuxMountLookup.h"
#include "platform/SysfsRegistry.h"
#include "support/BlockDeviceUnderPath.h"
#include "support/FakeSysfsTree.h"
#include "support/LanguageGuard.h"
#include "support/LoopMount.h"
#include "support/ShellCommand.h"
#include "support/TemporaryDirectory.h"
#include "volumes/DiskVolumeResolver.h"

#include <filesystem>
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/statvfs.h>
#include <unistd.h>

namespace tallowin {
namespace DiskVolumeResolver {
// Failures show the four fields, not the object's bytes.
void PrintTo(const ConnectionMetadata& metadata, std::ostream* out)
{
    auto text = [](const std::optional<std::string>& value) { return value.value_or("none"); };
    *out << '{' << metadata.type << ", " << text(metadata.speed) << ", " << text(metadata.vendor) << ", "
         << text(metadata.product) << '}';
}
}
namespace {

using testing::FakeSysfsTree;
using testing::LanguageGuard;
using Metadata = DiskVolumeResolver::ConnectionMetadata;

// Excerpts of the pci.ids and usb.ids formats, with the entries these trees use and the kinds of
// line (comments, subsystems, interfaces, classes) a reader must skip.
const char* pciIds
    = "# comment\n144d  Samsung Electronics Co Ltd\n\ta808  NVMe SSD Controller SM981/PM981/PM983\n"
      "\t\t144d a801  SSD 970 EVO Plus\n1af4  Red Hat, Inc.\n\t1042  Virtio 1.0 block device\n"
      "8086  Intel Corporation\n\t15ef  JHL7540 Thunderbolt 3 Bridge [Titan Ridge 2C 2018]\n"
      "C 01  Mass storage controller\n\t08  Non-Volatile memory controller\n";
const char* usbIds = "0781  SanDisk Corp.\n\t5567  Cruzer Blade\n\t\t00  interface that is not a device\n"
                     "C 08  Mass Storage\n";

class SysfsClassification : public ::testing::Test {
protected:
    void SetUp() override
    {
        FakeSysfsTree::write(tree.root() / "ids/pci.ids", pciIds);
        FakeSysfsTree::write(tree.root() / "ids/usb.ids", usbIds);
        tree.device("pci0000:00", "");
    }

    Metadata classify(const std::string& name, bool withDatabases = true)
    {
        auto ids = [&](const char* file) { return (tree.root() / "ids" / file).string(); };
        SysfsRegistry registry(tree.rootString(),
            withDatabases ? std::make_shared<const HardwareIdDatabase>(
                HardwareIdDatabase::Paths { ids("pci.ids"), ids("usb.ids") })
                          : HardwareIdDatabase::empty());
        return DiskVolumeResolver::connectionMetadata(name, registry);
    }

    // A SCSI disk with one partition at `device` (…/target/0:0:0:0).
    void scsiDisk(const std::string& device, const std::string& name, unsigned minor,
        const std::string& vendor, const std::string& model)
    {
        tree.device(std::filesystem::path(device).parent_path(), "bus/scsi", "DEVTYPE=scsi_target\n");
        tree.device(device, "bus/scsi", "DEVTYPE=scsi_device\nDRIVER=sd\n",
            { { "vendor", vendor + "\n" }, { "model", model + "\n" } });
        tree.block(device + "/block/" + name, 8, minor);
        tree.block(
            device + "/block/" + name + "/" + name + "1", 8, minor + 1, "1 0 2 0 3 0 4 0 0 0 0\n", true);
    }

    // A USB device at `path` with a mass-storage interface and its SCSI disk.
    void usbDisk(const std::string& path, const std::string& speed, FakeSysfsTree::Attributes attributes,
        const std::string& name, unsigned minor, const std::string& vendor, const std::string& model)
    {
        tree.device(path, "bus/usb", "DEVTYPE=usb_device\nDRIVER=usb\n", attributes);
        FakeSysfsTree::write(tree.devicePath(path) / "speed", speed + "\n");
        auto interface = path + "/" + std::filesystem::path(path).filename().string() + ":1.0";
        tree.device(
            interface, "bus/usb", "DEVTYPE=usb_interface\nDRIVER=uas\n", { { "bInterfaceClass", "08\n" } });
        tree.device(interface + "/host0", "bus/scsi", "DEVTYPE=scsi_host\n");
        scsiDisk(interface + "/host0/target0:0:0/0:0:0:0", name, minor, vendor, model);
    }

    // A PCI function of `pciClass` with its link speed, if it has one; answers its path.
    std::string pci(const std::string& path, const std::string& driver, const std::string& pciClass,
        const std::string& linkSpeed = "", FakeSysfsTree::Attributes attributes = {})
    {
        auto directory = tree.device(
            path, "bus/pci", driver.empty() ? "" : fmt::format("DRIVER={}\n", driver), attributes);
        FakeSysfsTree::write(directory / "class", pciClass + "\n");
        if (!linkSpeed.empty())
            FakeSysfsTree::write(directory / "current_link_speed", linkSpeed + "\n");
        return path;
    }

    // An NVMe controller at the PCI function `endpoint`, its namespace and the first partition.
    void nvme(const std::string& endpoint, const std::string& controller, const std::string& namespaceName,
        unsigned minor)
    {
        pci(endpoint, "nvme", "0x010802", "8.0 GT/s PCIe",
            { { "vendor", "0x144d\n" }, { "device", "0xa808\n" } });
        auto directory = endpoint + "/nvme/" + controller;
        tree.device(directory, "class/nvme", "NVME_TRTYPE=pcie\n",
            { { "model", "Samsung SSD 970 EVO Plus 1TB            \n" }, { "serial", "S4EWNX0R123456\n" } });
        tree.block(directory + "/" + namespaceName, 259, minor);
        tree.block(directory + "/" + namespaceName + "/" + namespaceName + "p1", 259, minor + 1,
            "1 0 1 0 1 0 1\n", true);
    }
    const Metadata samsung { "PCIe", "8Gbps", "Samsung Electronics Co Ltd", "Samsung SSD 970 EVO Plus 1TB" };

    FakeSysfsTree tree;
    LanguageGuard english { "en_US" };
};

TEST_F(SysfsClassification, EachConnectionReadsItsOwnLinkAndTheDrivesOrTheDatabasesIdentity)
{
    // The xHCI controller's own PCIe link speed is never the drive's.
    pci("pci0000:00/0000:00:14.0", "xhci_hcd", "0x0c0330", "8.0 GT/s PCIe", { { "vendor", "0x8086\n" } });
    std::string usb = "pci0000:00/0000:00:14.0/usb2";
    tree.device(usb, "bus/usb", "DEVTYPE=usb_device\n", { { "speed", "10000\n" } });
    // A SATA drive behind a USB 3 bridge: the bridge's link, the drive's own identity.
    usbDisk(usb + "/2-1", "5000", { { "manufacturer", "ASMedia\n" }, { "product", "ASM1153E\n" } }, "sda", 0,
        "Samsung ", "SSD 860 EVO 500G");
    // Blank INQUIRY texts: numeric ids, named from usb.ids or shown as hex.
    usbDisk(usb + "/2-2", "480", { { "idVendor", "0781\n" }, { "idProduct", "5567\n" } }, "sdb", 16,
        "        ", "                ");
    EXPECT_EQ(classify("sdb", false), (Metadata { "USB 2.0", "480Mbps", "0x0781", "0x5567" }));

    std::string ata = pci("pci0000:00/0000:00:17.0", "ahci", "0x010601") + "/ata1";
    tree.device(ata, "", "DEVTYPE=ata_port\n");
    tree.device(ata + "/link1", "", "DEVTYPE=ata_link\n");
    FakeSysfsTree::write(tree.devicePath(ata + "/link1/ata_link/link1/sata_spd"), "3.0 Gbps\n");
    tree.device(ata + "/host0", "bus/scsi", "DEVTYPE=scsi_host\n");
    scsiDisk(ata + "/host0/target0:0:0/0:0:0:0", "sdc", 32, "ATA     ", "ST2000DM008-2FR1");

    nvme(pci("pci0000:00/0000:00:1d.0", "", "0x060400", "16.0 GT/s PCIe") + "/0000:03:00.0", "nvme0",
        "nvme0n1", 0);
    // A device-mapper volume on the partition (LUKS, LVM) is attached like the drive below.
    tree.block("virtual/block/dm-0", 253, 0);
    tree.link(tree.devicePath("virtual/block/dm-0/slaves/nvme0n1p1"),
        tree.devicePath("pci0000:00/0000:00:1d.0/0000:03:00.0/nvme/nvme0/nvme0n1/nvme0n1p1"));

    // Two bridges of a Titan Ridge controller, which pci.ids names a Thunderbolt bridge, and
    // two routers; these alone do not make every bridged drive (nvme0 above) a Thunderbolt one.
    std::string bridge = pci("pci0000:00/0000:00:07.0", "", "0x060400");
    for (const char* next : { "/0000:03:00.0", "/0000:04:01.0" })
        bridge
            = pci(bridge + next, "", "0x060400", "", { { "vendor", "0x8086\n" }, { "device", "0x15ef\n" } });
    nvme(bridge + "/0000:05:00.0", "nvme1", "nvme1n1", 8);
    std::string domain = "pci0000:00/0000:00:0d.2/domain0";
    tree.device(domain, "bus/thunderbolt", "DEVTYPE=thunderbolt_domain\n");
    for (auto [route, generation] : { std::pair { "/0-0", "4\n" }, { "/0-0/0-1", "3\n" } }) {
        tree.device(domain + route, "bus/thunderbolt", "DEVTYPE=thunderbolt_device\n",
            { { "generation", generation }, { "rx_speed", "20.0 Gb/s\n" }, { "vendor_name", "OWC\n" } });
        auto name = std::filesystem::path(route).filename().string();
        tree.link(tree.root() / "bus/thunderbolt/devices" / name, tree.devicePath(domain + route));
    }

    std::string virtio = pci("pci0000:00/0000:00:02.0", "virtio-pci", "0x018000", "",
                             { { "vendor", "0x1af4\n" }, { "device", "0x1042\n" } })
        + "/virtio1";
    tree.device(virtio, "bus/virtio", "DRIVER=virtio_blk\n");
    tree.block(virtio + "/block/vda", 254, 0);
    // A disk on virtio-scsi is named by its own INQUIRY data, not by the host adapter.
    tree.device(virtio + "/host2", "bus/scsi", "DEVTYPE=scsi_host\n");
    scsiDisk(virtio + "/host2/target2:0:0/2:0:0:0", "sde", 64, "QEMU    ", "QEMU HARDDISK   ");

    tree.device("virtual", "");
    tree.block("virtual/block/loop3", 7, 3);
    tree.block("virtual/block/zram0", 252, 0);

    const std::optional<std::string> none;
    for (const auto& [name, expected] : std::initializer_list<std::pair<const char*, Metadata>> {
             { "sda1", { "USB 3.0", "5Gbps", "Samsung", "SSD 860 EVO 500G" } },
             { "sdb", { "USB 2.0", "480Mbps", "SanDisk Corp.", "Cruzer Blade" } },
             { "sdc1", { "SATA", "3Gbps", "ATA", "ST2000DM008-2FR1" } }, { "nvme0n1p1", samsung },
             { "dm-0", samsung },
             { "nvme1n1p1", { "Thunderbolt 3", "40Gbps", samsung.vendor, samsung.product } },
             { "vda", { "Virtio", none, "Red Hat, Inc.", "Virtio 1.0 block device" } },
             { "sde", { "Virtio", none, "QEMU", "QEMU HARDDISK" } },
             { "loop3", { "Loop", none, none, none } }, { "zram0", { "RAM", none, none, none } } })
        EXPECT_EQ(classify(name), expected) << name;
}

// Drives whose own link Linux does not know must show none, however fast the PCIe link of the
// controller they hang from: that link is the controller's, not the drive's.
TEST_F(SysfsClassification, DrivesWithoutAKnownLinkOfTheirOwnShowNoSpeedBelowAPcieController)
{
    std::string port = pci("pci0000:00/0000:00:1c.0", "pcieport", "0x060400", "8.0 GT/s PCIe") + "/";
    auto controller = [&](const std::string& function, const char* driver, const char* pciClass) {
        return pci(port + function, driver, pciClass, "2.5 GT/s PCIe", { { "vendor", "0x10ec\n" } });
    };

    // An SD card in a PCIe card reader (Realtek rtsx), read through a partition.
    auto reader = controller("0000:02:00.0", "rtsx_pci", "0xff0000");
    auto host = reader + "/rtsx_pci_sdmmc.0/mmc_host/mmc0";
    tree.device(reader + "/rtsx_pci_sdmmc.0", "bus/platform", "DRIVER=rtsx_pci_sdmmc\n");
    tree.device(host, "class/mmc_host", "");
    tree.device(host + "/mmc0:aaaa", "bus/mmc", "DRIVER=mmcblk\nMMC_TYPE=SD\n",
        { { "type", "SD\n" }, { "name", "SN64G\n" }, { "manfid", "0x000003\n" } });
    tree.block(host + "/mmc0:aaaa/block/mmcblk0", 179, 0);
    tree.block(host + "/mmc0:aaaa/block/mmcblk0/mmcblk0p1", 179, 1, "1 0 1 0 1 0 1\n", true);

    // A PATA disk on a PCIe IDE controller: libata knows no speed for its link.
    auto ide = controller("0000:03:00.0", "pata_jmicron", "0x01018f");
    tree.device(ide + "/ata3", "", "DEVTYPE=ata_port\n");
    tree.device(ide + "/ata3/link3", "", "DEVTYPE=ata_link\n");
    FakeSysfsTree::write(tree.devicePath(ide + "/ata3/link3/ata_link/link3/sata_spd"), "<unknown>\n");
    tree.device(ide + "/ata3/host2", "bus/scsi", "DEVTYPE=scsi_host\n");
    scsiDisk(ide + "/ata3/host2/target2:0:0/2:0:0:0", "sdf", 80, "ATA     ", "WDC WD800JB-00J");

    // A plain SCSI disk behind a RAID adapter, which reports no transport of its own.
    auto raid = controller("0000:04:00.0", "megaraid_sas", "0x010400");
    tree.device(raid + "/host3", "bus/scsi", "DEVTYPE=scsi_host\n");
    scsiDisk(raid + "/host3/target3:2:0/3:2:0:0", "sdg", 96, "DELL    ", "PERC H730P Mini");

    // A virtio disk whose virtio function sits on a PCIe link (QEMU's q35 machine).
    auto virtio = pci(port + "0000:05:00.0", "virtio-pci", "0x010000", "2.5 GT/s PCIe",
                      { { "vendor", "0x1af4\n" }, { "device", "0x1042\n" } })
        + "/virtio3";
    tree.device(virtio, "bus/virtio", "DRIVER=virtio_blk\n");
    tree.block(virtio + "/block/vdb", 254, 16);

    const std::optional<std::string> none;
    for (const auto& [name, expected] : std::initializer_list<std::pair<const char*, Metadata>> {
             { "mmcblk0p1", { "SD", none, "0x0003", "SN64G" } },
             { "sdf1", { "ATA", none, "ATA", "WDC WD800JB-00J" } },
             { "sdg", { "SCSI", none, "DELL", "PERC H730P Mini" } },
             { "vdb", { "Virtio", none, "Red Hat, Inc.", "Virtio 1.0 block device" } } })
        EXPECT_EQ(classify(name), expected) << name;
}

// Runs tallowin-cli's volume subcommand; `streams` keeps standard output (the JSON) or, with
// "2>&1 >/dev/null", standard error alone.
testing::ShellOutcome volumeCommand(const std::string& arguments, const char* streams = "2>/dev/null")
{
    return testing::runShell(
        fmt::format("LANGUAGE=en LC_ALL=C {} volume {} {}", TALLOWIN_CLI_PATH, arguments, streams));
}

nlohmann::ordered_json volumeJson(const std::string& arguments)
{
    auto outcome = volumeCommand(arguments + " --json");
    return outcome.exitStatus == 0 ? nlohmann::ordered_json::parse(outcome.output)
                                   : nlohmann::ordered_json {};
}

std::vector<std::string> keysOf(const nlohmann::ordered_json& object)
{
    std::vector<std::string> keys;
    for (const auto& item : object.items())
        keys.push_back(item.key());
    return keys;
}

class OnThisMachine : public ::testing::Test {
protected:
    Expected<DiskVolumeDescriptor, MonitorError> resolve(const std::string& location)
    {
        return DiskVolumeResolver::resolve(location, registry, mounts);
    }
    SysfsRegistry registry;
    LinuxMountLookup mounts;
    LanguageGuard english { "en" };
};

TEST_F(OnThisMachine, TheTemporaryFolderIsOnItsDiskWithStatvfsCapacitiesAndTheCliPrintsFixedKeys)
{
    auto folder = std::filesystem::canonical(std::filesystem::temp_directory_path());
    auto expected = testing::blockDeviceUnder(folder);
    if (!expected)
        GTEST_SKIP() << folder << " is not on a block device";
    auto descriptor = resolve(folder.string());
    ASSERT_TRUE(descriptor);
    EXPECT_EQ(descriptor->bsdName, expected->volume);
    EXPECT_FALSE(descriptor->connectionTypeDescription.empty());
    if (expected->isVirtio()) {
        // A virtual link has no speed.
        EXPECT_EQ(descriptor->connectionTypeDescription, "Virtio");
        EXPECT_EQ(descriptor->connectionSpeedDescription, std::nullopt);
    } else if (descriptor->connectionSpeedDescription) {
        EXPECT_TRUE(descriptor->connectionSpeedDescription->ends_with("bps"))
            << *descriptor->connectionSpeedDescription;
    }
    auto fileSystem = descriptor->fileSystemDescription.value_or("");
    EXPECT_FALSE(fileSystem.empty());
    EXPECT_EQ(fileSystem.find_first_of("abcdefghijklmnopqrstuvwxyz"), std::string::npos) << fileSystem;
    struct statvfs capacities;
    ASSERT_EQ(::statvfs(folder.c_str(), &capacities), 0);
    EXPECT_EQ(descriptor->totalCapacityBytes, std::uint64_t { capacities.f_blocks } * capacities.f_frsize);
    // Free space moves while other programs run; it stays within a few hundred megabytes.
    EXPECT_NEAR(static_cast<double>(descriptor->availableCapacityBytes.value_or(0)),
        static_cast<double>(capacities.f_bavail) * static_cast<double>(capacities.f_frsize),
        256.0 * 1024 * 1024);

    auto json = volumeJson(folder.string());
    EXPECT_EQ(keysOf(json),
        (std::vector<std::string> { "bsdName", "displayName", "connectionTypeDescription",
            "connectionSpeedDescription", "fileSystemDescription", "totalCapacityBytes",
            "availableCapacityBytes", "hardwareVendor", "hardwareModel", "url", "linkWarnings" }));
    EXPECT_EQ(json["url"], folder.string());
    EXPECT_EQ(json["bsdName"], expected->volume);
    EXPECT_EQ(json["totalCapacityBytes"], *descriptor->totalCapacityBytes);
    auto device = volumeJson("--device " + expected->disk);
    EXPECT_EQ(
        keysOf(device), (std::vector<std::string> { "type", "speed", "vendor", "product", "linkWarnings" }));
    EXPECT_EQ(device["type"], descriptor->connectionTypeDescription);
}

TEST_F(OnThisMachine, AFolderIsNamedAfterItsVolumeNotAfterItself)
{
    testing::TemporaryDirectory folder { "tallowin-name-probe" };
    auto descriptor = resolve(folder.path().string());
    ASSERT_TRUE(descriptor);
    // Its random name can be neither a label nor a mount point's.
    EXPECT_NE(descriptor->displayName, folder.path().filename().string());
    EXPECT_FALSE(descriptor->displayName.empty());
    if (auto root = resolve("/"); root && root->bsdName == descriptor->bsdName) {
        EXPECT_EQ(descriptor->displayName, root->displayName);
    }
}

// The texts themselves are pinned on a fake mount table, and through the monitor command.
TEST_F(OnThisMachine, PathsWithoutADiskAreRefusedWithWhatALinuxUserNeedsToKnow)
{
    EXPECT_EQ(volumeCommand("/sys/block --json", "2>&1 >/dev/null").output,
        "/sys/block is on a sysfs file system, which has no block device. Choose a folder on a disk.\n");
    // Every refusal is a status (1 or 2, never a signal) with nothing on standard output.
    for (const char* arguments : { "/proc/self --json", "/sys/block --json", "/no/such/place --json",
             "http://example.com/ --json", "--device ../vda", "--device nosuchdisk" }) {
        auto outcome = volumeCommand(arguments);
        EXPECT_TRUE(outcome.exitStatus == 1 || outcome.exitStatus == 2)
            << arguments << ": " << outcome.exitStatus;
        EXPECT_EQ(outcome.output, "") << arguments;
    }
}

TEST_F(OnThisMachine, ALoopMountedImageResolvesToItsLoopDeviceAndLabel)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root for losetup and mount";
    // At a path with a space, which mountinfo escapes.
    testing::LoopMount loop("16M", "-L TallowinTest", "tallowin-loop", "mnt point");
    if (!loop.isMounted())
        GTEST_SKIP() << "loop devices or ext4 mounts are not available here";
    auto folder = loop.path() + "/photos/2024";
    std::filesystem::create_directories(folder);
    auto descriptor = resolve(folder);
    ASSERT_TRUE(descriptor);
    EXPECT_EQ(descriptor->url, std::filesystem::canonical(folder).string());
    EXPECT_EQ(descriptor->bsdName, std::filesystem::path(loop.device()).filename());
    EXPECT_EQ(descriptor->displayName, "TallowinTest");
    EXPECT_EQ(descriptor->fileSystemDescription, "EXT4");
    EXPECT_EQ(descriptor->connectionTypeDescription, "Loop");
    EXPECT_TRUE(descriptor->totalCapacityBytes && descriptor->availableCapacityBytes);
}

}
}
