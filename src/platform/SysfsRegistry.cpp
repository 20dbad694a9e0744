#include "platform/SysfsRegistry.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace tallowin {

namespace {

constexpr std::size_t maximumAttributeSize = 4096;
constexpr int maximumStackingHops = 8;

// Attribute files that are binary, large, slow to read or that act when touched; they are
// never opened. Write-only files fail to open and are skipped anyway.
bool isSkippedAttribute(std::string_view name)
{
    static constexpr std::array<std::string_view, 22> exact { "config", "rom", "descriptors", "remove",
        "rescan", "reset", "new_id", "remove_id", "bind", "unbind", "delete", "delete_device", "new_device",
        "vpd", "inquiry", "uevent", "stat", "bos_descriptors", "report_descriptor", "driver_override",
        "authorized", "authorized_default" };
    static constexpr std::array<std::string_view, 6> prefixes { "resource", "vpd_pg", "reset_", "rescan_",
        "delete_", "remove_" };
    if (std::find(exact.begin(), exact.end(), name) != exact.end())
        return true;
    return std::any_of(
        prefixes.begin(), prefixes.end(), [&](auto prefix) { return name.starts_with(prefix); });
}

std::string_view trimmed(std::string_view text)
{
    constexpr std::string_view whitespace = " \t\r\n\v\f";
    auto begin = text.find_first_not_of(whitespace);
    if (begin == std::string_view::npos)
        return {};
    auto end = text.find_last_not_of(whitespace);
    return text.substr(begin, end - begin + 1);
}

class FileDescriptor {
public:
    explicit FileDescriptor(int fd)
        : m_fd(fd)
    { }
    ~FileDescriptor()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return m_fd; }

private:
    int m_fd;
};

// A small attribute file as text without its final line break; nothing when it cannot be
// read, is binary or is larger than an attribute should be. Never blocks on a slow device:
// the file is opened non-blocking and read once.
std::optional<std::string> readAttribute(const std::string& path)
{
    FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW));
    if (file.get() < 0)
        return std::nullopt;
    std::string text(maximumAttributeSize + 1, '\0');
    std::size_t length = 0;
    while (length < text.size()) {
        ssize_t count = ::read(file.get(), text.data() + length, text.size() - length);
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0)
            return std::nullopt;
        if (count == 0)
            break;
        length += static_cast<std::size_t>(count);
    }
    if (length > maximumAttributeSize)
        return std::nullopt;
    text.resize(length);
    if (text.find('\0') != std::string::npos)
        return std::nullopt;
    while (!text.empty() && text.back() == '\n')
        text.pop_back();
    return text;
}

std::optional<std::string> realPath(const std::string& path)
{
    char buffer[PATH_MAX];
    if (!::realpath(path.c_str(), buffer))
        return std::nullopt;
    return std::string(buffer);
}

