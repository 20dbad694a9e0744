#pragma once

#include "core/Expected.h"
#include "core/Records.h"
#include "platform/RegistryValue.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tallowin {

// An object of the device registry. Opaque: only the registry that produced it can say
// anything about it. Handles are reference-counted; the last owner releases the object.
class RegistryObject {
public:
    virtual ~RegistryObject() = default;
};
using RegistryObjectRef = std::shared_ptr<const RegistryObject>;

// Status codes (signed 32-bit) of registry operations. Failures that come from the operating
// system carry its errno value; these two have fixed meanings.
inline constexpr std::int32_t registryStatusNoResources = static_cast<std::int32_t>(0xE00002BEu);
inline constexpr std::int32_t registryStatusNoParent = static_cast<std::int32_t>(0xE00002F0u);

// Why matching by BSD name produced no iterator.
struct RegistryMatchingFailure {
    enum class Kind {
        requestNotCreated, // the name cannot even be asked for (empty, or not a device name)
        lookupFailed, // the registry refused the lookup with `status`
    };
    Kind kind;
    std::int32_t status { 0 };

    friend bool operator==(const RegistryMatchingFailure&, const RegistryMatchingFailure&) = default;
};

// The device registry: devices as a tree of objects with properties. The Linux implementation
// is SysfsRegistry; tests use fakes.
class DeviceRegistry {
public:
    virtual ~DeviceRegistry() = default;

    // Every object whose BSD (kernel block device) name equals the name, in registry order.
    virtual Expected<std::vector<RegistryObjectRef>, RegistryMatchingFailure> matchBSDName(
        std::string_view bsdName)
        = 0;
    // The object's class; on Linux its subsystem ("block", "scsi", "usb", "pci", "nvme" …).
    virtual std::optional<std::string> className(const RegistryObjectRef&) = 0;
    // A stable 64-bit identity of the object.
    virtual std::optional<std::uint64_t> registryEntryID(const RegistryObjectRef&) = 0;
    // The parent in the service plane; registryStatusNoParent at the root.
    virtual Expected<RegistryObjectRef, std::int32_t> parent(const RegistryObjectRef&) = 0;
    // All properties, keys in the registry's own order.
    virtual Expected<RegistryDictionary, std::int32_t> properties(const RegistryObjectRef&) = 0;
    // One property, without building the whole dictionary: the statistics path reads
    // "Statistics" up to a thousand times a second. Nothing when the object has no such key.
    virtual Expected<std::optional<RegistryValue>, std::int32_t> property(
        const RegistryObjectRef&, std::string_view key)
        = 0;
    // The four counters of the object's "Statistics" dictionary, read without building it and
    // without allocating: the monitor's hot path. Nothing when the object has no complete
    // statistics (then property() tells what there is). The default reads the dictionary.
    virtual Expected<std::optional<StatisticsSnapshot>, std::int32_t> readStatistics(
        const RegistryObjectRef&);
};

// The four counters of a "Statistics" dictionary, when all four are numbers.
std::optional<StatisticsSnapshot> statisticsFromDictionary(const RegistryDictionary&);

// The service description used in log lines: the class name (or "UnknownIOService"), then
// "#0x" and the registry entry ID in lower-case hexadecimal when it can be read.
std::string serviceDescription(DeviceRegistry&, const RegistryObjectRef&);

}
