#pragma once

#include "core/Expected.h"
#include "core/MonitorError.h"
#include "core/Records.h"
#include "platform/DeviceRegistry.h"
#include "platform/MountLookup.h"

#include <optional>
#include <string>
#include <string_view>

namespace tallowin {

// Turns a chosen folder into a DiskVolumeDescriptor: the block device of the file system that
// contains it, its display name, file system, capacities, and how its drive is attached.
namespace DiskVolumeResolver {

struct ConnectionMetadata {
    std::string type;
    std::optional<std::string> speed;
    std::optional<std::string> vendor;
    std::optional<std::string> product;

    friend bool operator==(const ConnectionMetadata&, const ConnectionMetadata&) = default;
};

struct HardwareIdentity {
    std::optional<std::string> vendor;
    std::optional<std::string> model;

    friend bool operator==(const HardwareIdentity&, const HardwareIdentity&) = default;
};

// `location` is an absolute or relative path, or a file:// URL. Fails with invalidSelection
// when it names no local file, and with bsdNameResolutionFailed when its file system cannot
// be examined (it does not exist, for example). Runs on the caller's thread.
Expected<DiskVolumeDescriptor, MonitorError> resolve(
    std::string_view location, DeviceRegistry&, MountLookup&);

// The connection of the device with this BSD name: the first object on a matching chain for
// which the connection rule finds anything; "Unknown" when none does.
ConnectionMetadata connectionMetadata(std::string_view bsdName, DeviceRegistry&);

// Vendor and model of an object, completed from up to ten ancestors.
HardwareIdentity hardwareIdentity(DeviceRegistry&, const RegistryObjectRef&, const RegistryDictionary&);
std::optional<std::string> vendorText(const RegistryDictionary&);
std::optional<std::string> modelText(const RegistryDictionary&);

// The "Unknown" / "未知" connection, when nothing is known.
ConnectionMetadata fallbackMetadata();

}

}