std::string basename(std::string_view path)
{
    auto slash = path.rfind('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string dirname(std::string_view path)
{
    auto slash = path.rfind('/');
    if (slash == std::string_view::npos || slash == 0)
        return "/";
    return std::string(path.substr(0, slash));
}

bool exists(const std::string& path)
{
    struct stat status;
    return ::stat(path.c_str(), &status) == 0;
}

std::optional<std::string> linkBasename(const std::string& path)
{
    char buffer[PATH_MAX];
    ssize_t length = ::readlink(path.c_str(), buffer, sizeof buffer - 1);
    if (length <= 0)
        return std::nullopt;
    return basename(std::string_view(buffer, static_cast<std::size_t>(length)));
}

// Directory entries in name order, so that property order does not depend on the file system.
std::vector<std::string> directoryEntries(const std::string& path)
{
    std::vector<std::string> names;
    DIR* directory = ::opendir(path.c_str());
    if (!directory)
        return names;
    while (const dirent* entry = ::readdir(directory)) {
        std::string_view name(entry->d_name);
        if (name != "." && name != "..")
            names.emplace_back(name);
    }
    ::closedir(directory);
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::pair<std::string, std::string>> parseUevent(std::string_view text)
{
    std::vector<std::pair<std::string, std::string>> entries;
    while (!text.empty()) {
        auto end = text.find('\n');
        auto line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view {} : text.substr(end + 1);
        auto equals = line.find('=');
        if (equals == std::string_view::npos || equals == 0)
            continue;
        entries.emplace_back(std::string(line.substr(0, equals)), std::string(line.substr(equals + 1)));
    }
    return entries;
}

std::optional<std::string> ueventValue(const std::string& directory, std::string_view key)
{
    auto text = readAttribute(directory + "/uevent");
    if (!text)
        return std::nullopt;
    for (auto& [name, value] : parseUevent(*text)) {
        if (name == key)
            return value;
    }
    return std::nullopt;
}

std::optional<std::uint64_t> parseUnsigned(std::string_view text, int base = 10)
{
    text = trimmed(text);
    if (base == 16 && (text.starts_with("0x") || text.starts_with("0X")))
        text.remove_prefix(2);
    if (text.empty())
        return std::nullopt;
    std::uint64_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (error != std::errc {} || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

// "0x1af4": the hexadecimal ID form of PCI, virtio and Thunderbolt attributes.
std::optional<std::uint64_t> parseHexIdentifier(std::string_view text)
{
    text = trimmed(text);
    if (!text.starts_with("0x") && !text.starts_with("0X"))
        return std::nullopt;
    return parseUnsigned(text, 16);
}

// The leading decimal number of a text such as "8.0 GT/s PCIe", "6.0 Gbps" or "20.0 Gb/s".
std::optional<double> leadingNumber(std::string_view text)
{
    text = trimmed(text);
    double value = 0;
    auto [end, error]
        = std::from_chars(text.data(), text.data() + text.size(), value, std::chars_format::fixed);
    if (error != std::errc {} || end == text.data() || !std::isfinite(value) || value <= 0)
        return std::nullopt;
    return value;
}

// USB `speed` in Mb/s to the registry's device speed codes.
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

// What is known about how a drive is attached, gathered from its block device and ancestors.
struct TransportFacts {
    std::optional<std::string> interconnect;
    std::optional<int> usbSpeedCode;
    std::optional<double> linkBitsPerSecond;
    std::optional<double> pciExpressGigatransfers;
    std::optional<int> thunderboltGeneration;
    std::optional<std::string> vendor;
    std::optional<std::string> model;
    std::optional<std::uint64_t> usbVendorID;
    std::optional<std::uint64_t> usbProductID;
    std::optional<std::uint64_t> vendorID;
};

} // namespace

class SysfsObject final : public RegistryObject {
public:
    SysfsObject(std::string path, std::optional<std::string> subsystem)
        : m_path(std::move(path))
        , m_subsystem(std::move(subsystem))
    { }
    ~SysfsObject() override
    {
        int fd = m_statFd.load(std::memory_order_acquire);
        if (fd >= 0)
            ::close(fd);
    }
    SysfsObject(const SysfsObject&) = delete;
    SysfsObject& operator=(const SysfsObject&) = delete;

    const std::string& path() const { return m_path; }
    const std::optional<std::string>& subsystem() const { return m_subsystem; }
    bool isBlock() const { return m_subsystem == "block"; }

    // The `stat` file, opened on first use and kept open for the life of the object. Two
    // threads racing here both open it; the loser closes its descriptor.
    Expected<int, std::int32_t> statDescriptor() const
    {
        int fd = m_statFd.load(std::memory_order_acquire);
        if (fd >= 0)
            return fd;
        int opened = ::open((m_path + "/stat").c_str(), O_RDONLY | O_CLOEXEC);
        if (opened < 0)
            return Unexpected(std::int32_t { errno });
        int expected = -1;
        if (m_statFd.compare_exchange_strong(expected, opened, std::memory_order_acq_rel))
            return opened;
        ::close(opened);
        return expected;
    }

private:
    std::string m_path;
    std::optional<std::string> m_subsystem;
    mutable std::atomic<int> m_statFd { -1 };
};

namespace {

const SysfsObject& objectOf(const RegistryObjectRef& object)
{
    return static_cast<const SysfsObject&>(*object);
}

RegistryDictionary statisticsDictionary(const BlockStatCounters& counters)
{
    RegistryDictionary statistics;
    statistics.set("Bytes (Read)", counters.bytesRead);
    statistics.set("Bytes (Write)", counters.bytesWritten);
    statistics.set("Operations (Read)", counters.readOperations);
    statistics.set("Operations (Write)", counters.writeOperations);
    return statistics;
}

Expected<BlockStatCounters, std::int32_t> readStatistics(const SysfsObject& object)
{
    auto fd = object.statDescriptor();
    if (!fd)
        return Unexpected(fd.error());
    // A stat line has at most 17 fields of at most 20 digits; anything longer is not one.
    char buffer[512];
    ssize_t count;
    do {
        count = ::pread(*fd, buffer, sizeof buffer, 0);
    } while (count < 0 && errno == EINTR);
    if (count < 0)
        return Unexpected(std::int32_t { errno });
    auto counters = parseBlockStat(std::string_view(buffer, static_cast<std::size_t>(count)),
        static_cast<std::size_t>(count) == sizeof buffer);
    if (!counters)
        return Unexpected(std::int32_t { EIO });
    return *counters;
}

std::optional<std::string> subsystemOf(const std::string& directory)
{
    return linkBasename(directory + "/subsystem");
}

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
        auto lanes = lanesText ? parseUnsigned(*lanesText) : std::nullopt;
        if (auto gigabits = speed ? leadingNumber(*speed) : std::nullopt; gigabits && lanes && *lanes > 0)
            link.bitsPerSecond = *gigabits * 1e9 * static_cast<double>(*lanes);
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

} // namespace

namespace {

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
                    describePciEndpoint(directory, facts);
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
    void describePciEndpoint(const std::string& directory, TransportFacts& facts) const
    {
        if (facts.interconnect != "PCI-Express" && facts.interconnect != "Virtio")
            return;
        auto vendorText = readAttribute(directory + "/vendor");
        auto deviceText = readAttribute(directory + "/device");
        auto vendor = vendorText ? parseHexIdentifier(*vendorText) : std::nullopt;
        auto device = deviceText ? parseHexIdentifier(*deviceText) : std::nullopt;
        if (vendor) {
            facts.vendorID = vendor;
            if (!facts.vendor)
                facts.vendor = m_ids.pciVendor(static_cast<std::uint16_t>(*vendor));
            if (!facts.model && device)
                facts.model = m_ids.pciDevice(
                    static_cast<std::uint16_t>(*vendor), static_cast<std::uint16_t>(*device));
        }
        if (facts.interconnect == "PCI-Express") {
            auto speed = readAttribute(directory + "/current_link_speed");
            facts.pciExpressGigatransfers = speed ? leadingNumber(*speed) : std::nullopt;
        }
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

// Raw attributes whose names or forms would mislead the connection rule are translated:
// hexadecimal IDs become numbers under ID names (a PCI `vendor` of "0x144d" is not a vendor
// name), USB speeds become device speed codes, PCIe link speeds become GT/s numbers, SCSI
// models become the binary "model" the rule decodes.
void translateAttributes(RegistryDictionary& properties, std::string_view subsystem, std::string_view devtype,
    const HardwareIdDatabase& ids)
{
    static constexpr std::array<std::pair<std::string_view, std::string_view>, 4> hexIdentifiers {
        std::pair { "vendor", "vendor-id" }, std::pair { "device", "device-id" },
        std::pair { "subsystem_vendor", "subsystem-vendor-id" },
        std::pair { "subsystem_device", "subsystem-device-id" }
    };
    for (auto [raw, translated] : hexIdentifiers) {
        const auto* value = properties.find(raw);
        if (!value || !value->text())
            continue;
        if (auto identifier = parseHexIdentifier(*value->text())) {
            properties.remove(raw);
            properties.set(std::string(translated), *identifier);
        }
    }

    if (subsystem == "usb" && devtype == "usb_device") {
        std::optional<std::uint64_t> vendor;
        std::optional<std::uint64_t> product;
        if (const auto* value = properties.find("idVendor"); value && value->text()) {
            vendor = parseUnsigned(*value->text(), 16);
            properties.remove("idVendor");
        }
        if (const auto* value = properties.find("idProduct"); value && value->text()) {
            product = parseUnsigned(*value->text(), 16);
            properties.remove("idProduct");
        }
        if (vendor)
            properties.set("idVendor", *vendor);
        if (product)
            properties.set("idProduct", *product);
        if (const auto* speed = properties.find("speed"); speed && speed->text()) {
            if (auto code = usbSpeedCode(*speed->text()))
                properties.set("Device Speed", *code);
        }
        properties.set("Physical Interconnect", "USB");
        if (vendor && !properties.find("manufacturer")) {
            if (auto name = ids.usbVendor(static_cast<std::uint16_t>(*vendor)))
                properties.set("vendor-name", *name);
        }
        if (vendor && product && !properties.find("product")) {
            if (auto name
                = ids.usbProduct(static_cast<std::uint16_t>(*vendor), static_cast<std::uint16_t>(*product)))
                properties.set("product-name", *name);
        }
    }

    if (subsystem == "pci") {
        if (const auto* speed = properties.find("current_link_speed"); speed && speed->text()) {
            if (auto gigatransfers = leadingNumber(*speed->text()))
                properties.set("IOPCIExpressLinkSpeed", *gigatransfers);
        }
        const auto* vendor = properties.find("vendor-id");
        const auto* device = properties.find("device-id");
        if (vendor && vendor->number()) {
            auto vendorID = static_cast<std::uint16_t>(vendor->number()->asUnsigned());
            if (auto name = ids.pciVendor(vendorID))
                properties.set("vendor-name", *name);
            if (device && device->number()) {
                if (auto name
                    = ids.pciDevice(vendorID, static_cast<std::uint16_t>(device->number()->asUnsigned())))
                    properties.set("product-name", *name);
            }
        }
    }

    if (subsystem == "scsi" && devtype == "scsi_device") {
        if (const auto* model = properties.find("model"); model && model->text()) {
            RegistryData bytes(model->text()->begin(), model->text()->end());
            properties.set("model", std::move(bytes));
        }
    }

    if (subsystem == "thunderbolt") {
        if (const auto* generation = properties.find("generation"); generation && generation->text()) {
            if (auto value = parseUnsigned(*generation->text()))
                properties.set("ThunderboltGeneration", *value);
        }
        if (const auto* name = properties.find("vendor_name"); name && name->text())
            properties.set("vendor-name", *name->text());
        if (const auto* name = properties.find("device_name"); name && name->text())
            properties.set("product-name", *name->text());
    }
}

} // namespace

std::optional<BlockStatCounters> parseBlockStat(std::string_view text, bool mayBeTruncated)
{
    std::array<std::uint64_t, 7> fields {};
    std::size_t position = 0;
    for (std::size_t index = 0; index < fields.size(); ++index) {
        while (position < text.size() && (text[position] == ' ' || text[position] == '\t'))
            ++position;
        const char* begin = text.data() + position;
        const char* end = text.data() + text.size();
        auto [stop, error] = std::from_chars(begin, end, fields[index]);
        if (error != std::errc {} || stop == begin)
            return std::nullopt;
        position = static_cast<std::size_t>(stop - text.data());
        bool atEnd = position == text.size();
        // A number cut off by the end of a partial read may have lost digits.
        if (atEnd && mayBeTruncated)
            return std::nullopt;
        if (!atEnd && text[position] != ' ' && text[position] != '\t' && text[position] != '\n')
            return std::nullopt;
    }
    return BlockStatCounters { fields[2] * 512, fields[6] * 512, fields[0], fields[4] };
}

SysfsRegistry::SysfsRegistry(std::string root, std::shared_ptr<const HardwareIdDatabase> ids)
    : m_root(realPath(root).value_or(std::move(root)))
    , m_devicesRoot(m_root + "/devices")
    , m_ids(ids ? std::move(ids) : HardwareIdDatabase::empty())
{ }

std::string SysfsRegistry::defaultRoot()
{
    const char* root = std::getenv("TALLOWIN_SYSFS_ROOT");
    return root && *root ? root : "/sys";
}

std::string SysfsRegistry::pathOf(const RegistryObjectRef& object)
{
    return objectOf(object).path();
}

RegistryObjectRef SysfsRegistry::makeObject(std::string path) const
{
    auto subsystem = subsystemOf(path);
    return std::make_shared<const SysfsObject>(std::move(path), std::move(subsystem));
}

Expected<std::vector<RegistryObjectRef>, RegistryMatchingFailure> SysfsRegistry::matchBSDName(
    std::string_view bsdName)
{
    if (bsdName.empty() || bsdName == "." || bsdName == ".." || bsdName.find('/') != std::string_view::npos
        || bsdName.find('\0') != std::string_view::npos)
        return Unexpected(RegistryMatchingFailure {
            RegistryMatchingFailure::Kind::requestNotCreated, registryStatusNoResources });
    std::vector<RegistryObjectRef> matches;
    auto path = realPath(m_root + "/class/block/" + std::string(bsdName));
    if (!path) {
        if (errno == ENOENT || errno == ENOTDIR)
            return matches;
        return Unexpected(RegistryMatchingFailure { RegistryMatchingFailure::Kind::lookupFailed, errno });
    }
    if (path->starts_with(m_devicesRoot + "/"))
        matches.push_back(makeObject(std::move(*path)));
    return matches;
}

std::optional<std::string> SysfsRegistry::className(const RegistryObjectRef& object)
{
    return objectOf(object).subsystem();
}

std::optional<std::uint64_t> SysfsRegistry::registryEntryID(const RegistryObjectRef& object)
{
    const auto& sysfsObject = objectOf(object);
    if (sysfsObject.isBlock()) {
        if (auto number = readAttribute(sysfsObject.path() + "/dev")) {
            auto colon = number->find(':');
            auto major = parseUnsigned(std::string_view(*number).substr(0, colon));
            auto minor = colon == std::string::npos
                ? std::nullopt
                : parseUnsigned(std::string_view(*number).substr(colon + 1));
            if (major && minor && *major <= UINT32_MAX && *minor <= UINT32_MAX)
                return makedev(static_cast<unsigned>(*major), static_cast<unsigned>(*minor));
        }
    }
    struct stat status;
    if (::stat(sysfsObject.path().c_str(), &status) != 0)
        return std::nullopt;
    return status.st_ino;
}

Expected<RegistryObjectRef, std::int32_t> SysfsRegistry::parent(const RegistryObjectRef& object)
{
    std::string directory = objectOf(object).path();
    while (true) {
        directory = dirname(directory);
        if (directory.size() <= m_devicesRoot.size() || !directory.starts_with(m_devicesRoot + "/"))
            return Unexpected(registryStatusNoParent);
        if (exists(directory + "/uevent"))
            return makeObject(std::move(directory));
    }
}

Expected<RegistryDictionary, std::int32_t> SysfsRegistry::properties(const RegistryObjectRef& object)
{
    const auto& sysfsObject = objectOf(object);
    const auto& path = sysfsObject.path();
    struct stat status;
    if (::stat(path.c_str(), &status) != 0)
        return Unexpected(std::int32_t { errno });
    if (!S_ISDIR(status.st_mode))
        return Unexpected(std::int32_t { ENOTDIR });

    RegistryDictionary properties;
    std::string devtype;
    if (auto uevent = readAttribute(path + "/uevent")) {
        for (auto& [key, value] : parseUevent(*uevent)) {
            if (key == "DEVTYPE")
                devtype = value;
            properties.set(std::move(key), std::move(value));
        }
    }
    for (const auto& name : directoryEntries(path)) {
        if (isSkippedAttribute(name))
            continue;
        std::string file = path + "/" + name;
        struct stat attribute;
        if (::lstat(file.c_str(), &attribute) != 0 || !S_ISREG(attribute.st_mode)
            || (attribute.st_mode & S_IRUSR) == 0)
            continue;
        // Binary attributes report their real size; text attributes report a page.
        if (attribute.st_size > static_cast<off_t>(maximumAttributeSize))
            continue;
        if (auto value = readAttribute(file))
            properties.set(name, std::move(*value));
    }
    auto subsystem = sysfsObject.subsystem().value_or("");
    translateAttributes(properties, subsystem, devtype, *m_ids);

    if (sysfsObject.isBlock()) {
        if (auto counters = readStatistics(sysfsObject))
            properties.set("Statistics", statisticsDictionary(*counters));
        addTransportFacts(properties, TransportProbe(m_root, m_devicesRoot, *m_ids).describe(path));
    }
    return properties;
}

Expected<std::optional<RegistryValue>, std::int32_t> SysfsRegistry::property(
    const RegistryObjectRef& object, std::string_view key)
{
    const auto& sysfsObject = objectOf(object);
    if (key == "Statistics") {
        if (!sysfsObject.isBlock())
            return std::optional<RegistryValue> {};
        auto counters = readStatistics(sysfsObject);
        if (!counters)
            return Unexpected(counters.error());
        return std::optional<RegistryValue>(statisticsDictionary(*counters));
    }
    auto all = properties(object);
    if (!all)
        return Unexpected(all.error());
    if (const auto* value = all->find(key))
        return std::optional<RegistryValue>(*value);
    return std::optional<RegistryValue> {};
}

}
