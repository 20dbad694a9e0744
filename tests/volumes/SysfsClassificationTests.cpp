#include "support/LanguageGuard.h"
#include "platform/SysfsRegistry.h"
#include "support/FakeSysfsTree.h"
#include "volumes/DiskVolumeResolver.h"

#include <gtest/gtest.h>

namespace tallowin {
namespace {

using testing::FakeSysfsTree;
using testing::LanguageGuard;
using Metadata = DiskVolumeResolver::ConnectionMetadata;

// Values of a dictionary without dereferencing what may be missing.
std::optional<std::string> textOf(const RegistryDictionary& dictionary, std::string_view key)
{
    const auto* value = dictionary.find(key);
    if (value && value->text())
        return *value->text();
    return std::nullopt;
}

std::optional<std::uint64_t> numberOf(const RegistryDictionary& dictionary, std::string_view key)
{
    const auto* value = dictionary.find(key);
    if (value && value->number())
        return value->number()->asUnsigned();
    return std::nullopt;
}

// Excerpts of the pci.ids and usb.ids formats, with the entries these trees use.
const char* pciIds = "# comment\n"
                     "144d  Samsung Electronics Co Ltd\n"
                     "\ta808  NVMe SSD Controller SM981/PM981/PM983\n"
                     "\t\t144d a801  SSD 970 EVO Plus\n"
                     "1af4  Red Hat, Inc.\n"
                     "\t1042  Virtio 1.0 block device\n"
                     "8086  Intel Corporation\n"
                     "\t15ef  JHL7540 Thunderbolt 3 Bridge [Titan Ridge 2C 2018]\n"
                     "\ta36d  Cannon Lake PCH USB 3.1 xHCI Host Controller\n"
                     "C 01  Mass storage controller\n"
                     "\t08  Non-Volatile memory controller\n";
const char* usbIds = "0781  SanDisk Corp.\n"
                     "\t5567  Cruzer Blade\n"
                     "\t\t00  interface that is not a device\n"
                     "C 08  Mass Storage\n";

class SysfsClassification : public ::testing::Test {
protected:
    void SetUp() override
    {
        FakeSysfsTree::write(tree.root() / "ids/pci.ids", pciIds);
        FakeSysfsTree::write(tree.root() / "ids/usb.ids", usbIds);
        tree.device("pci0000:00", "");
    }

    std::shared_ptr<const HardwareIdDatabase> databases()
    {
        return std::make_shared<const HardwareIdDatabase>(HardwareIdDatabase::Paths {
            (tree.root() / "ids/pci.ids").string(), (tree.root() / "ids/usb.ids").string() });
    }

    Metadata classify(const std::string& name, bool withDatabases = true)
    {
        SysfsRegistry registry(tree.rootString(), withDatabases ? databases() : HardwareIdDatabase::empty());
        return DiskVolumeResolver::connectionMetadata(name, registry);
    }

    // An xHCI controller on its own PCIe link: its link speed is the controller's, never
    // the drive's.
    void addUsbController()
    {
        tree.device("pci0000:00/0000:00:14.0", "bus/pci", "DRIVER=xhci_hcd\n",
            { { "vendor", "0x8086\n" }, { "device", "0xa36d\n" }, { "class", "0x0c0330\n" },
                { "current_link_speed", "8.0 GT/s PCIe\n" } });
    }

    void addUsbDevice(const std::string& path, const std::string& speed, FakeSysfsTree::Attributes extra = {})
    {
        tree.device(path, "bus/usb", "DEVTYPE=usb_device\nDRIVER=usb\n",
            { { "speed", speed + "\n" }, { "version", " 3.20\n" } });
        for (const auto& [name, value] : extra)
            FakeSysfsTree::write(tree.devicePath(path) / name, value);
    }

