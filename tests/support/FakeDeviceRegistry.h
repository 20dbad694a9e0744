#pragma once

#include "core/Records.h"
#include "platform/DeviceRegistry.h"

#include <algorithm>
#include <functional>
#include <map>
#include <mutex>

namespace tallowin::testing {

// An in-memory device registry, thread-safe so a test may change it while a monitor reads.
// outstandingReferences() tells how many handles the code under test still owns.
class FakeDeviceRegistry final : public DeviceRegistry {
public:
    // Counters as a function of how many times they have been read.
    using StatisticsScript = std::function<StatisticsSnapshot(std::uint64_t readIndex)>;

    struct Node final : RegistryObject {
        std::string className;
        std::optional<std::uint64_t> registryEntryID;
        std::weak_ptr<const Node> parent;
        RegistryDictionary properties;
        std::optional<std::int32_t> propertiesFailure;
        bool detached { false };
        StatisticsScript statisticsScript;
        std::uint64_t statisticsReads { 0 };
    };

    RegistryObjectRef add(std::string className, RegistryDictionary properties = {},
        const RegistryObjectRef& parent = nullptr,
        std::optional<std::uint64_t> registryEntryID = std::nullopt)
    {
        std::lock_guard lock(m_mutex);
        auto node = std::make_shared<Node>();
        node->className = std::move(className);
        node->registryEntryID = registryEntryID ? registryEntryID : std::optional<std::uint64_t>(m_nextID++);
        node->parent = std::static_pointer_cast<const Node>(parent);
        node->properties = std::move(properties);
        m_nodes.push_back(node);
        return node;
    }

    // Objects are matched in the order their names were given.
    void setBSDName(const RegistryObjectRef& object, const std::string& name)
    {
        std::lock_guard lock(m_mutex);
        m_matches[name].push_back(object);
    }

    void failProperties(const RegistryObjectRef& object, std::optional<std::int32_t> status)
    {
        std::lock_guard lock(m_mutex);
        mutableNode(object).propertiesFailure = status;
    }

    // The device went away: it no longer matches and every read of it fails with ENODEV.
    void detach(const RegistryObjectRef& object)
    {
        std::lock_guard lock(m_mutex);
        mutableNode(object).detached = true;
        for (auto& [name, objects] : m_matches)
            std::erase(objects, object);
    }

    // Single-key reads of "Statistics" on the object answer from the script from now on.
    void scriptStatistics(const RegistryObjectRef& object, StatisticsScript script)
    {
        std::lock_guard lock(m_mutex);
        mutableNode(object).statisticsScript = std::move(script);
    }

    std::uint64_t statisticsReads(const RegistryObjectRef& object) const
    {
        std::lock_guard lock(m_mutex);
        return nodeOf(object).statisticsReads;
    }

    void failMatching(std::optional<RegistryMatchingFailure> failure)
    {
        std::lock_guard lock(m_mutex);
        m_matchingFailure = failure;
    }

    static RegistryDictionary statistics(
        std::uint64_t bytesRead, std::uint64_t bytesWritten, std::uint64_t reads, std::uint64_t writes)
    {
        RegistryDictionary counters;
        counters.set("Bytes (Read)", bytesRead);
        counters.set("Bytes (Write)", bytesWritten);
        counters.set("Operations (Read)", reads);
        counters.set("Operations (Write)", writes);
        return counters;
    }

    long outstandingReferences(const RegistryObjectRef& object) const
    {
        std::lock_guard lock(m_mutex);
        // The registry's own reference, and the caller's `object`, do not count.
        return object.use_count() - 2 - matchReferences(object);
    }

    int propertyCalls() const
    {
        std::lock_guard lock(m_mutex);
        return m_propertyCalls;
    }

    Expected<std::vector<RegistryObjectRef>, RegistryMatchingFailure> matchBSDName(
        std::string_view bsdName) override
    {
        std::lock_guard lock(m_mutex);
        if (m_matchingFailure)
            return Unexpected(*m_matchingFailure);
        if (auto found = m_matches.find(std::string(bsdName)); found != m_matches.end())
            return found->second;
        return std::vector<RegistryObjectRef> {};
    }

    std::optional<std::string> className(const RegistryObjectRef& object) override
    {
        std::lock_guard lock(m_mutex);
        const auto& node = nodeOf(object);
        if (node.className.empty())
            return std::nullopt;
        return node.className;
    }

    std::optional<std::uint64_t> registryEntryID(const RegistryObjectRef& object) override
    {
        std::lock_guard lock(m_mutex);
        return nodeOf(object).registryEntryID;
    }

    Expected<RegistryObjectRef, std::int32_t> parent(const RegistryObjectRef& object) override
    {
        std::lock_guard lock(m_mutex);
        if (auto parentNode = nodeOf(object).parent.lock())
            return RegistryObjectRef(parentNode);
        return Unexpected(registryStatusNoParent);
    }

    Expected<RegistryDictionary, std::int32_t> properties(const RegistryObjectRef& object) override
    {
        std::lock_guard lock(m_mutex);
        const auto& node = nodeOf(object);
        if (node.detached)
            return Unexpected(std::int32_t { 19 }); // ENODEV
        if (node.propertiesFailure)
            return Unexpected(*node.propertiesFailure);
        return node.properties;
    }

    Expected<std::optional<RegistryValue>, std::int32_t> property(
        const RegistryObjectRef& object, std::string_view key) override
    {
        std::lock_guard lock(m_mutex);
        ++m_propertyCalls;
        const auto& node = nodeOf(object);
        if (node.detached)
            return Unexpected(std::int32_t { 19 });
        if (node.propertiesFailure)
            return Unexpected(*node.propertiesFailure);
        if (key == "Statistics" && node.statisticsScript) {
            auto counters = node.statisticsScript(mutableNode(object).statisticsReads++);
            return std::optional<RegistryValue>(statistics(counters.bytesRead, counters.bytesWritten,
                counters.readOperations, counters.writeOperations));
        }
        if (const auto* value = node.properties.find(key))
            return std::optional<RegistryValue>(*value);
        return std::optional<RegistryValue> {};
    }

private:
    static const Node& nodeOf(const RegistryObjectRef& object) { return static_cast<const Node&>(*object); }
    static Node& mutableNode(const RegistryObjectRef& object) { return const_cast<Node&>(nodeOf(object)); }

    long matchReferences(const RegistryObjectRef& object) const
    {
        long count = 0;
        for (const auto& [name, objects] : m_matches)
            count += std::count(objects.begin(), objects.end(), object);
        return count;
    }

    mutable std::mutex m_mutex;
    std::vector<std::shared_ptr<Node>> m_nodes;
    std::map<std::string, std::vector<RegistryObjectRef>> m_matches;
    std::optional<RegistryMatchingFailure> m_matchingFailure;
    std::uint64_t m_nextID { 0x100000100 };
    int m_propertyCalls { 0 };
};

}
