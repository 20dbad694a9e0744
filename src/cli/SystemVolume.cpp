#include "cli/SystemVolume.h"

#include "platform/LinuxMountLookup.h"
#include "volumes/DiskVolumeResolver.h"

namespace tallowin::cli {

Expected<DiskVolumeDescriptor, MonitorError> resolveVolume(const std::string& path, SysfsRegistry& registry)
{
    LinuxMountLookup::Roots roots;
    roots.sysfs = registry.root();
    LinuxMountLookup mounts(std::move(roots));
    return DiskVolumeResolver::resolve(path, registry, mounts);
}

}
