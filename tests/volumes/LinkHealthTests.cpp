#include "core/MutexProtected.h"
#include "platform/SysfsRegistry.h"
#include "smart/FakeHelperDaemon.h"
#include "support/FakeSysfsTree.h"
#include "support/LanguageGuard.h"
#include "support/ShellCommand.h"
#include "volumes/LinkHealth.h"

#include <filesystem>
#include <fmt/format.h>
#include <fstream>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sstream>

namespace tallowin {
namespace {

using testing::FakeSysfsTree;
using testing::LanguageGuard;

std::vector<std::string> kindsOf(const std::vector<LinkWarning>& warnings)
{
    std::vector<std::string> kinds;
    for (const auto& warning : warnings)
        kinds.push_back(warning.kind);
    return kinds;
}

// Trees laid out like the kernel's: a USB device with its mass-storage interface and SCSI disk,
// NVMe controllers on PCIe functions below root ports, an AHCI controller with a SATA disk.
class LinkHealthTree : public ::testing::Test {
protected:
    void SetUp() override { tree.device("pci0000:00", ""); }

    std::vector<LinkWarning> warningsOf(
        const std::string& name, const std::optional<SataInterfaceSpeed>& sata = {})
    {
        SysfsRegistry registry(tree.rootString(), HardwareIdDatabase::empty());
        return linkWarnings(registry, name, sata);
    }

    LinkFacts factsOf(const std::string& name)
    {
        SysfsRegistry registry(tree.rootString(), HardwareIdDatabase::empty());
        return linkFacts(registry, name);
    }

    std::string pci(const std::string& path, const std::string& pciClass, FakeSysfsTree::Attributes link)
    {
        auto directory = tree.device(path, "bus/pci", "", link);
        FakeSysfsTree::write(directory / "class", pciClass + "\n");
        return path;
    }

    // A USB device whose descriptor says `version`, negotiated at `speed`, with disk `name`
    // and its first partition.
    void usbDisk(const std::string& path, const std::string& version, const std::string& speed,
        const std::string& name, unsigned minor)
    {
        tree.device(path, "bus/usb", "DEVTYPE=usb_device\nDRIVER=usb\n",
            { { "version", version + "\n" }, { "speed", speed + "\n" }, { "idVendor", "174c\n" } });
        auto interface = path + "/" + std::filesystem::path(path).filename().string() + ":1.0";
        tree.device(
            interface, "bus/usb", "DEVTYPE=usb_interface\nDRIVER=uas\n", { { "bInterfaceClass", "08\n" } });
        tree.device(interface + "/host0", "bus/scsi", "DEVTYPE=scsi_host\n");
        auto device = interface + "/host0/target0:0:0/0:0:0:0";
        tree.device(std::filesystem::path(device).parent_path(), "bus/scsi", "DEVTYPE=scsi_target\n");
        tree.device(device, "bus/scsi", "DEVTYPE=scsi_device\nDRIVER=sd\n", { { "vendor", "ASMT\n" } });
        tree.block(device + "/block/" + name, 8, minor);
        tree.block(
            device + "/block/" + name + "/" + name + "1", 8, minor + 1, "1 0 2 0 3 0 4 0 0 0 0\n", true);
    }

    struct Link {
        const char *speed, *maximum, *width, *maximumWidth;
    };

    // An NVMe controller on a PCIe function below a root port.
    void nvme(const std::string& port, const char* portMaximum, const char* portWidth,
        const std::string& function, Link link, const std::string& controller, unsigned minor)
    {
        pci(port, "0x060400",
            { { "max_link_speed", fmt::format("{} GT/s PCIe\n", portMaximum) },
                { "max_link_width", fmt::format("{}\n", portWidth) },
                { "current_link_speed", "2.5 GT/s PCIe\n" }, { "current_link_width", "1\n" } });
        pci(port + "/" + function, "0x010802",
            { { "current_link_speed", fmt::format("{} GT/s PCIe\n", link.speed) },
                { "max_link_speed", fmt::format("{} GT/s PCIe\n", link.maximum) },
                { "current_link_width", fmt::format("{}\n", link.width) },
                { "max_link_width", fmt::format("{}\n", link.maximumWidth) } });
        auto directory = port + "/" + function + "/nvme/" + controller;
        tree.device(directory, "class/nvme", "NVME_TRTYPE=pcie\n", { { "model", "Fast SSD\n" } });
        tree.block(directory + "/" + controller + "n1", 259, minor);
        tree.block(directory + "/" + controller + "n1/" + controller + "n1p1", 259, minor + 1,
            "1 0 1 0 1 0 1\n", true);
    }

