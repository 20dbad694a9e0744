#include "platform/SysfsRegistry.h"
#include "support/FakeSysfsTree.h"
#include "support/LanguageGuard.h"
#include "volumes/DiskVolumeResolver.h"

#include <gtest/gtest.h>

namespace tallowin {
namespace {

using testing::FakeSysfsTree;
using testing::LanguageGuard;
using Metadata = DiskVolumeResolver::ConnectionMetadata;

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

    // A SCSI disk with one partition at `device` (…/target/0:0:0:0), as sd lays it out.
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

    void addNvme(const std::string& endpoint, const std::string& controller, const std::string& linkSpeed)
    {
        tree.device(endpoint, "bus/pci", "DRIVER=nvme\n",
            { { "vendor", "0x144d\n" }, { "device", "0xa808\n" }, { "class", "0x010802\n" },
                { "current_link_speed", linkSpeed + "\n" }, { "current_link_width", "4\n" } });
        tree.device(endpoint + "/nvme/" + controller, "class/nvme", "NVME_TRTYPE=pcie\n",
            { { "model", "Samsung SSD 970 EVO Plus 1TB            \n" }, { "transport", "pcie\n" },
                { "serial", "S4EWNX0R123456\n" } });
    }

    FakeSysfsTree tree;
    LanguageGuard english { "en_US" };
};

TEST_F(SysfsClassification, UsbDisksReadTheirUsbLinkAndTheDrivesOrDatabaseIdentity)
{
    // The xHCI controller's own PCIe link speed is never the drive's.
    tree.device("pci0000:00/0000:00:14.0", "bus/pci", "DRIVER=xhci_hcd\n",
        { { "vendor", "0x8086\n" }, { "device", "0xa36d\n" }, { "class", "0x0c0330\n" },
            { "current_link_speed", "8.0 GT/s PCIe\n" } });
    std::string root = "pci0000:00/0000:00:14.0/usb2";
    tree.device(root, "bus/usb", "DEVTYPE=usb_device\n",
        { { "speed", "10000\n" }, { "manufacturer", "Linux xHCI Host Controller\n" } });
    // A SATA drive behind a USB 3 bridge: the bridge's link, the drive's own identity.
    usbDisk(root + "/2-1", "5000",
        { { "idVendor", "174c\n" }, { "idProduct", "55aa\n" }, { "manufacturer", "ASMedia\n" },
            { "product", "ASM1153E\n" } },
        "sda", 0, "Samsung ", "SSD 860 EVO 500G");
    auto bridged = Metadata { "USB 3.0", "5Gbps", "Samsung", "SSD 860 EVO 500G" };
    EXPECT_EQ(classify("sda1"), bridged);
    EXPECT_EQ(classify("sda"), bridged);

    usbDisk(root + "/2-2", "480",
        { { "idVendor", "0781\n" }, { "idProduct", "5567\n" }, { "manufacturer", " SanDisk\n" },
            { "product", "Cruzer Blade\n" } },
        "sdb", 16, "SanDisk ", "Cruzer Blade    ");
    EXPECT_EQ(classify("sdb1"), (Metadata { "USB 2.0", "480Mbps", "SanDisk", "Cruzer Blade" }));

    // Blank INQUIRY texts: numeric ids, named from usb.ids or shown as hex.
    usbDisk(root + "/2-3", "12", { { "idVendor", "0781\n" }, { "idProduct", "5567\n" } }, "sdc", 32,
        "        ", "                ");
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

TEST_F(SysfsClassification, SataAndSasDisksReadTheirNegotiatedLinkRate)
{
    std::string ata = "pci0000:00/0000:00:17.0/ata1";
    tree.device("pci0000:00/0000:00:17.0", "bus/pci", "DRIVER=ahci\n", { { "class", "0x010601\n" } });
    tree.device(ata, "", "DEVTYPE=ata_port\n");
    tree.device(ata + "/link1", "", "DEVTYPE=ata_link\n");
    FakeSysfsTree::write(tree.devicePath(ata + "/link1/ata_link/link1/sata_spd"), "3.0 Gbps\n");
    tree.device(ata + "/host0", "bus/scsi", "DEVTYPE=scsi_host\n");
    scsiDisk(ata + "/host0/target0:0:0/0:0:0:0", "sda", 0, "ATA     ", "ST2000DM008-2FR1");
    // The vendor is what the kernel reports for every ATA disk, as lsblk shows it.
    EXPECT_EQ(classify("sda1"), (Metadata { "SATA", "3Gbps", "ATA", "ST2000DM008-2FR1" }));

    std::string port = "pci0000:00/0000:02:00.0/host0/port-0:0";
    tree.device("pci0000:00/0000:02:00.0", "bus/pci", "DRIVER=mpt3sas\n", { { "class", "0x010700\n" } });
    tree.device("pci0000:00/0000:02:00.0/host0", "bus/scsi", "DEVTYPE=scsi_host\n");
    for (const char* part : { "", "/phy-0:0", "/end_device-0:0" })
        tree.device(port + part, "");
    FakeSysfsTree::write(
        tree.devicePath(port + "/phy-0:0/sas_phy/phy-0:0/negotiated_linkrate"), "12.0 Gbit\n");
    scsiDisk(port + "/end_device-0:0/target0:0:0/0:0:0:0", "sdd", 48, "SEAGATE ", "ST4000NM0025    ");
    EXPECT_EQ(classify("sdd"), (Metadata { "SAS", "12Gbps", "SEAGATE", "ST4000NM0025" }));
}

TEST_F(SysfsClassification, NvmeBehindAThunderboltBridgeReadsTheRoutersGeneration)
{
    tree.device("pci0000:00/0000:00:07.0", "bus/pci", "", { { "class", "0x060400\n" } });
    // Two bridges of a Titan Ridge controller, which pci.ids names a Thunderbolt bridge.
    std::string bridge = "pci0000:00/0000:00:07.0";
    for (const char* next : { "/0000:03:00.0", "/0000:04:01.0" }) {
        bridge += next;
        tree.device(bridge, "bus/pci", "",
            { { "class", "0x060400\n" }, { "vendor", "0x8086\n" }, { "device", "0x15ef\n" },
                { "removable", "unknown\n" } });
    }
    addNvme(bridge + "/0000:05:00.0", "nvme1", "8.0 GT/s PCIe");
    tree.block(bridge + "/0000:05:00.0/nvme/nvme1/nvme1n1", 259, 8);
    tree.block(bridge + "/0000:05:00.0/nvme/nvme1/nvme1n1/nvme1n1p1", 259, 9, "1 0 1 0 1 0 1 0\n", true);
    // The Thunderbolt routers: the host's (route 0) and the enclosure's.
    std::string domain = "pci0000:00/0000:00:0d.2/domain0";
    tree.device(domain, "bus/thunderbolt", "DEVTYPE=thunderbolt_domain\n");
    tree.device(
        domain + "/0-0", "bus/thunderbolt", "DEVTYPE=thunderbolt_device\n", { { "generation", "4\n" } });
    tree.device(domain + "/0-0/0-1", "bus/thunderbolt", "DEVTYPE=thunderbolt_device\n",
        { { "generation", "3\n" }, { "rx_speed", "20.0 Gb/s\n" }, { "rx_lanes", "2\n" },
            { "vendor_name", "OWC\n" }, { "device_name", "Express 1M2\n" } });
    tree.link(tree.root() / "bus/thunderbolt/devices/0-0", tree.devicePath(domain + "/0-0"));
    tree.link(tree.root() / "bus/thunderbolt/devices/0-1", tree.devicePath(domain + "/0-0/0-1"));

    EXPECT_EQ(classify("nvme1n1p1"),
        (Metadata {
            "Thunderbolt 3", "40Gbps", "Samsung Electronics Co Ltd", "Samsung SSD 970 EVO Plus 1TB" }));
    {
        LanguageGuard chinese { "zh_CN.UTF-8" };
        EXPECT_EQ(classify("nvme1n1p1").type, "雷雳 3");
    }
    // Without the database, an external-facing bridge is the sign; without either it is plain PCIe.
    auto markBridges = [&](const char* removable) {
        FakeSysfsTree::write(tree.devicePath("pci0000:00/0000:00:07.0/0000:03:00.0/removable"), removable);
        FakeSysfsTree::write(tree.devicePath(bridge + "/removable"), removable);
    };
    markBridges("removable\n");
    EXPECT_EQ(classify("nvme1n1p1", false),
        (Metadata { "Thunderbolt 3", "40Gbps", "0x144D", "Samsung SSD 970 EVO Plus 1TB" }));
    markBridges("fixed\n");
    EXPECT_EQ(classify("nvme1n1p1", false).type, "PCIe");
}

TEST_F(SysfsClassification, VirtioAndLoopDevicesFallBackSensibly)
{
    tree.device("pci0000:00/0000:00:02.0", "bus/pci", "DRIVER=virtio-pci\n",
        { { "vendor", "0x1af4\n" }, { "device", "0x1042\n" }, { "class", "0x018000\n" } });
    tree.device("pci0000:00/0000:00:02.0/virtio1", "bus/virtio", "DRIVER=virtio_blk\n",
        { { "vendor", "0x1af4\n" }, { "device", "0x0002\n" } });
    tree.block("pci0000:00/0000:00:02.0/virtio1/block/vda", 254, 0);
    EXPECT_EQ(
        classify("vda"), (Metadata { "Virtio", std::nullopt, "Red Hat, Inc.", "Virtio 1.0 block device" }));
    EXPECT_EQ(classify("vda", false), (Metadata { "Virtio", std::nullopt, "0x1AF4", std::nullopt }));

    // A disk on virtio-scsi is named by its own INQUIRY data, not by the host adapter.
    tree.device("pci0000:00/0000:00:02.0/virtio1/host2", "bus/scsi", "DEVTYPE=scsi_host\n");
    scsiDisk("pci0000:00/0000:00:02.0/virtio1/host2/target2:0:0/2:0:0:0", "sde", 64, "QEMU    ",
        "QEMU HARDDISK   ");
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
    tree.block("pci0000:00/0000:00:1a.0/mmc_host/mmc0/mmc0:aaaa/block/mmcblk0", 179, 0);
    EXPECT_EQ(classify("mmcblk0"), (Metadata { "SD", std::nullopt, "0x0003", "SC64G" }));
}

}
}
