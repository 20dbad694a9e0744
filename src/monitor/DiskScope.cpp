#include "monitor/DiskScope.h"

#include "platform/SysfsFiles.h"

#include <algorithm>
#include <cerrno>

namespace tallowin {

namespace {

bool isPlainName(std::string_view name)
{
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos
        && name.find('\0') == std::string_view::npos;
}

// Deeper than any real stack (LVM on LUKS on md on partitions is four).
constexpr int maximumStackDepth = 16;

void collectDisks(std::string_view name, const BlockStack& stack, int depth, std::vector<std::string>& disks)
{
    if (depth > maximumStackDepth)
        return;
    auto below = stack.slaves(name);
    if (below.empty()) {
        auto disk = stack.partitionParent(name).value_or(std::string(name));
        if (std::find(disks.begin(), disks.end(), disk) == disks.end())
            disks.push_back(std::move(disk));
        return;
    }
    for (const auto& member : below)
        collectDisks(member, stack, depth + 1, disks);
}

}

std::string_view rawValue(MonitorScope scope)
{
    return scope == MonitorScope::disk ? "disk" : "volume";
}

std::optional<MonitorScope> monitorScopeFromRawValue(std::string_view text)
{
    if (text == "volume")
        return MonitorScope::volume;
    if (text == "disk")
        return MonitorScope::disk;
    return std::nullopt;
}

BlockStack sysfsBlockStack(std::string root)
{
    BlockStack stack;
    stack.partitionParent = [root](std::string_view name) -> std::optional<std::string> {
        if (!isPlainName(name))
            return std::nullopt;
        std::string entry = root + "/class/block/" + std::string(name);
        if (!sysfs::exists(entry + "/partition"))
            return std::nullopt;
        // A partition's directory sits inside its disk's, whatever the naming scheme.
        auto directory = sysfs::realPath(entry);
        if (!directory)
            return std::nullopt;
        return sysfs::basename(sysfs::dirname(*directory));
    };
    stack.slaves = [root](std::string_view name) -> std::vector<std::string> {
        if (!isPlainName(name))
            return {};
        auto names = sysfs::directoryEntries(root + "/class/block/" + std::string(name) + "/slaves");
        std::sort(names.begin(), names.end());
        return names;
    };
    return stack;
}

std::vector<std::string> wholeDisksUnder(std::string_view name, const BlockStack& stack)
{
    std::vector<std::string> disks;
    collectDisks(name, stack, 0, disks);
    return disks;
}

class SummedStatisticsRegistry::SumObject final : public RegistryObject {
public:
    explicit SumObject(std::vector<RegistryObjectRef> members)
        : m_members(std::move(members))
    { }
    const std::vector<RegistryObjectRef>& members() const { return m_members; }

private:
    std::vector<RegistryObjectRef> m_members;
};

SummedStatisticsRegistry::SummedStatisticsRegistry(
    std::shared_ptr<DeviceRegistry> registry, std::string name, std::vector<std::string> members)
    : m_registry(std::move(registry))
    , m_name(std::move(name))
    , m_members(std::move(members))
{ }

Expected<std::vector<RegistryObjectRef>, RegistryMatchingFailure> SummedStatisticsRegistry::matchBSDName(
    std::string_view name)
{
    if (name != m_name)
        return m_registry->matchBSDName(name);
    std::vector<RegistryObjectRef> objects;
    for (const auto& member : m_members) {
        auto matches = m_registry->matchBSDName(member);
        if (!matches)
            return Unexpected(matches.error());
        // A member that is gone leaves nothing to sum: no object, and the session says so.
        if (matches->empty())
            return std::vector<RegistryObjectRef> {};
        objects.push_back(matches->front());
    }
    if (objects.empty())
        return objects;
    return std::vector<RegistryObjectRef> { std::make_shared<const SumObject>(std::move(objects)) };
}

std::optional<std::string> SummedStatisticsRegistry::className(const RegistryObjectRef& object)
{
    if (dynamic_cast<const SumObject*>(object.get()))
        return "block";
    return m_registry->className(object);
}

std::optional<std::uint64_t> SummedStatisticsRegistry::registryEntryID(const RegistryObjectRef& object)
{
    if (dynamic_cast<const SumObject*>(object.get()))
        return std::nullopt;
    return m_registry->registryEntryID(object);
}

Expected<RegistryObjectRef, std::int32_t> SummedStatisticsRegistry::parent(const RegistryObjectRef& object)
{
    if (dynamic_cast<const SumObject*>(object.get()))
        return Unexpected(registryStatusNoParent);
    return m_registry->parent(object);
}

Expected<RegistryDictionary, std::int32_t> SummedStatisticsRegistry::properties(
    const RegistryObjectRef& object)
{
    const auto* sumObject = dynamic_cast<const SumObject*>(object.get());
    if (!sumObject)
        return m_registry->properties(object);
    RegistryDictionary properties;
    auto counters = sum(*sumObject);
    if (!counters)
        return Unexpected(counters.error());
    if (*counters) {
        RegistryDictionary statistics;
        statistics.set("Bytes (Read)", (*counters)->bytesRead);
        statistics.set("Bytes (Write)", (*counters)->bytesWritten);
        statistics.set("Operations (Read)", (*counters)->readOperations);
        statistics.set("Operations (Write)", (*counters)->writeOperations);
        properties.set("Statistics", std::move(statistics));
    }
    return properties;
}

Expected<std::optional<RegistryValue>, std::int32_t> SummedStatisticsRegistry::property(
    const RegistryObjectRef& object, std::string_view key)
{
    if (!dynamic_cast<const SumObject*>(object.get()))
        return m_registry->property(object, key);
    auto all = properties(object);
    if (!all)
        return Unexpected(all.error());
    if (const auto* value = all->find(key))
        return std::optional<RegistryValue>(*value);
    return std::optional<RegistryValue> {};
}

Expected<std::optional<StatisticsSnapshot>, std::int32_t> SummedStatisticsRegistry::readStatistics(
    const RegistryObjectRef& object)
{
    const auto* sumObject = dynamic_cast<const SumObject*>(object.get());
    if (!sumObject)
        return m_registry->readStatistics(object);
    return sum(*sumObject);
}

Expected<std::optional<StatisticsSnapshot>, std::int32_t> SummedStatisticsRegistry::sum(
    const SumObject& object)
{
    // All members or none: a sum that silently lost one member would look like the disks
    // running backwards.
    StatisticsSnapshot total;
    for (const auto& member : object.members()) {
        auto counters = m_registry->readStatistics(member);
        if (!counters)
            return Unexpected(counters.error());
        if (!*counters)
            return std::optional<StatisticsSnapshot> {};
        // Sums wrap modulo 2^64 like the counters themselves.
        total.bytesRead += (*counters)->bytesRead;
        total.bytesWritten += (*counters)->bytesWritten;
        total.readOperations += (*counters)->readOperations;
        total.writeOperations += (*counters)->writeOperations;
    }
    return std::optional<StatisticsSnapshot>(total);
}

}