    // A SATA disk on port `port` of an AHCI controller, its link negotiated at 3 Gb/s.
    void sataDisk(int port = 1, const std::string& name = "sda", unsigned minor = 0)
    {
        std::string controller = "pci0000:00/0000:00:17.0";
        if (!std::filesystem::exists(tree.devicePath(controller)))
            pci(controller, "0x010601", {});
        std::string ata = controller + fmt::format("/ata{}", port);
        tree.device(ata, "", "DEVTYPE=ata_port\n");
        tree.device(ata + "/link1", "", "DEVTYPE=ata_link\n");
        FakeSysfsTree::write(tree.devicePath(ata + "/link1/ata_link/link1/sata_spd"), "3.0 Gbps\n");
        tree.device(ata + "/host0", "bus/scsi", "DEVTYPE=scsi_host\n");
        auto device = ata + "/host0/target0:0:0/0:0:0:0";
        tree.device(std::filesystem::path(device).parent_path(), "bus/scsi", "DEVTYPE=scsi_target\n");
        tree.device(device, "bus/scsi", "DEVTYPE=scsi_device\nDRIVER=sd\n", { { "vendor", "ATA\n" } });
        tree.block(device + "/block/" + name, 8, minor);
    }

    FakeSysfsTree tree;
};

TEST_F(LinkHealthTree, UsbThreeDriveAtUsbTwoSpeedIsFlaggedAndHealthyLinksRaiseNothing)
{
    std::string hub = "pci0000:00/0000:00:14.0/usb2";
    pci("pci0000:00/0000:00:14.0", "0x0c0330",
        { { "current_link_width", "1\n" }, { "max_link_width", "4\n" } });
    tree.device(hub, "bus/usb", "DEVTYPE=usb_device\n", { { "version", " 3.10\n" }, { "speed", "10000\n" } });
    usbDisk(hub + "/2-1", " 3.20", "480", "sda", 0);
    usbDisk(hub + "/2-2", " 3.20", "5000", "sdb", 16);
    usbDisk(hub + "/2-3", " 2.00", "480", "sdc", 32);
    usbDisk(hub + "/2-4", " 3.00", "12", "sdd", 48);

    LanguageGuard english { "en_US" };
    // A partition is on its disk's link; a USB 2 device at USB 2 speed does what it can; and the
    // USB controller's own PCIe link (x1 of x4) is never the drive's.
    for (const auto& [name, kinds] :
        std::initializer_list<std::pair<const char*, std::vector<std::string>>> { { "sda", { "usb-speed" } },
            { "sda1", { "usb-speed" } }, { "sdb", {} }, { "sdc", {} }, { "sdd", { "usb-speed" } } })
        EXPECT_EQ(kindsOf(warningsOf(name)), kinds) << name;
    EXPECT_EQ(factsOf("sdb").usbVersion, 3.2);
    EXPECT_EQ(factsOf("sdb").usbMegabits, 5000.0) << "the drive's own device, not the hub above it";
}

TEST_F(LinkHealthTree, VolumeCommandListsTheWarningsInItsOutputAndJson)
{
    usbDisk("pci0000:00/0000:00:14.0/usb2/2-1", " 3.20", "480", "sda", 0);
    // No helper listens there: the SATA check is skipped, never an error.
    auto command = [&](const char* language, const char* arguments) {
        return testing::runShell(
            fmt::format("TALLOWIN_SYSFS_ROOT={} TALLOWIN_HELPER_SOCKET={}/none LANGUAGE={} "
                        "LC_ALL=C {} volume --device sda1 {} 2>/dev/null",
                tree.rootString(), tree.rootString(), language, TALLOWIN_CLI_PATH, arguments));
    };
    auto json = command("en", "--json");
    ASSERT_EQ(json.exitStatus, 0);
    auto warnings = nlohmann::json::parse(json.output)["linkWarnings"];
    ASSERT_EQ(warnings.size(), 1u) << json.output;
    EXPECT_EQ(warnings[0]["kind"], "usb-speed");
    EXPECT_EQ(warnings[0]["message"].get<std::string>().rfind("This USB 3.2 drive runs at 480 Mb/s", 0), 0u);
    auto human = command("zh_CN", "");
    EXPECT_NE(human.output.find("警告：这个 USB 3.2 硬盘只以 480 Mb/s"), std::string::npos) << human.output;
}

TEST_F(LinkHealthTree, VolumeAsksAListeningHelperForTheSataSpeeds)
{
    sataDisk();
    // A device-mapper volume over two SATA disks: both are asked, in one command.
    sataDisk(2, "sdb", 16);
    tree.block("virtual/block/dm-0", 253, 0);
    for (auto [name, port] : { std::pair { "sda", 1 }, std::pair { "sdb", 2 } })
        tree.link(tree.devicePath(fmt::format("virtual/block/dm-0/slaves/{}", name)),
            tree.devicePath(
                fmt::format("pci0000:00/0000:00:17.0/ata{}/host0/target0:0:0/0:0:0:0/block/{}", port, name)));
    auto socket = tree.root() / "helper.sock";
    MutexProtected<std::vector<std::string>> asked;
    testing::FakeHelperDaemon daemon(
        socket, [&](const SmartctlHelperProtocol::FetchSMARTDataRequest& request, int) {
            asked.withLocked([&](auto& names) { names.push_back(request.bsdName); });
            return testing::FakeHelperDaemon::Action {
                .frames = { testing::FakeHelperDaemon::result(request.id,
                    R"({"interface_speed": {"max": {"units_per_second": 60,
            "bits_per_unit": 100000000}, "current": {"units_per_second": 15, "bits_per_unit": 100000000}}})") }
            };
        });
    auto outcome
        = testing::runShell(fmt::format("env -i TALLOWIN_SYSFS_ROOT={} TALLOWIN_HELPER_SOCKET={} LANGUAGE=en "
                                        "timeout 30 {} volume --device dm-0 --json 2>/dev/null",
            tree.rootString(), socket.string(), TALLOWIN_CLI_PATH));
    ASSERT_EQ(outcome.exitStatus, 0);
    auto warnings = nlohmann::json::parse(outcome.output)["linkWarnings"];
    ASSERT_EQ(warnings.size(), 1u) << outcome.output;
    EXPECT_EQ(warnings[0]["kind"], "sata-speed");
    EXPECT_EQ(warnings[0]["message"],
        "The SATA link runs at 1.5 Gb/s, but the drive can do 6 Gb/s. Check the cable and the port.");
    EXPECT_EQ(
        asked.withLocked([](auto& names) { return names; }), (std::vector<std::string> { "sda", "sdb" }));
}

