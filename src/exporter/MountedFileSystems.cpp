#include "exporter/MountedFileSystems.h"

#include "platform/LinuxMountLookup.h"
#include "platform/SysfsFiles.h"

#include <fstream>
#include <optional>
#include <sstream>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unordered_map>

namespace tallowin {

namespace {

std::string readText(const std::string& path)
{
    std::ifstream input(path);
    std::ostringstream text;
    text << input.rdbuf();
    return text.str();
}

}

LinuxMountedFileSystemSource::LinuxMountedFileSystemSource(std::string procRoot, std::string sysfsRoot)
    : m_procRoot(std::move(procRoot))
    , m_sysfsRoot(std::move(sysfsRoot))
{ }

std::vector<MountedFileSystem> LinuxMountedFileSystemSource::mountedFileSystems()
{
    auto blockName = [&](unsigned major, unsigned minor) -> std::optional<std::string> {
        auto path = m_sysfsRoot + "/dev/block/" + std::to_string(major) + ":" + std::to_string(minor);
        if (auto real = sysfs::realPath(path))
            return sysfs::basename(*real);
        return std::nullopt;
    };
    // Only the newest mount on a mount point is reachable there, whatever its kind: a tmpfs
    // mounted over a disk's folder hides the disk's file system, and statvfs would measure the tmpfs.
    auto mounts = parseMountInfo(readText(m_procRoot + "/self/mountinfo"));
    std::unordered_map<std::string, std::size_t> newest;
    for (std::size_t index = 0; index < mounts.size(); ++index)
        newest[mounts[index].mountPoint] = index;
    std::vector<MountedFileSystem> found;
    for (std::size_t index = 0; index < mounts.size(); ++index) {
        const auto& mount = mounts[index];
        if (newest[mount.mountPoint] != index)
            continue;
        auto device = mount.major != 0 ? blockName(mount.major, mount.minor) : std::nullopt;
        // btrfs reports an anonymous device number; its source names the real device.
        struct stat status;
        if (!device && mount.source.starts_with("/dev/") && ::stat(mount.source.c_str(), &status) == 0
            && S_ISBLK(status.st_mode))
            device = blockName(::major(status.st_rdev), ::minor(status.st_rdev));
        if (!device)
            continue;
        struct statvfs figures;
        if (::statvfs(mount.mountPoint.c_str(), &figures) != 0)
            continue;
        found.push_back({ std::move(*device), mount.mountPoint, mount.fileSystemType,
            static_cast<std::uint64_t>(figures.f_blocks) * figures.f_frsize,
            static_cast<std::uint64_t>(figures.f_bavail) * figures.f_frsize });
    }
    return found;
}

}
