#pragma once

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <system_error>
#include <vector>

namespace tallowin::testing {

// The block device under a folder of this machine, found without the code under test: the
// folder's st_dev through /sys/dev/block, or, for file systems whose st_dev is an anonymous
// number (btrfs), through the mount in /proc/self/mountinfo and its source device. Tests and
// benchmarks that need a real disk use the one holding the build or temporary folder, so that
// they exercise whatever disk the machine has (virtio, NVMe, SATA …).
struct BlockDeviceUnderPath {
    std::string volume; // the file system's block device: vda, vda1, nvme0n1p2, dm-0, loop3
    std::string disk; // the whole disk holding it: vda, nvme0n1, dm-0, loop3
    std::filesystem::path diskDirectory; // the disk's device directory under /sys/devices
    // The bus of the disk's `device` (virtio, nvme, scsi, mmc …); empty for virtual disks.
    std::string bus;

    bool isVirtio() const { return bus == "virtio"; }
};

namespace detail {

inline std::optional<std::filesystem::path> sysfsBlockDirectory(unsigned major, unsigned minor)
{
    std::error_code error;
    auto directory = std::filesystem::canonical(
        "/sys/dev/block/" + std::to_string(major) + ":" + std::to_string(minor), error);
    if (error)
        return std::nullopt;
    return directory;
}

// The source device of the mount that holds `path`: the mount with the path's own number,
// else the longest mount point above the path.
inline std::optional<std::filesystem::path> mountSourceBlockDirectory(
    const std::filesystem::path& path, dev_t device)
{
    std::ifstream mountinfo("/proc/self/mountinfo");
    std::string line;
    std::string byNumber;
    std::string byPrefix;
    std::size_t prefixLength = 0;
    auto number = std::to_string(::major(device)) + ":" + std::to_string(::minor(device));
    while (std::getline(mountinfo, line)) {
        std::istringstream fields(line);
        std::vector<std::string> words;
        for (std::string word; fields >> word;)
            words.push_back(word);
        auto separator = std::find(words.begin(), words.end(), "-");
        if (words.size() < 5 || separator == words.end() || words.end() - separator < 3)
            continue;
        const auto& source = *(separator + 2);
        const auto& mountPoint = words[4];
        auto text = path.string();
        bool within = mountPoint == "/" || text == mountPoint || text.starts_with(mountPoint + "/");
        if (words[2] == number && within)
            byNumber = source;
        if (within && mountPoint.size() >= prefixLength) {
            prefixLength = mountPoint.size();
            byPrefix = source;
        }
    }
    struct stat status;
    const auto& source = byNumber.empty() ? byPrefix : byNumber;
    if (!source.starts_with("/dev/") || ::stat(source.c_str(), &status) != 0 || !S_ISBLK(status.st_mode))
        return std::nullopt;
    return sysfsBlockDirectory(::major(status.st_rdev), ::minor(status.st_rdev));
}

}

inline std::optional<BlockDeviceUnderPath> blockDeviceUnder(const std::filesystem::path& folder)
{
    std::error_code error;
    auto path = std::filesystem::canonical(folder, error);
    struct stat status;
    if (error || ::stat(path.c_str(), &status) != 0)
        return std::nullopt;
    auto directory = ::major(status.st_dev) != 0
        ? detail::sysfsBlockDirectory(::major(status.st_dev), ::minor(status.st_dev))
        : std::nullopt;
    if (!directory)
        directory = detail::mountSourceBlockDirectory(path, status.st_dev);
    if (!directory)
        return std::nullopt;
    BlockDeviceUnderPath found;
    found.volume = directory->filename().string();
    found.diskDirectory
        = std::filesystem::exists(*directory / "partition") ? directory->parent_path() : *directory;
    found.disk = found.diskDirectory.filename().string();
    auto bus = std::filesystem::canonical(found.diskDirectory / "device/subsystem", error);
    if (!error)
        found.bus = bus.filename().string();
    return found;
}

}