// The bound is the lower of the drive's and its port's maxima, in speed and in width.
TEST_F(LinkHealthTree, NvmeLinksAreComparedWithWhatBothTheDriveAndItsPortCanDo)
{
    // x2 of x4; healthy; a PCIe 4.0 drive in a PCIe 3.0 slot as fast as both ends allow, and
    // below that; an x4 drive in an x2 slot.
    nvme("pci0000:00/0000:00:1b.0", "8.0", "4", "0000:01:00.0", { "8.0", "8.0", "2", "4" }, "nvme0", 0);
    nvme("pci0000:00/0000:00:1c.0", "8.0", "4", "0000:02:00.0", { "8.0", "8.0", "4", "4" }, "nvme1", 8);
    nvme("pci0000:00/0000:00:1d.0", "8.0", "4", "0000:03:00.0", { "8.0", "16.0", "4", "4" }, "nvme2", 16);
    nvme("pci0000:00/0000:00:1e.0", "8.0", "4", "0000:04:00.0", { "2.5", "16.0", "4", "4" }, "nvme3", 24);
    nvme("pci0000:00/0000:00:1f.0", "8.0", "2", "0000:05:00.0", { "8.0", "8.0", "2", "4" }, "nvme4", 32);
    LanguageGuard english { "en_US" };
    for (const auto& [name, kinds] : std::initializer_list<std::pair<const char*, std::vector<std::string>>> {
             { "nvme0n1", { "pcie-width" } }, { "nvme0n1p1", { "pcie-width" } }, { "nvme1n1", {} },
             { "nvme2n1", {} }, { "nvme3n1", { "pcie-speed" } }, { "nvme4n1", {} } })
        EXPECT_EQ(kindsOf(warningsOf(name)), kinds) << name;
    auto slow = warningsOf("nvme3n1");
    ASSERT_EQ(slow.size(), 1u);
    EXPECT_EQ(slow[0].message, "The PCIe link runs at 2.5 GT/s, but the drive and its slot can do 8 GT/s.");
    auto ceiling = linkCeiling(factsOf("nvme0n1"));
    ASSERT_TRUE(ceiling);
    EXPECT_EQ(ceiling->link, "PCIe 8 GT/s x2") << "the ceiling is the link as negotiated";
}

