#pragma once

#include "platform/MountLookup.h"

#include <optional>
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
// The mount that holds an absolute, resolved path whose file system has the device number
// `device` (the path's st_dev): of the mounts with that number whose mount point is the path or
// one of its ancestors, the longest, and of equal ones the last mounted. A mount point can lie
// under a mount made later on one of its ancestors, which hides it, so the longest mount point
// alone may name a file system the path is not on. When no mount has the number (btrfs
// subvolumes show another number in st_dev than in mountinfo), or it is not known: the longest
// mount point that holds the path, of equal ones the last mounted.
const MountInfoEntry* mountContaining(const std::vector<MountInfoEntry>&, std::string_view path,
    std::optional<std::pair<unsigned, unsigned>> device = std::nullopt);
// The name an unlabelled volume goes by: the last component of its mount point ("/" for the
// root file system, as df, findmnt and lsblk show it).
std::string mountPointName(std::string_view mountPoint);

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
