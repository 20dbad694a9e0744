#pragma once

#include "core/Records.h"
#include "smart/BlockDeviceTopology.h"
#include "smart/SmartctlResultSource.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tallowin {

// The one way the application obtains SMART data: given the device name of a volume, it tries
// the names under which smartctl may know the drive, one after the other, until one gives a
// usable report. It keeps no state between calls, so calls may run concurrently.
namespace SMARTInfoProvider {

// Blocks while each attempt waits for the helper; never call it on the main thread.
std::optional<DiskSMARTInfo> fetchSMARTInfo(
    std::string_view bsdName, SmartctlResultSource&, const BlockDeviceTopology&);
// Through the process-wide helper client and the machine's sysfs.
std::optional<DiskSMARTInfo> fetchSMARTInfo(std::string_view bsdName);

// The names to try, distinct and in first-seen order: the name itself (trimmed, without
// "/dev/"); then the whole disks beneath it on Linux (the partition's disk, the NVMe controller,
// the members of device-mapper, md and loop stacks); then the disk/rdisk forms of a BSD slice.
std::vector<std::string> candidateNames(std::string_view bsdName, const BlockDeviceTopology&);

}

}
