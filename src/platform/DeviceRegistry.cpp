#include "platform/DeviceRegistry.h"

#include <fmt/format.h>

namespace tallowin {

std::string serviceDescription(DeviceRegistry& registry, const RegistryObjectRef& object)
{
    auto description = registry.className(object).value_or("UnknownIOService");
    if (auto identifier = registry.registryEntryID(object))
        description += fmt::format("#0x{:x}", *identifier);
    return description;
}

}

namespace tallowin {

std::optional<StatisticsSnapshot> statisticsFromDictionary(const RegistryDictionary& statistics)
{
    auto counter = [&](std::string_view key) -> std::optional<std::uint64_t> {
        const auto* entry = statistics.find(key);
        if (!entry || !entry->number())
            return std::nullopt;
        return entry->number()->asUnsigned();
    };
    auto bytesRead = counter("Bytes (Read)");
    auto bytesWritten = counter("Bytes (Write)");
    auto reads = counter("Operations (Read)");
    auto writes = counter("Operations (Write)");
    if (!bytesRead || !bytesWritten || !reads || !writes)
        return std::nullopt;
    return StatisticsSnapshot { *bytesRead, *bytesWritten, *reads, *writes };
}

Expected<std::optional<StatisticsSnapshot>, std::int32_t> DeviceRegistry::readStatistics(
    const RegistryObjectRef& object)
{
    auto value = property(object, "Statistics");
    if (!value)
        return Unexpected(value.error());
    const RegistryDictionary* statistics = *value ? (*value)->dictionary() : nullptr;
    if (!statistics)
        return std::optional<StatisticsSnapshot> {};
    return statisticsFromDictionary(*statistics);
}

}
