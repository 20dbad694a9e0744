#pragma once

#include "platform/DeviceRegistry.h"
#include "volumes/DiskVolumeResolver.h"

#include <optional>
#include <string>
#include <string_view>

namespace tallowin {

// The per-object connection rule: reads one registry object (and, for speeds, USB codes,
// vendor and model, some of its ancestors) and says how it is attached and how fast.
namespace ConnectionClassifier {

// Nothing when the object's properties cannot be read, or when it has no connection type,
// no speed and neither vendor nor model (the caller then tries its parent).
std::optional<DiskVolumeResolver::ConnectionMetadata> classify(DeviceRegistry&, const RegistryObjectRef&);

struct LinkInfo {
    std::string label;
    std::optional<std::string> speed;

    friend bool operator==(const LinkInfo&, const LinkInfo&) = default;
};

// The connection type named by a property dictionary ("Physical Interconnect", or the first
// text inside a protocol characteristics dictionary).
std::optional<std::string> interconnectType(const RegistryDictionary&);
// A link speed found in the dictionary or its nested dictionaries (up to depth 2).
std::optional<std::string> speedOfDictionary(const RegistryDictionary&, int depth = 0);
// A link speed found on up to eight ancestors.
std::optional<std::string> speedFromAncestors(DeviceRegistry&, const RegistryObjectRef&);
std::optional<LinkInfo> usbLinkInfo(
    std::optional<std::int64_t> code, DeviceRegistry&, const RegistryObjectRef&, const RegistryDictionary&);
std::optional<LinkInfo> thunderboltInfo(const RegistryDictionary&, int depth = 0);

// 5e9 → "5Gbps", 8 → "8Gbps", 5000 → "5Mbps", 480 → "480".
std::string numericSpeedText(double bitsOrGigabits);
// Texts with a unit stay as written; a bare number is taken as Gbps.
std::optional<std::string> speedText(std::string_view);
// Decimal, at least one integer digit, at most two fraction digits, no grouping.
std::string numberText(double);

}

}