TEST_F(LinkHealthTree, SataSpeedComesFromTheSmartReportAndOnlyWhenItHasBoth)
{
    sataDisk();

    EXPECT_EQ(factsOf("sda").lineGigabits, 3.0);

    auto file = [](const char* name) {
        std::ifstream input(std::string(TALLOWIN_TEST_DATA_DIR) + "/smartctl/" + name);
        std::stringstream text;
        text << input.rdbuf();
        return text.str();
    };
    // Real reports: a drive at its full 6 Gb/s, and one that reports only its maximum.
    auto full = sataInterfaceSpeed(file("ata-ssd-samsung-860evo-xall.json"));
    auto maximumOnly = sataInterfaceSpeed(file("ata-ssd-ocz-vertex2-xall.json"));
    EXPECT_EQ(full, (SataInterfaceSpeed { 6.0, 6.0 }));
    EXPECT_EQ(maximumOnly, (SataInterfaceSpeed { std::nullopt, 3.0 }));
    EXPECT_FALSE(sataInterfaceSpeed(file("nvme-sabrent-rocket4-all.json")));
    EXPECT_FALSE(sataInterfaceSpeed("not json"));
    auto degraded = sataInterfaceSpeed(R"({"interface_speed": {
        "max": {"sata_value": 14, "string": "6.0 Gb/s", "units_per_second": 60, "bits_per_unit": 100000000},
        "current": {"sata_value": 2, "string": "3.0 Gb/s", "units_per_second": 30, "bits_per_unit": 100000000}}})");
    EXPECT_EQ(degraded, (SataInterfaceSpeed { 3.0, 6.0 }));

    LanguageGuard english { "en_US" };
    EXPECT_TRUE(warningsOf("sda").empty()) << "no SMART report, no SATA check";
    EXPECT_TRUE(warningsOf("sda", full).empty());
    EXPECT_TRUE(warningsOf("sda", maximumOnly).empty());
    EXPECT_EQ(kindsOf(warningsOf("sda", degraded)), std::vector<std::string> { "sata-speed" });
}

TEST(LinkHealth, WarningsSpeakTheUsersLanguage)
{
    LinkFacts facts;
    facts.kind = LinkFacts::Kind::usb;
    facts.usbVersion = 3.2;
    facts.usbMegabits = 480;
    facts.pcieGigatransfers = 8, facts.pcieMaximumGigatransfers = 16;
    facts.pcieWidth = 2, facts.pcieMaximumWidth = 4;
    const struct {
        const char* language;
        std::vector<std::string> messages;
    } languages[] = {
        { "en_US",
            { "This USB 3.2 drive runs at 480 Mb/s, USB 2 speed. Connect it to a USB 3 port, directly or "
              "through a "
              "USB 3 hub and cable.",
                "The PCIe link runs at 8 GT/s, but the drive and its slot can do 16 GT/s.",
                "The PCIe link uses x2 lanes, but the drive and its slot can use x4.",
                "The SATA link runs at 1.5 Gb/s, but the drive can do 6 Gb/s. Check the cable and the "
                "port." } },
        { "zh_CN.UTF-8",
            { "这个 USB 3.2 硬盘只以 480 Mb/s（USB 2 速度）运行。请把它直接连接到 USB 3 端口，或使用 USB 3 "
              "集线器和数据线。",
                "PCIe 链路以 8 GT/s 运行，而硬盘和插槽都支持 16 GT/s。",
                "PCIe 链路只使用 x2 通道，而硬盘和插槽都支持 x4。",
                "SATA 链路以 1.5 Gb/s 运行，而硬盘支持 6 Gb/s。请检查数据线和接口。" } },
    };
    for (const auto& language : languages) {
        SCOPED_TRACE(language.language);
        LanguageGuard guard { language.language };
        std::vector<std::string> messages;
        for (const auto& warning : linkWarnings(facts, SataInterfaceSpeed { 1.5, 6.0 }))
            messages.push_back(warning.message);
        EXPECT_EQ(messages, language.messages);
    }
}

}
}
