#pragma once

#include "platform/DeviceRegistry.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tallowin {

// What the monitor counts: the volume's own block device, or the whole disks under it.
enum class MonitorScope {
    volume,
    disk,
};

std::string_view rawValue(MonitorScope);
std::optional<MonitorScope> monitorScopeFromRawValue(std::string_view);

// How block devices sit on each other, as far as the scope needs it.
struct BlockStack {
    // The whole disk of a partition (sda1 → sda); nothing for anything else.
    std::function<std::optional<std::string>(std::string_view)> partitionParent;
    // The devices a device-mapper or md device is built on (its `slaves`).
    std::function<std::vector<std::string>(std::string_view)> slaves;
};

// The stack as sysfs shows it under `root` (/sys, or a fake tree).
BlockStack sysfsBlockStack(std::string root);

// The whole disks that hold a block device: a partition's disk, and the members of
// device-mapper (LVM, LUKS) and md stacks followed down to whole disks; each disk once, in the
// order found. A device that sits on nothing is its own disk.
std::vector<std::string> wholeDisksUnder(std::string_view name, const BlockStack&);

// A registry that answers for one name with the sum of several devices' counters: the monitor's
// statistics session, asked for `name`, then reads the whole disks under it as one device.
// Everything else passes through to the registry below.
class SummedStatisticsRegistry final : public DeviceRegistry {
public:
    SummedStatisticsRegistry(
        std::shared_ptr<DeviceRegistry>, std::string name, std::vector<std::string> members);

    const std::vector<std::string>& members() const { return m_members; }

    Expected<std::vector<RegistryObjectRef>, RegistryMatchingFailure> matchBSDName(std::string_view) override;
    std::optional<std::string> className(const RegistryObjectRef&) override;
    std::optional<std::uint64_t> registryEntryID(const RegistryObjectRef&) override;
    Expected<RegistryObjectRef, std::int32_t> parent(const RegistryObjectRef&) override;
    Expected<RegistryDictionary, std::int32_t> properties(const RegistryObjectRef&) override;
    Expected<std::optional<RegistryValue>, std::int32_t> property(
        const RegistryObjectRef&, std::string_view key) override;
    Expected<std::optional<StatisticsSnapshot>, std::int32_t> readStatistics(
        const RegistryObjectRef&) override;

private:
    class SumObject;

    Expected<std::optional<StatisticsSnapshot>, std::int32_t> sum(const SumObject&);

    std::shared_ptr<DeviceRegistry> m_registry;
    std::string m_name;
    std::vector<std::string> m_members;
};

}
