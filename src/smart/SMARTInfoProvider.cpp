#include "smart/SMARTInfoProvider.h"

#include "core/Formatting.h"
#include "core/Log.h"
#include "smart/SmartmontoolsBridge.h"

#include <algorithm>
#include <fmt/format.h>

namespace tallowin::SMARTInfoProvider {

namespace {

const Logger& logger()
{
    static const Logger instance { std::string(applicationLogSubsystem), "SMARTInfoProvider" };
    return instance;
}

// Stacks on real machines are a few levels deep; the bound only guards against a looping tree.
constexpr int maximumStackDepth = 16;

class CandidateList {
public:
    explicit CandidateList(const BlockDeviceTopology& topology)
        : m_topology(topology)
    { }

    void add(std::string_view name)
    {
        if (name.empty() || std::find(m_names.begin(), m_names.end(), name) != m_names.end())
            return;
        m_names.emplace_back(name);
    }

    // The whole disks below a device that is already in the list.
    void addDisksBelow(const std::string& name, int depth)
    {
        if (depth > maximumStackDepth)
            return;
        if (auto parent = m_topology.partitionParent(name)) {
            add(*parent);
            addDisksBelow(*parent, depth + 1);
            return;
        }
        for (const auto& controller : m_topology.nvmeControllers(name))
            add(controller);
        for (const auto& member : m_topology.slaves(name))
            addUnderlying(member, depth + 1);
        if (auto backing = m_topology.loopBackingDevice(name))
            addUnderlying(*backing, depth + 1);
    }

    std::vector<std::string> take() { return std::move(m_names); }

private:
    // A member of a stack: its disk when it is a partition, the disks below it when it is
    // itself stacked, otherwise the device itself. Intermediate layers carry no SMART data.
    void addUnderlying(const std::string& name, int depth)
    {
        if (depth > maximumStackDepth)
            return;
        if (auto parent = m_topology.partitionParent(name)) {
            add(*parent);
            addDisksBelow(*parent, depth + 1);
            return;
        }
        if (!m_topology.slaves(name).empty() || m_topology.loopBackingDevice(name)) {
            addDisksBelow(name, depth + 1);
            return;
        }
        add(name);
        addDisksBelow(name, depth + 1);
    }

    const BlockDeviceTopology& m_topology;
    std::vector<std::string> m_names;
};

std::string bracketedList(const std::vector<std::string>& names)
{
    std::string text = "[";
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0)
            text += ", ";
        text += '"';
        text += names[i];
        text += '"';
    }
    text += ']';
    return text;
}

}

std::vector<std::string> candidateNames(std::string_view bsdName, const BlockDeviceTopology& topology)
{
    CandidateList list(topology);
    std::string name(Formatting::trimmed(bsdName));
    if (name.starts_with("/dev/"))
        name.erase(0, 5);
    list.add(name);
    if (!name.empty())
        list.addDisksBelow(name, 0);

    if (name.starts_with("rdisk"))
        list.add(std::string_view(name).substr(1));
    // The slice's disk: the part before the last "s" that follows the disk/rdisk prefix.
    std::size_t prefix = name.starts_with("disk") ? 4 : name.starts_with("rdisk") ? 5 : 0;
    if (prefix > 0) {
        auto slice = name.rfind('s');
        if (slice != std::string::npos && slice >= prefix) {
            auto parent = name.substr(0, slice);
            list.add(parent);
            if (parent.starts_with("disk"))
                list.add(fmt::format("r{}", parent));
            else if (parent.starts_with("rdisk"))
                list.add(std::string_view(parent).substr(1));
        }
    }
    if (name.starts_with("disk"))
        list.add(fmt::format("r{}", name));
    return list.take();
}

std::optional<DiskSMARTInfo> fetchSMARTInfo(
    std::string_view bsdName, SmartctlResultSource& source, const BlockDeviceTopology& topology)
{
    logger().debug("Starting smartctl-only SMART fetch for BSD name {}", bsdName);
    auto candidates = candidateNames(bsdName, topology);
    logger().debug(
        "Evaluating candidate BSD names {} for original BSD name {}", bracketedList(candidates), bsdName);
    for (const auto& candidate : candidates) {
        if (auto info = SmartmontoolsBridge::fetchSMARTInfo(candidate, source)) {
            logger().info("SMART data sourced from smartctl for BSD name {}", candidate);
            return info;
        }
        logger().debug("smartctl attempt did not return usable data for candidate BSD name {}", candidate);
    }
    logger().error("All smartctl attempts exhausted for BSD name {}; SMART data unavailable", bsdName);
    return std::nullopt;
}

std::optional<DiskSMARTInfo> fetchSMARTInfo(std::string_view bsdName)
{
    auto source = makeHelperClientResultSource();
    SysfsBlockDeviceTopology topology;
    return fetchSMARTInfo(bsdName, *source, topology);
}

}
