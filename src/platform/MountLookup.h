#pragma once

#include "core/Expected.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tallowin {

// The file-system statistics record of the file system that contains a path (statfs on BSD;
// mountinfo plus statvfs on Linux).
struct FileSystemStatistics {
    std::uint64_t blockSize { 0 };
    std::uint64_t totalBlocks { 0 };
    std::uint64_t availableBlocks { 0 };
    std::string fileSystemTypeName; // "ext4", "btrfs", "vfat" …
    // Where the file system is mounted from: "/dev/" + the kernel block device name when the
    // source is a block device (links such as /dev/mapper/x and /dev/disk/by-… resolved), else
    // the mount source as written ("tmpfs", "server:/export").
    std::string mountedFromName;
    std::string mountPoint;

    friend bool operator==(const FileSystemStatistics&, const FileSystemStatistics&) = default;
};

// What the volume says about itself; every value may be unknown.
struct VolumeResourceValues {
    std::optional<std::string> volumeName; // the file-system label
    std::optional<std::uint64_t> totalCapacity;
    std::optional<std::uint64_t> availableCapacity;
    std::optional<std::uint64_t> availableCapacityForImportantUsage;
    std::optional<std::uint64_t> availableCapacityForOpportunisticUsage;

    friend bool operator==(const VolumeResourceValues&, const VolumeResourceValues&) = default;
};

// File-system facts about a path. The Linux implementation is LinuxMountLookup; tests use fakes.
// Errors are errno values.
class MountLookup {
public:
    virtual ~MountLookup() = default;

    // The absolute path with every symbolic link resolved.
    virtual Expected<std::string, int> resolveSymbolicLinks(std::string_view path) = 0;
    virtual Expected<FileSystemStatistics, int> fileSystemStatistics(std::string_view path) = 0;
    virtual Expected<VolumeResourceValues, int> volumeResourceValues(std::string_view path) = 0;
};

}
