#pragma once

#include "core/Expected.h"
#include "core/MonitorError.h"
#include "core/Records.h"
#include "platform/SysfsRegistry.h"

#include <string>

namespace tallowin::cli {

// Resolves a path on this machine: the mount table, statvfs and the sysfs registry, all read
// from the same sysfs root (TALLOWIN_SYSFS_ROOT applies to both).
Expected<DiskVolumeDescriptor, MonitorError> resolveVolume(const std::string& path, SysfsRegistry&);

}
