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
