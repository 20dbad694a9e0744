#include "platform/SysfsRegistry.h"

#include "core/FileDescriptor.h"
#include "core/MutexProtected.h"
#include "platform/SysfsFiles.h"
#include "platform/SysfsTransport.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <fcntl.h>
#include <span>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace tallowin {

using namespace sysfs;

namespace {

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

// A device directory. Block objects keep their `stat` file open once it has been read.
class SysfsObject final : public RegistryObject {
public:
    SysfsObject(std::string path, std::optional<std::string> subsystem)
        : m_path(std::move(path))
        , m_subsystem(std::move(subsystem))
    { }

    const std::string& path() const { return m_path; }
    const std::optional<std::string>& subsystem() const { return m_subsystem; }
    bool isBlock() const { return m_subsystem == "block"; }

    // Reads the `stat` file into the buffer: opened on first use and kept open for the life of
    // the object. Returns the byte count or the errno value.
    Expected<std::size_t, std::int32_t> readStat(std::span<char> buffer) const
    {
        return m_statFile.withLocked([&](FileDescriptor& file) -> Expected<std::size_t, std::int32_t> {
            if (!file) {
                file.reset(::open((m_path + "/stat").c_str(), O_RDONLY | O_CLOEXEC));
                if (!file)
                    return Unexpected(std::int32_t { errno });
            }
            ssize_t count;
            do {
                count = ::pread(file.get(), buffer.data(), buffer.size(), 0);
            } while (count < 0 && errno == EINTR);
            if (count < 0)
                return Unexpected(std::int32_t { errno });
            return static_cast<std::size_t>(count);
        });
    }

private:
    std::string m_path;
    std::optional<std::string> m_subsystem;
    mutable MutexProtected<FileDescriptor> m_statFile;
};

const SysfsObject& objectOf(const RegistryObjectRef& object)
{
    return static_cast<const SysfsObject&>(*object);
}

RegistryDictionary statisticsDictionary(const StatisticsSnapshot& counters)
{
    RegistryDictionary statistics;
    statistics.set("Bytes (Read)", counters.bytesRead);
    statistics.set("Bytes (Write)", counters.bytesWritten);
    statistics.set("Operations (Read)", counters.readOperations);
    statistics.set("Operations (Write)", counters.writeOperations);
    return statistics;
}

Expected<StatisticsSnapshot, std::int32_t> readStatFile(const SysfsObject& object)
{
    // A stat line has at most 17 fields of at most 20 digits; anything longer is not one.
    std::array<char, 512> buffer;
    auto count = object.readStat(buffer);
    if (!count)
        return Unexpected(count.error());
    auto counters = parseBlockStat(std::string_view(buffer.data(), *count), *count == buffer.size());
    if (!counters)
        return Unexpected(std::int32_t { EIO });
    return *counters;
}

// PCI base class 01 (mass storage), subclass 08 (non-volatile memory): NVMe.
constexpr std::uint64_t nvmeControllerClass = 0x0108;

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
        // A PCI function's link is a drive's own link only when the function is the drive: an
        // NVMe controller. Bridges, and the controllers that SD cards, ATA, SCSI and virtio disks
        // hang from, have links that say nothing about the drive; shown on them, the connection
        // rule, which looks for a speed on the drive's ancestors, would take the controller's
        // link for the drive's ("SD, 2.5Gbps").
        const auto* pciClass = properties.find("class");
        auto classCode = pciClass && pciClass->text() ? parseHexIdentifier(*pciClass->text()) : std::nullopt;
        const auto* speed = properties.find("current_link_speed");
        if (classCode && (*classCode >> 8) == nvmeControllerClass && speed && speed->text()) {
            if (auto gigatransfers = leadingNumber(*speed->text()))
                properties.set("IOPCIExpressLinkSpeed", *gigatransfers);
        }
        // Read both IDs before adding names: adding may move the dictionary's values.
        auto identifier = [&](std::string_view key) -> std::optional<std::uint16_t> {
            const auto* value = properties.find(key);
            if (!value || !value->number())
                return std::nullopt;
            return static_cast<std::uint16_t>(value->number()->asUnsigned());
        };
        auto vendorID = identifier("vendor-id");
        auto deviceID = identifier("device-id");
        if (vendorID) {
            auto vendorName = ids.pciVendor(*vendorID);
            auto deviceName = deviceID ? ids.pciDevice(*vendorID, *deviceID) : std::nullopt;
            if (vendorName)
                properties.set("vendor-name", *vendorName);
            if (deviceName)
                properties.set("product-name", *deviceName);
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

std::optional<StatisticsSnapshot> parseBlockStat(std::string_view text, bool mayBeTruncated)
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
    return StatisticsSnapshot { fields[2] * 512, fields[6] * 512, fields[0], fields[4] };
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
        if (auto counters = readStatFile(sysfsObject))
            properties.set("Statistics", statisticsDictionary(*counters));
        addTransportFacts(properties, describeTransport(m_root, m_devicesRoot, *m_ids, path));
    }
    return properties;
}

Expected<std::optional<StatisticsSnapshot>, std::int32_t> SysfsRegistry::readStatistics(
    const RegistryObjectRef& object)
{
    const auto& sysfsObject = objectOf(object);
    if (!sysfsObject.isBlock())
        return std::optional<StatisticsSnapshot> {};
    auto counters = readStatFile(sysfsObject);
    if (!counters)
        return Unexpected(counters.error());
    return std::optional<StatisticsSnapshot>(*counters);
}

Expected<std::optional<RegistryValue>, std::int32_t> SysfsRegistry::property(
    const RegistryObjectRef& object, std::string_view key)
{
    const auto& sysfsObject = objectOf(object);
    if (key == "Statistics") {
        if (!sysfsObject.isBlock())
            return std::optional<RegistryValue> {};
        auto counters = readStatFile(sysfsObject);
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
