#pragma once

#include "core/Records.h"
#include "platform/DeviceRegistry.h"
#include "platform/HardwareIdDatabase.h"

#include <memory>
#include <string>

namespace tallowin {

// The device registry over sysfs. An object is a device directory under <root>/devices; a
// BSD name is a kernel block device name, found through <root>/class/block/<name>; the parent of
// an object is the nearest ancestor directory that has a `uevent` file; the class name is the
// basename of the `subsystem` link.
//
// Properties are the object's `uevent` keys, its small readable attribute files, and the Linux
// facts translated into the names that the connection rule reads (see docs/volumes.md). Every
// block object (disk and partition) carries a "Statistics" dictionary synthesised from its
// `stat` file, plus what is known about how its drive is attached, so that the rule applied to
// a partition finds the drive's transport, link speed, vendor and model on the object itself.
//
// Reading the counters (readStatistics(), or "Statistics" through property()) is the monitor's
// hot path: the object keeps its `stat` file open and each read is one pread and a parse.
class SysfsRegistry final : public DeviceRegistry {
public:
    // `root` is the sysfs mount; `ids` names numeric PCI and USB IDs.
    explicit SysfsRegistry(std::string root = defaultRoot(),
        std::shared_ptr<const HardwareIdDatabase> ids = HardwareIdDatabase::system());

    // TALLOWIN_SYSFS_ROOT when set and not empty, else /sys.
    static std::string defaultRoot();
    const std::string& root() const { return m_root; }

    Expected<std::vector<RegistryObjectRef>, RegistryMatchingFailure> matchBSDName(
        std::string_view bsdName) override;
    std::optional<std::string> className(const RegistryObjectRef&) override;
    std::optional<std::uint64_t> registryEntryID(const RegistryObjectRef&) override;
    Expected<RegistryObjectRef, std::int32_t> parent(const RegistryObjectRef&) override;
    Expected<RegistryDictionary, std::int32_t> properties(const RegistryObjectRef&) override;
    Expected<std::optional<RegistryValue>, std::int32_t> property(
        const RegistryObjectRef&, std::string_view key) override;
    // One pread of the `stat` file on the descriptor the object keeps open, parsed in place.
    Expected<std::optional<StatisticsSnapshot>, std::int32_t> readStatistics(
        const RegistryObjectRef&) override;

    // The device directory of an object this registry produced (for diagnostics and tests).
    static std::string pathOf(const RegistryObjectRef&);

private:
    RegistryObjectRef makeObject(std::string path) const;

    std::string m_root;
    std::string m_devicesRoot;
    std::shared_ptr<const HardwareIdDatabase> m_ids;
};

// The four cumulative counters of a block device's `stat` text (reads completed, sectors read,
// writes completed, sectors written; sectors are 512 bytes whatever the device's block size).
// Nothing when the text is not a complete stat line (fewer than seven fields, a field that is
// not a decimal number or overflows, a truncated last field).
std::optional<StatisticsSnapshot> parseBlockStat(std::string_view text, bool mayBeTruncated = false);

}
