#include "platform/SysfsTransport.h"

#include "platform/SysfsFiles.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace tallowin::sysfs {

namespace {

constexpr int maximumStackingHops = 8;

// The disk of a partition (its parent directory); a disk is its own.
std::string diskDirectoryOf(const std::string& blockDirectory)
{
    if (exists(blockDirectory + "/partition"))
        return dirname(blockDirectory);
    return blockDirectory;
}

bool isPciBridge(const std::string& directory)
{
    auto pciClass = readAttribute(directory + "/class");
    auto value = pciClass ? parseHexIdentifier(*pciClass) : std::nullopt;
    return value && (*value >> 8) == 0x0604;
}

struct ThunderboltLink {
    std::optional<int> generation;
    std::optional<double> bitsPerSecond;
};

// The connected Thunderbolt/USB4 device routers (route ≠ 0, so not the host's own router);
// the highest generation among them, with its negotiated receive rate × lanes. The kernel
// does not expose which router tunnels which PCIe device, so with several docks attached the
// best-connected one is reported.
ThunderboltLink thunderboltLink(const std::string& root)
{
    ThunderboltLink best;
    ThunderboltLink host;
    std::string devices = root + "/bus/thunderbolt/devices";
    for (const auto& name : directoryEntries(devices)) {
        std::string directory = devices + "/" + name;
        auto generationText = readAttribute(directory + "/generation");
        auto generation = generationText ? parseUnsigned(*generationText) : std::nullopt;
        if (!generation || *generation > 100)
            continue;
        ThunderboltLink link { static_cast<int>(*generation), std::nullopt };
        auto speed = readAttribute(directory + "/rx_speed");
        auto lanesText = readAttribute(directory + "/rx_lanes");
        std::uint64_t lanes = lanesText ? parseUnsigned(*lanesText).value_or(0) : 0;
        double gigabits = speed ? leadingNumber(*speed).value_or(0) : 0;
        if (gigabits > 0 && lanes > 0)
            link.bitsPerSecond = gigabits * 1e9 * static_cast<double>(lanes);
        bool isHostRouter = name.ends_with("-0");
        auto& slot = isHostRouter ? host : best;
        if (!slot.generation || *link.generation > *slot.generation)
            slot = link;
    }
    return best.generation ? best : host;
}

bool hasThunderboltRouters(const std::string& root)
{
    return !directoryEntries(root + "/bus/thunderbolt/devices").empty();
}

const char* virtualInterconnect(std::string_view name)
{
    if (name.starts_with("loop"))
        return "Loop";
    if (name.starts_with("zram") || name.starts_with("ram"))
        return "RAM";
    if (name.starts_with("nbd"))
        return "NBD";
    return nullptr;
}

// A SAS end device hangs below the port it is reached through; the port's phys carry the
// negotiated rate ("12.0 Gbit"). With a wide port, the phys' rates add up.
std::optional<double> sasLinkBitsPerSecond(const std::string& portDirectory)
{
    double total = 0;
    for (const auto& phy : directoryEntries(portDirectory)) {
        if (!phy.starts_with("phy-"))
            continue;
        auto rate = readAttribute(portDirectory + "/" + phy + "/sas_phy/" + phy + "/negotiated_linkrate");
        if (auto gigabits = rate ? leadingNumber(*rate) : std::nullopt)
            total += *gigabits * 1e9;
    }
    if (total <= 0)
        return std::nullopt;
    return total;
}

std::optional<double> ataLinkBitsPerSecond(const std::string& portDirectory)
{
    for (const auto& link : directoryEntries(portDirectory)) {
        if (!link.starts_with("link"))
            continue;
        auto speed = readAttribute(portDirectory + "/" + link + "/ata_link/" + link + "/sata_spd");
        if (auto gigabits = speed ? leadingNumber(*speed) : std::nullopt)
            return *gigabits * 1e9;
    }
    return std::nullopt;
}

bool isAtaPort(std::string_view name)
{
    return name.size() > 3 && name.starts_with("ata")
        && std::all_of(name.begin() + 3, name.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::optional<std::string> nonEmptyTrimmed(const std::optional<std::string>& text)
{
    if (!text)
        return std::nullopt;
    auto value = trimmed(*text);
    if (value.empty())
        return std::nullopt;
    return std::string(value);
}

class TransportProbe {
public:
    TransportProbe(const std::string& root, const std::string& devicesRoot, const HardwareIdDatabase& ids)
        : m_root(root)
        , m_devicesRoot(devicesRoot)
        , m_ids(ids)
    { }

    TransportFacts describe(const std::string& blockDirectory) const
    {
        TransportFacts facts;
        std::string disk = diskDirectoryOf(blockDirectory);
        // Stacked devices (device mapper, md, multipath NVMe heads) are virtual; their drive
        // is the first device below them.
        for (int hop = 0; hop < maximumStackingHops; ++hop) {
            auto below = lowerDevice(disk);
            if (!below)
                break;
            disk = diskDirectoryOf(*below);
        }
        if (disk.starts_with(m_devicesRoot + "/virtual/")) {
            if (const char* interconnect = virtualInterconnect(basename(disk)))
                facts.interconnect = interconnect;
            return facts;
        }
        walkAncestors(disk, facts);
        return facts;
    }

private:
    std::optional<std::string> lowerDevice(const std::string& disk) const
    {
        for (const char* folder : { "/slaves", "/multipath" }) {
            auto entries = directoryEntries(disk + folder);
            if (!entries.empty()) {
                if (auto target = realPath(disk + folder + "/" + entries.front()))
                    return target;
            }
        }
        return std::nullopt;
    }

    void walkAncestors(const std::string& disk, TransportFacts& facts) const
    {
        std::optional<std::string> scsiVendor;
        std::optional<std::string> scsiModel;
        bool sawScsi = false;
        bool sawPciEndpoint = false;
        bool sawUsbDevice = false;
        std::pair<std::optional<std::string>, std::optional<std::string>> pciNames;
        bool thunderbolt = false;
        std::optional<std::string> usbManufacturer;
        std::optional<std::string> usbProduct;

        std::string directory = disk;
        while (true) {
            directory = dirname(directory);
            if (directory.size() <= m_devicesRoot.size() || !directory.starts_with(m_devicesRoot))
                break;
            if (!exists(directory + "/uevent"))
                continue;
            auto subsystem = subsystemOf(directory).value_or("");
            auto name = basename(directory);
            if (subsystem == "scsi" && ueventValue(directory, "DEVTYPE") == "scsi_device" && !sawScsi) {
                sawScsi = true;
                scsiVendor = nonEmptyTrimmed(readAttribute(directory + "/vendor"));
                scsiModel = nonEmptyTrimmed(readAttribute(directory + "/model"));
            } else if (subsystem == "nvme") {
                if (!facts.model)
                    facts.model = nonEmptyTrimmed(readAttribute(directory + "/model"));
                auto transport = readAttribute(directory + "/transport").value_or("pcie");
                if (!facts.interconnect)
                    facts.interconnect = nvmeInterconnect(trimmed(transport));
            } else if (subsystem == "mmc" && exists(directory + "/type")) {
                auto type = nonEmptyTrimmed(readAttribute(directory + "/type")).value_or("SD");
                if (!facts.interconnect)
                    facts.interconnect = type == "MMC" ? "eMMC" : type;
                if (!facts.model)
                    facts.model = nonEmptyTrimmed(readAttribute(directory + "/name"));
                if (auto manufacturer = readAttribute(directory + "/manfid"))
                    facts.vendorID = parseHexIdentifier(*manufacturer);
            } else if (subsystem == "virtio") {
                if (!facts.interconnect)
                    facts.interconnect = "Virtio";
            } else if (isAtaPort(name)) {
                auto bits = ataLinkBitsPerSecond(directory);
                if (!facts.interconnect)
                    facts.interconnect = bits ? "SATA" : "ATA";
                if (!facts.linkBitsPerSecond && facts.interconnect == "SATA")
                    facts.linkBitsPerSecond = bits;
            } else if (name.starts_with("end_device-")) {
                if (!facts.interconnect) {
                    facts.interconnect = "SAS";
                    facts.linkBitsPerSecond = sasLinkBitsPerSecond(dirname(directory));
                }
            } else if (subsystem == "usb" && !sawUsbDevice
                && ueventValue(directory, "DEVTYPE") == "usb_device") {
                sawUsbDevice = true;
                if (!facts.interconnect)
                    facts.interconnect = "USB";
                if (facts.interconnect == "USB") {
                    auto speed = readAttribute(directory + "/speed");
                    facts.usbSpeedCode = speed ? usbSpeedCode(*speed) : std::nullopt;
                    if (auto megabits = speed ? leadingNumber(*speed) : std::nullopt)
                        facts.linkBitsPerSecond = *megabits * 1e6;
                    usbManufacturer = nonEmptyTrimmed(readAttribute(directory + "/manufacturer"));
                    usbProduct = nonEmptyTrimmed(readAttribute(directory + "/product"));
                    auto vendorText = readAttribute(directory + "/idVendor");
                    auto productText = readAttribute(directory + "/idProduct");
                    facts.usbVendorID = vendorText ? parseUnsigned(*vendorText, 16) : std::nullopt;
                    facts.usbProductID = productText ? parseUnsigned(*productText, 16) : std::nullopt;
                }
            } else if (subsystem == "pci") {
                if (!sawPciEndpoint) {
                    sawPciEndpoint = true;
                    pciNames = describePciEndpoint(directory, facts);
                } else if (facts.interconnect == "PCI-Express" && isThunderboltBridge(directory)) {
                    thunderbolt = true;
                }
            }
        }

        if (!facts.vendor)
            facts.vendor = scsiVendor;
        if (!facts.model)
            facts.model = scsiModel;
        if (facts.interconnect == "USB") {
            if (!facts.vendor)
                facts.vendor = usbManufacturer;
            if (!facts.model)
                facts.model = usbProduct;
            if (!facts.vendor && facts.usbVendorID)
                facts.vendor = m_ids.usbVendor(static_cast<std::uint16_t>(*facts.usbVendorID));
            if (!facts.model && facts.usbVendorID && facts.usbProductID)
                facts.model = m_ids.usbProduct(static_cast<std::uint16_t>(*facts.usbVendorID),
                    static_cast<std::uint16_t>(*facts.usbProductID));
        }
        // The PCI function's names come last: for virtio-scsi the disk's own INQUIRY data
        // (QEMU HARDDISK) says more than the host adapter's (Virtio SCSI).
        if (!facts.vendor)
            facts.vendor = pciNames.first;
        if (!facts.model)
            facts.model = pciNames.second;
        if (!facts.interconnect && sawScsi)
            facts.interconnect = "SCSI";
        if (thunderbolt)
            describeThunderbolt(facts);
    }

    static std::string nvmeInterconnect(std::string_view transport)
    {
        if (transport == "pcie")
            return "PCI-Express";
        if (transport == "tcp")
            return "NVMe/TCP";
        if (transport == "rdma")
            return "NVMe/RDMA";
        if (transport == "fc")
            return "NVMe/FC";
        return "NVMe";
    }

    // The PCI function nearest to the drive. It is the drive itself for NVMe and virtio,
    // whose identity and PCIe link it then gives; for USB, SATA and SD it is the host
    // controller, whose link says nothing about the drive's.
    std::pair<std::optional<std::string>, std::optional<std::string>> describePciEndpoint(
        const std::string& directory, TransportFacts& facts) const
    {
        std::pair<std::optional<std::string>, std::optional<std::string>> names;
        if (facts.interconnect != "PCI-Express" && facts.interconnect != "Virtio")
            return names;
        auto vendorText = readAttribute(directory + "/vendor");
        auto deviceText = readAttribute(directory + "/device");
        auto vendor = vendorText ? parseHexIdentifier(*vendorText) : std::nullopt;
        auto device = deviceText ? parseHexIdentifier(*deviceText) : std::nullopt;
        if (vendor) {
            facts.vendorID = vendor;
            names.first = m_ids.pciVendor(static_cast<std::uint16_t>(*vendor));
            if (device)
                names.second = m_ids.pciDevice(
                    static_cast<std::uint16_t>(*vendor), static_cast<std::uint16_t>(*device));
        }
        if (facts.interconnect == "PCI-Express") {
            auto speed = readAttribute(directory + "/current_link_speed");
            facts.pciExpressGigatransfers = speed ? leadingNumber(*speed) : std::nullopt;
        }
        return names;
    }

    // A PCIe port that tunnels over Thunderbolt/USB4: a bridge whose ID names Thunderbolt or
    // USB4, or a bridge the firmware marks as external-facing ("removable") while
    // Thunderbolt routers are present.
    bool isThunderboltBridge(const std::string& directory) const
    {
        if (!isPciBridge(directory))
            return false;
        auto vendorText = readAttribute(directory + "/vendor");
        auto deviceText = readAttribute(directory + "/device");
        auto vendor = vendorText ? parseHexIdentifier(*vendorText) : std::nullopt;
        auto device = deviceText ? parseHexIdentifier(*deviceText) : std::nullopt;
        if (vendor && device) {
            auto name
                = m_ids.pciDevice(static_cast<std::uint16_t>(*vendor), static_cast<std::uint16_t>(*device));
            if (name
                && (name->find("Thunderbolt") != std::string::npos
                    || name->find("USB4") != std::string::npos))
                return true;
        }
        return readAttribute(directory + "/removable") == "removable" && hasThunderboltRouters(m_root);
    }

    void describeThunderbolt(TransportFacts& facts) const
    {
        facts.interconnect = "Thunderbolt";
        facts.pciExpressGigatransfers.reset();
        auto link = thunderboltLink(m_root);
        facts.thunderboltGeneration = link.generation;
        facts.linkBitsPerSecond = link.bitsPerSecond;
        if (!facts.linkBitsPerSecond && link.generation) {
            static constexpr std::array<double, 4> gigabits { 10, 20, 40, 40 };
            if (*link.generation >= 1 && *link.generation <= 4)
                facts.linkBitsPerSecond = gigabits[static_cast<std::size_t>(*link.generation - 1)] * 1e9;
        }
    }

    const std::string& m_root;
    const std::string& m_devicesRoot;
    const HardwareIdDatabase& m_ids;
};

} // namespace

std::optional<std::string> subsystemOf(const std::string& directory)
{
    return linkBasename(directory + "/subsystem");
}

std::optional<int> usbSpeedCode(std::string_view speed)
{
    auto megabits = leadingNumber(speed);
    if (!megabits)
        return std::nullopt;
    static constexpr std::array<double, 6> speeds { 1.5, 12, 480, 5000, 10000, 20000 };
    for (std::size_t code = 0; code < speeds.size(); ++code) {
        if (std::abs(*megabits - speeds[code]) < 0.01)
            return static_cast<int>(code);
    }
    return std::nullopt;
}

TransportFacts describeTransport(const std::string& root, const std::string& devicesRoot,
    const HardwareIdDatabase& ids, const std::string& blockDirectory)
{
    return TransportProbe(root, devicesRoot, ids).describe(blockDirectory);
}

void addTransportFacts(RegistryDictionary& properties, const TransportFacts& facts)
{
    if (facts.interconnect)
        properties.set("Physical Interconnect", *facts.interconnect);
    if (facts.usbSpeedCode)
        properties.set("Device Speed", *facts.usbSpeedCode);
    // Always a number in bits per second (or GT/s for PCIe), so the rule needs no guessing.
    if (facts.linkBitsPerSecond)
        properties.set("link-speed", *facts.linkBitsPerSecond);
    if (facts.pciExpressGigatransfers)
        properties.set("IOPCIExpressLinkSpeed", *facts.pciExpressGigatransfers);
    if (facts.thunderboltGeneration)
        properties.set("ThunderboltGeneration", *facts.thunderboltGeneration);
    if (facts.vendor)
        properties.set("Vendor Name", *facts.vendor);
    if (facts.model)
        properties.set("Product Name", *facts.model);
    if (facts.usbVendorID)
        properties.set("idVendor", *facts.usbVendorID);
    if (facts.usbProductID)
        properties.set("idProduct", *facts.usbProductID);
    if (facts.vendorID && !facts.usbVendorID)
        properties.set("vendor-id", *facts.vendorID);
}

}