    // A SCSI disk under a USB interface, as usb-storage and uas lay it out.
    void addUsbScsiDisk(const std::string& interfacePath, const std::string& name, unsigned minor,
        const std::string& vendor, const std::string& model)
    {
        tree.device(interfacePath, "bus/usb", "DEVTYPE=usb_interface\nDRIVER=uas\n",
            { { "bInterfaceClass", "08\n" } });
        auto host = interfacePath + "/host0";
        tree.device(host, "bus/scsi", "DEVTYPE=scsi_host\n");
        tree.device(host + "/target0:0:0", "bus/scsi", "DEVTYPE=scsi_target\n");
        auto device = host + "/target0:0:0/0:0:0:0";
        tree.device(device, "bus/scsi", "DEVTYPE=scsi_device\nDRIVER=sd\n",
            { { "vendor", vendor + "\n" }, { "model", model + "\n" }, { "rev", "0   \n" },
                { "inquiry", std::string("\0\0\5", 3) } });
        tree.folder(device + "/block");
        tree.block(device + "/block/" + name, 8, minor);
        tree.block(
            device + "/block/" + name + "/" + name + "1", 8, minor + 1, "1 0 2 0 3 0 4 0 0 0 0\n", true);
    }

    void addNvme(const std::string& endpoint, const std::string& controller, const std::string& linkSpeed)
    {
        tree.device(endpoint, "bus/pci", "DRIVER=nvme\n",
            { { "vendor", "0x144d\n" }, { "device", "0xa808\n" }, { "class", "0x010802\n" },
                { "current_link_speed", linkSpeed + "\n" }, { "current_link_width", "4\n" } });
        tree.folder(endpoint + "/nvme");
        tree.device(endpoint + "/nvme/" + controller, "class/nvme", "NVME_TRTYPE=pcie\n",
            { { "model", "Samsung SSD 970 EVO Plus 1TB            \n" }, { "transport", "pcie\n" },
                { "serial", "S4EWNX0R123456\n" } });
    }

