#include "volumes/SystemVolume.h"

#include "core/Language.h"
#include "platform/LinuxMountLookup.h"
#include "volumes/DiskVolumeResolver.h"

#include <cerrno>
#include <fmt/format.h>
#include <system_error>

namespace tallowin {

namespace {

LinuxMountLookup mountsBesides(const SysfsRegistry& registry)
{
    LinuxMountLookup::Roots roots;
    roots.sysfs = registry.root();
    return LinuxMountLookup(std::move(roots));
}

// Why a path cannot be reached, in the words Linux users know from their tools.
std::string unreachableText(const std::string& path, int error)
{
    switch (error) {
    case ENOENT:
        return localized(
            fmt::format("No such file or folder: {}", path), fmt::format("没有那个文件或文件夹：{}", path));
    case ENOTDIR:
        return localized(fmt::format("A part of the path is not a folder: {}", path),
            fmt::format("路径中有一部分不是文件夹：{}", path));
    case EACCES:
        return localized(fmt::format("Permission denied: {}", path), fmt::format("权限不够：{}", path));
    case ELOOP:
        return localized(fmt::format("Too many levels of symbolic links: {}", path),
            fmt::format("符号链接的层数过多：{}", path));
    case ENAMETOOLONG:
        return localized(fmt::format("File name too long: {}", path), fmt::format("文件名过长：{}", path));
    default:
        return fmt::format("{}: {}", path, std::generic_category().message(error));
    }
}

bool isUrl(const std::string& path)
{
    return path.find("://") != std::string::npos;
}

}

Expected<DiskVolumeDescriptor, MonitorError> resolveVolume(const std::string& path, SysfsRegistry& registry)
{
    auto mounts = mountsBesides(registry);
    return DiskVolumeResolver::resolve(path, registry, mounts);
}

Expected<DiskVolumeDescriptor, std::string> volumeAtPath(const std::string& path, SysfsRegistry& registry)
{
    auto mounts = mountsBesides(registry);
    return volumeAtPath(path, registry, mounts);
}

Expected<DiskVolumeDescriptor, std::string> volumeAtPath(
    const std::string& path, DeviceRegistry& registry, MountLookup& mounts)
{
    auto descriptor = DiskVolumeResolver::resolve(path, registry, mounts);
    if (!descriptor) {
        auto message = descriptor.error().localizedDescription();
        if (descriptor.error().kind == MonitorError::Kind::bsdNameResolutionFailed && !isUrl(path)) {
            if (auto reached = mounts.resolveSymbolicLinks(path); !reached)
                return Unexpected(unreachableText(path, reached.error()) + "\n" + message);
        }
        return Unexpected(std::move(message));
    }

    // The resolver names a mount by its source even when that is no device ("tmpfs",
    // "server:/export"); only a source that is a block device the registry knows has a disk.
    auto statistics = mounts.fileSystemStatistics(descriptor->url);
    auto matches = registry.matchBSDName(descriptor->bsdName);
    bool onBlockDevice
        = statistics && statistics->mountedFromName.starts_with("/dev/") && matches && !matches->empty();
    if (!onBlockDevice) {
        std::string type
            = statistics ? statistics->fileSystemTypeName : descriptor->fileSystemDescription.value_or("?");
        return Unexpected(localized(
            fmt::format("{} is on a {} file system, which has no block device. Choose a folder on a disk.",
                path, type),
            fmt::format("{} 位于 {} 文件系统上，该文件系统没有块设备。请选择磁盘上的文件夹。", path, type)));
    }
    return std::move(descriptor).value();
}

}
