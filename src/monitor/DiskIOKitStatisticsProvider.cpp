#include "monitor/DiskIOKitStatisticsProvider.h"

#include <fmt/format.h>
#include <utility>

namespace tallowin {

namespace {

const Logger& logger()
{
    static const Logger instance(std::string(applicationLogSubsystem), "DiskIOKitStatistics");
    return instance;
}

std::string joinKeys(const std::vector<std::string>& keys)
{
    return fmt::format("{}", fmt::join(keys, ", "));
}

// Two handles name the same object when they are the same handle or carry the same registry
// entry ID; a registry may hand out a fresh handle for an object it was asked about before.
bool isSameObject(DeviceRegistry& registry, const RegistryObjectRef& a, const RegistryObjectRef& b)
{
    if (a == b)
        return true;
    auto first = registry.registryEntryID(a);
    return first && first == registry.registryEntryID(b);
}

}

using Session = DiskIOKitStatisticsProvider::StatisticsSession;

Session::StatisticsSession(
    std::shared_ptr<DeviceRegistry> registry, DiskVolumeDescriptor descriptor, ServiceList services)
    : m_registry(std::move(registry))
    , m_descriptor(std::move(descriptor))
    , m_cachedServices(std::in_place, std::make_shared<const ServiceList>(std::move(services)))
{ }

Session::~StatisticsSession()
{
    auto taken = m_cachedServices.withLocked([](auto& cached) { return std::exchange(cached, nullptr); });
    // The handles are released here, outside the lock.
    taken.reset();
}

Expected<std::unique_ptr<Session>, MonitorError> Session::create(
    std::shared_ptr<DeviceRegistry> registry, const DiskVolumeDescriptor& descriptor)
{
    auto matching = fullMatching(*registry, descriptor.bsdName);
    if (!matching)
        return Unexpected(matching.error());
    return std::unique_ptr<Session>(new Session(std::move(registry), descriptor, std::move(matching->found)));
}

std::vector<DiskIOKitStatisticsProvider::CachedIOService> Session::cachedServices() const
{
    return m_cachedServices.withLocked([](const auto& cached) { return cached ? *cached : ServiceList {}; });
}

Expected<DiskIOKitStatisticsProvider::Snapshot, MonitorError> Session::readSnapshot()
{
    auto cached = m_cachedServices.withLocked([](const auto& current) { return current; });
    if (cached) {
        for (const auto& entry : *cached) {
            if (auto snapshot = readStatistics(*m_registry, entry.service, entry.description))
                return *snapshot;
        }
    }

    logger().info(
        "Cached IOService entries for BSD name {} failed; rebuilding matching cache", m_descriptor.bsdName);
    auto matching = fullMatching(*m_registry, m_descriptor.bsdName);
    if (!matching)
        return Unexpected(matching.error()); // The old entries stay and are tried again next time.
    auto rebuilt = std::make_shared<const ServiceList>(std::move(matching->found));
    rebuilt = m_cachedServices.withLocked(
        [&](auto& current) { return std::exchange(current, std::move(rebuilt)); });
    // `rebuilt` now holds the old list; the last references to its handles go with it, unless
    // `cached` still has them, and both are dropped outside the lock.
    rebuilt.reset();
    cached.reset();
    return matching->first;
}

Expected<Session::Matching, MonitorError> Session::fullMatching(
    DeviceRegistry& registry, const std::string& bsdName)
{
    auto matched = registry.matchBSDName(bsdName);
    if (!matched) {
        const auto& failure = matched.error();
        if (failure.kind == RegistryMatchingFailure::Kind::requestNotCreated) {
            logger().error("IOBSDNameMatching returned nil for BSD name {}", bsdName);
            return Unexpected(MonitorError::matchingFailed(registryStatusNoResources));
        }
        logger().error(
            "IOServiceGetMatchingServices failed for BSD name {} with code {}", bsdName, failure.status);
        return Unexpected(MonitorError::matchingFailed(failure.status));
    }

    ServiceList found;
    std::optional<Snapshot> first;
    for (auto& object : *matched) {
        auto description = serviceDescription(registry, object);
        logger().debug("Inspecting IOService {} for BSD name {}", description, bsdName);
        auto statistics = findStatistics(registry, object, description, bsdName);
        if (!statistics) {
            logger().debug("No statistics located in IOService chain rooted at {}; advancing to next match "
                           "for BSD name {}",
                description, bsdName);
        } else {
            bool seen = false;
            for (const auto& entry : found) {
                if (isSameObject(registry, entry.service, statistics->service)) {
                    seen = true;
                    break;
                }
            }
            // A second path to an object already found only drops its extra reference.
            if (!seen)
                found.push_back({ std::move(statistics->service), std::move(statistics->description) });
            if (!first)
                first = statistics->snapshot;
        }
        object.reset(); // The iterated object is released as soon as it has been inspected.
    }

    if (first && !found.empty())
        return Matching { *first, std::move(found) };
    logger().error(
        "statisticsUnavailable triggered because no IOService yielded statistics for BSD name {}", bsdName);
    return Unexpected(MonitorError { MonitorError::Kind::statisticsUnavailable });
}

std::optional<Session::Found> Session::findStatistics(DeviceRegistry& registry,
    const RegistryObjectRef& matched, const std::string& matchedDescription, const std::string& bsdName)
{
    long depth = 0;
    RegistryObjectRef current = matched;
    std::string description = matchedDescription;
    for (;;) {
        if (depth > 0)
            description += fmt::format(" (ancestor depth {})", depth);
        if (auto snapshot = readStatistics(registry, current, description)) {
            if (depth == 0)
                logger().debug(
                    "Statistics resolved directly from IOService {} for BSD name {}", description, bsdName);
            else
                logger().debug("Statistics resolved from ancestor depth {} -> {} for BSD name {}", depth,
                    description, bsdName);
            return Found { *snapshot, std::move(current), std::move(description) };
        }
        auto parent = registry.parent(current);
        if (!parent) {
            logger().debug("Traversal terminated at IOService {} for BSD name {}; no further ancestors "
                           "available (kresult={})",
                description, bsdName, parent.error());
            return std::nullopt;
        }
        auto parentDescription = serviceDescription(registry, *parent);
        logger().debug(
            "Ascending to ancestor depth {} -> {} for BSD name {}", depth + 1, parentDescription, bsdName);
        ++depth;
        current = std::move(*parent);
        description = std::move(parentDescription);
    }
}

std::optional<DiskIOKitStatisticsProvider::Snapshot> Session::readStatistics(
    DeviceRegistry& registry, const RegistryObjectRef& object, const std::string& description)
{
    // The hot path: the typed read neither builds the dictionary nor allocates.
    auto counters = registry.readStatistics(object);
    if (!counters) {
        logger().error(
            "IORegistryEntryCreateCFProperties failed for {}; kresult={}", description, counters.error());
        return std::nullopt;
    }
    if (*counters) {
        const auto& read = **counters;
        logger().debug("Read statistics snapshot from {}: bytesRead={}, bytesWritten={}, reads={}, writes={}",
            description, read.bytesRead, read.bytesWritten, read.readOperations, read.writeOperations);
        return read;
    }

    // No complete counters here: the dictionary tells what there is instead, for the log.
    auto value = registry.property(object, statisticsKey);
    if (!value) {
        logger().error(
            "IORegistryEntryCreateCFProperties failed for {}; kresult={}", description, value.error());
        return std::nullopt;
    }
    const RegistryDictionary* statistics = *value ? (*value)->dictionary() : nullptr;
    if (!statistics) {
        // The ordinary case below the driver object: the walk goes on upwards. Listing the
        // object's keys costs a full property read, worth it only when someone keeps the line.
        if (logger().isEnabled(LogLevel::Debug)) {
            auto properties = registry.properties(object);
            if (!properties) {
                logger().error("IORegistryEntryCreateCFProperties failed for {}; kresult={}", description,
                    properties.error());
                return std::nullopt;
            }
            logger().debug("Statistics dictionary missing on {}; available keys: [{}]", description,
                joinKeys(properties->keys()));
        }
        return std::nullopt;
    }

    auto counter = [statistics](std::string_view key) -> std::optional<std::uint64_t> {
        const auto* entry = statistics->find(key);
        if (!entry || !entry->number())
            return std::nullopt;
        return entry->number()->asUnsigned();
    };
    auto bytesRead = counter(bytesReadKey);
    auto bytesWritten = counter(bytesWrittenKey);
    auto reads = counter(readOperationsKey);
    auto writes = counter(writeOperationsKey);
    if (bytesRead && bytesWritten && reads && writes) {
        logger().debug("Read statistics snapshot from {}: bytesRead={}, bytesWritten={}, reads={}, writes={}",
            description, *bytesRead, *bytesWritten, *reads, *writes);
        return Snapshot { *bytesRead, *bytesWritten, *reads, *writes };
    }

    std::vector<std::string> missing;
    for (auto key : { bytesReadKey, bytesWrittenKey, readOperationsKey, writeOperationsKey }) {
        if (!statistics->find(key))
            missing.emplace_back(key);
    }
    logger().error("Statistics dictionary on {} missing expected numeric keys [{}]; available keys: [{}]",
        description, joinKeys(missing), joinKeys(statistics->keys()));
    return std::nullopt;
}

}