    FakeSysfsTree tree;
    LanguageGuard english { "en_US" };
};

TEST_F(SysfsClassification, UsbThreeDriveBehindASataBridgeReadsTheUsbLinkAndTheDrivesIdentity)
{
    addUsbController();
    addUsbDevice(
        "pci0000:00/0000:00:14.0/usb2", "10000", { { "manufacturer", "Linux xHCI Host Controller\n" } });
    addUsbDevice("pci0000:00/0000:00:14.0/usb2/2-1", "5000",
        { { "idVendor", "174c\n" }, { "idProduct", "55aa\n" }, { "manufacturer", "ASMedia\n" },
            { "product", "ASM1153E\n" } });
    addUsbScsiDisk("pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0", "sda", 0, "Samsung ", "SSD 860 EVO 500G");

    auto expected = Metadata { "USB 3.0", "5Gbps", "Samsung", "SSD 860 EVO 500G" };
    EXPECT_EQ(classify("sda1"), expected);
    EXPECT_EQ(classify("sda"), expected);
}

TEST_F(SysfsClassification, UsbTwoStickReadsHighSpeed)
{
    addUsbController();
    addUsbDevice("pci0000:00/0000:00:14.0/usb1", "480");
    addUsbDevice("pci0000:00/0000:00:14.0/usb1/1-2", "480",
        { { "idVendor", "0781\n" }, { "idProduct", "5567\n" }, { "manufacturer", " SanDisk\n" },
            { "product", "Cruzer Blade\n" } });
    addUsbScsiDisk("pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0", "sdb", 16, "SanDisk ", "Cruzer Blade    ");
    EXPECT_EQ(classify("sdb1"), (Metadata { "USB 2.0", "480Mbps", "SanDisk", "Cruzer Blade" }));

    // The USB device object itself reads as the rule expects too.
    SysfsRegistry registry(tree.rootString(), databases());
    RegistryObjectRef device = registry.matchBSDName("sdb")->front();
    for (int step = 0; step < 5; ++step) {
        auto parent = registry.parent(device);
        ASSERT_TRUE(parent);
        device = *parent;
    }
    ASSERT_EQ(registry.className(device), "usb");
    auto properties = *registry.properties(device);
    ASSERT_TRUE(
        properties.find("Device Speed") && properties.find("idVendor") && properties.find("manufacturer"));
    EXPECT_EQ(numberOf(properties, "Device Speed"), 2u);
    EXPECT_EQ(numberOf(properties, "idVendor"), 0x0781u);
    EXPECT_EQ(textOf(properties, "manufacturer"), " SanDisk");
}

TEST_F(SysfsClassification, NumericIdsAreNamedFromTheDatabasesOrShownAsHex)
{
    addUsbController();
    addUsbDevice("pci0000:00/0000:00:14.0/usb1", "480");
    addUsbDevice(
        "pci0000:00/0000:00:14.0/usb1/1-3", "12", { { "idVendor", "0781\n" }, { "idProduct", "5567\n" } });
    addUsbScsiDisk("pci0000:00/0000:00:14.0/usb1/1-3/1-3:1.0", "sdc", 32, "        ", "                ");
    EXPECT_EQ(classify("sdc"), (Metadata { "USB 1.1", "12Mbps", "SanDisk Corp.", "Cruzer Blade" }));
    EXPECT_EQ(classify("sdc", false), (Metadata { "USB 1.1", "12Mbps", "0x0781", "0x5567" }));
}

TEST_F(SysfsClassification, NvmePartitionReadsItsPcieLinkAndControllerModel)
{
    tree.device("pci0000:00/0000:00:1d.0", "bus/pci", "",
        { { "class", "0x060400\n" }, { "current_link_speed", "16.0 GT/s PCIe\n" } });
    addNvme("pci0000:00/0000:00:1d.0/0000:03:00.0", "nvme0", "8.0 GT/s PCIe");
    tree.block("pci0000:00/0000:00:1d.0/0000:03:00.0/nvme/nvme0/nvme0n1", 259, 0);
    tree.block("pci0000:00/0000:00:1d.0/0000:03:00.0/nvme/nvme0/nvme0n1/nvme0n1p2", 259, 2,
        "1 0 1 0 1 0 1 0\n", true);

    EXPECT_EQ(classify("nvme0n1p2"),
        (Metadata { "PCIe", "8Gbps", "Samsung Electronics Co Ltd", "Samsung SSD 970 EVO Plus 1TB" }));
    EXPECT_EQ(classify("nvme0n1p2", false),
        (Metadata { "PCIe", "8Gbps", "0x144D", "Samsung SSD 970 EVO Plus 1TB" }));

    // A device-mapper volume on the partition (LUKS, LVM) is attached like the drive below.
    tree.block("virtual/block/dm-0", 253, 0);
    tree.link(tree.devicePath("virtual/block/dm-0/slaves/nvme0n1p2"),
        tree.devicePath("pci0000:00/0000:00:1d.0/0000:03:00.0/nvme/nvme0/nvme0n1/nvme0n1p2"));
    EXPECT_EQ(classify("dm-0").speed, "8Gbps");
    EXPECT_EQ(classify("dm-0").type, "PCIe");
}

TEST_F(SysfsClassification, MultipathNvmeNamespaceUnderTheSubsystemFindsItsController)
{
    addNvme("pci0000:00/0000:01:00.0", "nvme0", "16.0 GT/s PCIe");
    // The hidden path device sits under the controller, the visible head under the subsystem.
    tree.block("pci0000:00/0000:01:00.0/nvme/nvme0/nvme0c0n1", 259, 5);
    tree.device("virtual/nvme-subsystem/nvme-subsys0", "class/nvme-subsystem", "",
        { { "model", "Samsung SSD 970 EVO Plus 1TB\n" },
            { "subsysnqn", "nqn.2014.08.org.nvmexpress:144d144d\n" } });
    tree.block("virtual/nvme-subsystem/nvme-subsys0/nvme0n1", 259, 0);
    tree.block("virtual/nvme-subsystem/nvme-subsys0/nvme0n1/nvme0n1p1", 259, 1, "1 0 1 0 1 0 1 0\n", true);
    tree.link(tree.devicePath("virtual/nvme-subsystem/nvme-subsys0/nvme0n1/multipath/nvme0c0n1"),
        tree.devicePath("pci0000:00/0000:01:00.0/nvme/nvme0/nvme0c0n1"));

    EXPECT_EQ(classify("nvme0n1p1"),
        (Metadata { "PCIe", "16Gbps", "Samsung Electronics Co Ltd", "Samsung SSD 970 EVO Plus 1TB" }));
}

TEST_F(SysfsClassification, SataDiskReadsItsNegotiatedLinkSpeed)
{
    tree.device("pci0000:00/0000:00:17.0", "bus/pci", "DRIVER=ahci\n",
        { { "vendor", "0x8086\n" }, { "device", "0xa352\n" }, { "class", "0x010601\n" } });
    tree.device("pci0000:00/0000:00:17.0/ata1", "", "DEVTYPE=ata_port\n");
    tree.device("pci0000:00/0000:00:17.0/ata1/link1", "", "DEVTYPE=ata_link\n");
    FakeSysfsTree::write(
        tree.devicePath("pci0000:00/0000:00:17.0/ata1/link1/ata_link/link1/sata_spd"), "3.0 Gbps\n");
    tree.device("pci0000:00/0000:00:17.0/ata1/host0", "bus/scsi", "DEVTYPE=scsi_host\n");
    tree.device("pci0000:00/0000:00:17.0/ata1/host0/target0:0:0", "bus/scsi", "DEVTYPE=scsi_target\n");
    tree.device("pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0", "bus/scsi", "DEVTYPE=scsi_device\n",
        { { "vendor", "ATA     \n" }, { "model", "ST2000DM008-2FR1\n" } });
    tree.folder("pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0/block");
    tree.block("pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0/block/sda", 8, 0);
    tree.block("pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0/block/sda/sda3", 8, 3,
        "1 0 1 0 1 0 1 0\n", true);
    // The vendor is what the kernel reports for every ATA disk, as lsblk shows it.
    EXPECT_EQ(classify("sda3"), (Metadata { "SATA", "3Gbps", "ATA", "ST2000DM008-2FR1" }));
}

TEST_F(SysfsClassification, SasDiskReadsItsPortsNegotiatedRate)
{
    tree.device("pci0000:00/0000:02:00.0", "bus/pci", "DRIVER=mpt3sas\n", { { "class", "0x010700\n" } });
    std::string port = "pci0000:00/0000:02:00.0/host0/port-0:0";
    tree.device("pci0000:00/0000:02:00.0/host0", "bus/scsi", "DEVTYPE=scsi_host\n");
    tree.device(port, "");
    tree.device(port + "/phy-0:0", "");
    FakeSysfsTree::write(
        tree.devicePath(port + "/phy-0:0/sas_phy/phy-0:0/negotiated_linkrate"), "12.0 Gbit\n");
    tree.device(port + "/end_device-0:0", "");
    tree.device(port + "/end_device-0:0/target0:0:0", "bus/scsi", "DEVTYPE=scsi_target\n");
    tree.device(port + "/end_device-0:0/target0:0:0/0:0:0:0", "bus/scsi", "DEVTYPE=scsi_device\n",
        { { "vendor", "SEAGATE \n" }, { "model", "ST4000NM0025    \n" } });
    tree.folder(port + "/end_device-0:0/target0:0:0/0:0:0:0/block");
    tree.block(port + "/end_device-0:0/target0:0:0/0:0:0:0/block/sdd", 8, 48);
    EXPECT_EQ(classify("sdd"), (Metadata { "SAS", "12Gbps", "SEAGATE", "ST4000NM0025" }));
}

class ThunderboltClassification : public SysfsClassification {
protected:
    void addThunderboltDrive(const std::string& bridgeDevice, const std::string& removable)
    {
        tree.device("pci0000:00/0000:00:07.0", "bus/pci", "",
            { { "class", "0x060400\n" }, { "vendor", "0x8086\n" }, { "device", "0x9a23\n" } });
        tree.device("pci0000:00/0000:00:07.0/0000:03:00.0", "bus/pci", "",
            { { "class", "0x060400\n" }, { "vendor", "0x8086\n" }, { "device", bridgeDevice + "\n" },
                { "removable", removable + "\n" } });
        tree.device("pci0000:00/0000:00:07.0/0000:03:00.0/0000:04:01.0", "bus/pci", "",
            { { "class", "0x060400\n" }, { "vendor", "0x8086\n" }, { "device", bridgeDevice + "\n" },
                { "removable", removable + "\n" } });
        std::string endpoint = "pci0000:00/0000:00:07.0/0000:03:00.0/0000:04:01.0/0000:05:00.0";
        addNvme(endpoint, "nvme1", "8.0 GT/s PCIe");
        tree.block(endpoint + "/nvme/nvme1/nvme1n1", 259, 8);
        tree.block(endpoint + "/nvme/nvme1/nvme1n1/nvme1n1p1", 259, 9, "1 0 1 0 1 0 1 0\n", true);

        // The Thunderbolt routers: the host's (route 0) and the enclosure's.
        tree.device("pci0000:00/0000:00:0d.2", "bus/pci", "", { { "class", "0x0c0340\n" } });
        tree.device("pci0000:00/0000:00:0d.2/domain0", "bus/thunderbolt", "DEVTYPE=thunderbolt_domain\n");
        tree.device("pci0000:00/0000:00:0d.2/domain0/0-0", "bus/thunderbolt", "DEVTYPE=thunderbolt_device\n",
            { { "generation", "4\n" }, { "vendor", "0x8087\n" } });
        tree.device("pci0000:00/0000:00:0d.2/domain0/0-0/0-1", "bus/thunderbolt",
            "DEVTYPE=thunderbolt_device\n",
            { { "generation", "3\n" }, { "rx_speed", "20.0 Gb/s\n" }, { "rx_lanes", "2\n" },
                { "vendor_name", "OWC\n" }, { "device_name", "Express 1M2\n" }, { "vendor", "0x1234\n" } });
        for (const char* router : { "0-0", "0-0/0-1" }) {
            auto name = std::filesystem::path(router).filename();
            tree.link(tree.root() / "bus/thunderbolt/devices" / name,
                tree.devicePath(std::string("pci0000:00/0000:00:0d.2/domain0/") + router));
        }
    }
};

TEST_F(ThunderboltClassification, NvmeTunnelledThroughAThunderboltBridgeReadsItsGeneration)
{
    addThunderboltDrive("0x15ef", "unknown");
    auto expected = Metadata { "Thunderbolt 3", "40Gbps", "Samsung Electronics Co Ltd",
        "Samsung SSD 970 EVO Plus 1TB" };
    EXPECT_EQ(classify("nvme1n1p1"), expected);
    LanguageGuard chinese { "zh_CN.UTF-8" };
    EXPECT_EQ(classify("nvme1n1p1").type, "雷雳 3");
}

TEST_F(ThunderboltClassification, AnExternalFacingBridgeIsRecognisedWithoutTheDatabase)
{
    addThunderboltDrive("0x1234", "removable");
    EXPECT_EQ(classify("nvme1n1p1", false),
        (Metadata { "Thunderbolt 3", "40Gbps", "0x144D", "Samsung SSD 970 EVO Plus 1TB" }));
    // Without either sign it is an ordinary PCIe drive.
    FakeSysfsTree::write(tree.devicePath("pci0000:00/0000:00:07.0/0000:03:00.0/removable"), "fixed\n");
    FakeSysfsTree::write(
        tree.devicePath("pci0000:00/0000:00:07.0/0000:03:00.0/0000:04:01.0/removable"), "fixed\n");
    EXPECT_EQ(classify("nvme1n1p1", false).type, "PCIe");
}

TEST_F(SysfsClassification, VirtioAndLoopDevicesFallBackSensibly)
{
    tree.device("pci0000:00/0000:00:02.0", "bus/pci", "DRIVER=virtio-pci\n",
        { { "vendor", "0x1af4\n" }, { "device", "0x1042\n" }, { "class", "0x018000\n" } });
    tree.device("pci0000:00/0000:00:02.0/virtio1", "bus/virtio", "DRIVER=virtio_blk\n",
        { { "vendor", "0x1af4\n" }, { "device", "0x0002\n" } });
    tree.folder("pci0000:00/0000:00:02.0/virtio1/block");
    tree.block("pci0000:00/0000:00:02.0/virtio1/block/vda", 254, 0);
    EXPECT_EQ(
        classify("vda"), (Metadata { "Virtio", std::nullopt, "Red Hat, Inc.", "Virtio 1.0 block device" }));
    EXPECT_EQ(classify("vda", false), (Metadata { "Virtio", std::nullopt, "0x1AF4", std::nullopt }));

    // A disk on virtio-scsi is named by its own INQUIRY data, not by the host adapter.
    tree.device("pci0000:00/0000:00:02.0/virtio1/host2", "bus/scsi", "DEVTYPE=scsi_host\n");
    tree.device("pci0000:00/0000:00:02.0/virtio1/host2/target2:0:0", "bus/scsi", "DEVTYPE=scsi_target\n");
    tree.device("pci0000:00/0000:00:02.0/virtio1/host2/target2:0:0/2:0:0:0", "bus/scsi",
        "DEVTYPE=scsi_device\n", { { "vendor", "QEMU    \n" }, { "model", "QEMU HARDDISK   \n" } });
    tree.block("pci0000:00/0000:00:02.0/virtio1/host2/target2:0:0/2:0:0:0/block/sde", 8, 64);
    EXPECT_EQ(classify("sde"), (Metadata { "Virtio", std::nullopt, "QEMU", "QEMU HARDDISK" }));

    tree.device("virtual", "");
    tree.block("virtual/block/loop3", 7, 3);
    EXPECT_EQ(classify("loop3"), (Metadata { "Loop", std::nullopt, std::nullopt, std::nullopt }));
    tree.block("virtual/block/zram0", 252, 0);
    EXPECT_EQ(classify("zram0").type, "RAM");
    tree.block("virtual/block/md0", 9, 0);
    EXPECT_EQ(classify("md0").type, "Unknown");
    EXPECT_EQ(classify("nosuchdisk").type, "Unknown");
}

TEST_F(SysfsClassification, SdCardReaderReadsTheCardType)
{
    tree.device("pci0000:00/0000:00:1a.0", "bus/pci", "DRIVER=sdhci-pci\n",
        { { "vendor", "0x8086\n" }, { "class", "0x080501\n" } });
    tree.device("pci0000:00/0000:00:1a.0/mmc_host", "");
    tree.device("pci0000:00/0000:00:1a.0/mmc_host/mmc0", "class/mmc_host");
    tree.device("pci0000:00/0000:00:1a.0/mmc_host/mmc0/mmc0:aaaa", "bus/mmc", "MMC_TYPE=SD\n",
        { { "type", "SD\n" }, { "name", "SC64G\n" }, { "manfid", "0x000003\n" } });
    tree.folder("pci0000:00/0000:00:1a.0/mmc_host/mmc0/mmc0:aaaa/block");
    tree.block("pci0000:00/0000:00:1a.0/mmc_host/mmc0/mmc0:aaaa/block/mmcblk0", 179, 0);
    EXPECT_EQ(classify("mmcblk0"), (Metadata { "SD", std::nullopt, "0x0003", "SC64G" }));
}

}
}
