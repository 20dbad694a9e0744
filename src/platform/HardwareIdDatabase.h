#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

namespace tallowin {

// Vendor and product names for numeric PCI and USB IDs, from the pci.ids / usb.ids databases
// that the distribution ships. A database is read once, on the first lookup, and kept in memory;
// a missing or unreadable file simply knows no names.
class HardwareIdDatabase {
public:
    struct Paths {
        std::string pciIds;
        std::string usbIds;
    };

    explicit HardwareIdDatabase(Paths);
    // The system's databases: /usr/share/misc, then /usr/share/hwdata, then /var/lib/usbutils.
    static std::shared_ptr<const HardwareIdDatabase> system();
    // A database that knows nothing; IDs stay numbers.
    static std::shared_ptr<const HardwareIdDatabase> empty();

    std::optional<std::string> pciVendor(std::uint16_t vendor) const;
    std::optional<std::string> pciDevice(std::uint16_t vendor, std::uint16_t device) const;
    std::optional<std::string> usbVendor(std::uint16_t vendor) const;
    std::optional<std::string> usbProduct(std::uint16_t vendor, std::uint16_t product) const;

private:
    struct Table {
        std::unordered_map<std::uint16_t, std::string> vendors;
        std::unordered_map<std::uint32_t, std::string> devices; // vendor << 16 | device
    };
    static Table load(const std::string& path);
    const Table& pci() const;
    const Table& usb() const;

    Paths m_paths;
    mutable std::once_flag m_pciLoaded;
    mutable std::once_flag m_usbLoaded;
    mutable Table m_pci;
    mutable Table m_usb;
};

}
