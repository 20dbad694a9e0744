#pragma once

#include "core/Formatting.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Small helpers for reading sysfs-style trees: attribute files, links and uevent text.
namespace tallowin::sysfs {

// Attributes are at most a page; anything larger is a binary attribute.
inline constexpr std::size_t maximumAttributeSize = 4096;

using Formatting::trimmed;
// A small attribute file as text without its final line break; nothing when it cannot be read,
// is binary or is larger than an attribute should be.
std::optional<std::string> readAttribute(const std::string& path);
std::optional<std::string> realPath(const std::string& path);
std::string basename(std::string_view path);
std::string dirname(std::string_view path);
bool exists(const std::string& path);
// The last component of a symbolic link's target (the `subsystem` link gives "usb", "block" …).
std::optional<std::string> linkBasename(const std::string& path);
// Directory entries without "." and "..", in name order.
std::vector<std::string> directoryEntries(const std::string& path);
std::vector<std::pair<std::string, std::string>> parseUevent(std::string_view text);
std::optional<std::string> ueventValue(const std::string& directory, std::string_view key);
std::optional<std::uint64_t> parseUnsigned(std::string_view text, int base = 10);
// "0x1af4": the hexadecimal ID form of PCI, virtio and Thunderbolt attributes.
std::optional<std::uint64_t> parseHexIdentifier(std::string_view text);
// The leading positive decimal number of a text such as "8.0 GT/s PCIe" or "6.0 Gbps".
std::optional<double> leadingNumber(std::string_view text);

}
