#pragma once

#include "platform/MountLookup.h"

#include <string>
#include <utility>
#include <vector>

namespace tallowin {

// One line of /proc/self/mountinfo, with the octal escapes (\040 for a space …) decoded.
struct MountInfoEntry {
    unsigned major { 0 };
    unsigned minor { 0 };
    std::string mountPoint;
    std::string fileSystemType;
    std::string source;

    friend bool operator==(const MountInfoEntry&, const MountInfoEntry&) = default;
};

std::vector<MountInfoEntry> parseMountInfo(std::string_view text);
// The mount that contains an absolute, resolved path: the longest mount point that is the
// path or one of its ancestors; of equal ones the last mounted (it hides the others).
const MountInfoEntry* mountContaining(const std::vector<MountInfoEntry>&, std::string_view path);

// File-system facts from the Linux kernel: /proc/self/mountinfo, statvfs, sysfs for the block
// device name, and the file-system label from the udev database, /dev/disk/by-label or libblkid.
class LinuxMountLookup final : public MountLookup {
public:
    struct Roots {
        std::string proc { "/proc" };
        std::string sysfs { "/sys" };
        std::string udevData { "/run/udev/data" };
        std::string dev { "/dev" };
    };

    LinuxMountLookup();
    explicit LinuxMountLookup(Roots);

    Expected<std::string, int> resolveSymbolicLinks(std::string_view path) override;
    Expected<FileSystemStatistics, int> fileSystemStatistics(std::string_view path) override;
    Expected<VolumeResourceValues, int> volumeResourceValues(std::string_view path) override;

private:
    struct Located {
        MountInfoEntry mount;
        std::string resolvedPath;
        std::optional<std::string> blockName; // kernel name of the backing block device
        std::optional<std::pair<unsigned, unsigned>> deviceNumber;
    };
    Expected<Located, int> locate(std::string_view path);
    // The mount holding `path` and its statvfs figures.
    Expected<std::pair<Located, FileSystemStatistics>, int> measure(std::string_view path);
    std::optional<std::string> blockNameForNumber(unsigned major, unsigned minor) const;
    std::optional<std::string> label(const Located&) const;

    Roots m_roots;
};

}
