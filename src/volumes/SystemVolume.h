#pragma once

#include "core/Expected.h"
#include "core/MonitorError.h"
#include "core/Records.h"
#include "platform/DeviceRegistry.h"
#include "platform/MountLookup.h"
#include "platform/SysfsRegistry.h"

#include <string>

namespace tallowin {

// Resolves a path on this machine: the mount table, statvfs and the sysfs registry, all read
// from the same sysfs root (TALLOWIN_SYSFS_ROOT applies to both).
Expected<DiskVolumeDescriptor, MonitorError> resolveVolume(const std::string& path, SysfsRegistry&);

// What a caller that works on a disk needs from a path the user gave: the volume, or a text
// to print that says, in the user's language, why there is none. A path that cannot be reached
// gets the system's reason first ("No such file or folder: /x") and then the resolver's message;
// a path on a file system without a block device (tmpfs, proc, sysfs, overlay, network file
// systems) gets a text that says so, since it has no disk to examine.
Expected<DiskVolumeDescriptor, std::string> volumeAtPath(const std::string& path, SysfsRegistry&);
// The same over any registry and mount table (tests give fakes).
Expected<DiskVolumeDescriptor, std::string> volumeAtPath(
    const std::string& path, DeviceRegistry&, MountLookup&);

}
