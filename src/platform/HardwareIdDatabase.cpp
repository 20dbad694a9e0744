#include "platform/HardwareIdDatabase.h"

#include <charconv>
#include <fstream>
#include <string_view>
#include <unistd.h>

namespace tallowin {

namespace {

std::optional<std::uint16_t> parseHex4(std::string_view text)
{
    if (text.size() != 4)
        return std::nullopt;
    std::uint16_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
    if (error != std::errc {} || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

std::string firstReadable(std::initializer_list<const char*> candidates)
{
    for (const char* candidate : candidates) {
        if (::access(candidate, R_OK) == 0)
            return candidate;
    }
    return {};
}

}

HardwareIdDatabase::HardwareIdDatabase(Paths paths)
    : m_paths(std::move(paths))
{ }

std::shared_ptr<const HardwareIdDatabase> HardwareIdDatabase::system()
{
    static const auto database = std::make_shared<const HardwareIdDatabase>(Paths {
        firstReadable({ "/usr/share/misc/pci.ids", "/usr/share/hwdata/pci.ids" }),
        firstReadable(
            { "/usr/share/misc/usb.ids", "/usr/share/hwdata/usb.ids", "/var/lib/usbutils/usb.ids" }),
    });
    return database;
}

std::shared_ptr<const HardwareIdDatabase> HardwareIdDatabase::empty()
{
    static const auto database = std::make_shared<const HardwareIdDatabase>(Paths {});
    return database;
}

// The format of both files: a vendor line is four hex digits, two spaces and the name; the
// vendor's device lines follow, indented by one tab. Deeper indentation (subsystems,
// interfaces) and the class sections at the end ("C 01  …") are not IDs of devices.
HardwareIdDatabase::Table HardwareIdDatabase::load(const std::string& path)
{
    Table table;
    if (path.empty())
        return table;
    std::ifstream input(path);
    // The vendor whose device lines follow; -1 outside a vendor's block.
    std::int32_t vendor = -1;
    std::string line;
    while (std::getline(input, line)) {
        std::string_view view(line);
        if (view.empty() || view.front() == '#')
            continue;
        if (view.front() != '\t') {
            vendor = -1;
            if (view.size() > 6 && view.substr(4, 2) == "  ") {
                if (auto identifier = parseHex4(view.substr(0, 4))) {
                    vendor = *identifier;
                    table.vendors.emplace(*identifier, std::string(view.substr(6)));
                }
            }
            continue;
        }
        if (vendor < 0 || view.size() < 8 || view[1] == '\t' || view.substr(5, 2) != "  ")
            continue;
        if (auto device = parseHex4(view.substr(1, 4)))
            table.devices.emplace(
                static_cast<std::uint32_t>(vendor) << 16 | *device, std::string(view.substr(7)));
    }
    return table;
}

const HardwareIdDatabase::Table& HardwareIdDatabase::pci() const
{
    std::call_once(m_pciLoaded, [this] { m_pci = load(m_paths.pciIds); });
    return m_pci;
}

const HardwareIdDatabase::Table& HardwareIdDatabase::usb() const
{
    std::call_once(m_usbLoaded, [this] { m_usb = load(m_paths.usbIds); });
    return m_usb;
}

namespace {
template<typename Map, typename Key> std::optional<std::string> lookup(const Map& map, Key key)
{
    if (auto found = map.find(key); found != map.end())
        return found->second;
    return std::nullopt;
}
}

std::optional<std::string> HardwareIdDatabase::pciVendor(std::uint16_t vendor) const
{
    return lookup(pci().vendors, vendor);
}

std::optional<std::string> HardwareIdDatabase::pciDevice(std::uint16_t vendor, std::uint16_t device) const
{
    return lookup(pci().devices, std::uint32_t { vendor } << 16 | device);
}

std::optional<std::string> HardwareIdDatabase::usbVendor(std::uint16_t vendor) const
{
    return lookup(usb().vendors, vendor);
}

std::optional<std::string> HardwareIdDatabase::usbProduct(std::uint16_t vendor, std::uint16_t product) const
{
    return lookup(usb().devices, std::uint32_t { vendor } << 16 | product);
}

}
