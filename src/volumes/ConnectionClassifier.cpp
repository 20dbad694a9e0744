#include "volumes/ConnectionClassifier.h"

#include "core/Formatting.h"
#include "core/Language.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <cmath>
#include <fmt/format.h>

namespace tallowin::ConnectionClassifier {

using Formatting::trimmed;

namespace {

using namespace std::string_view_literals;

constexpr std::array linkSpeedNames { "link-speed"sv, "LinkSpeed"sv, "linkSpeed"sv, "link-rate"sv,
    "linkRate"sv, "LinkRate"sv, "physical-link-rate"sv, "PhysicalLinkRate"sv, "Physical Link Rate"sv,
    "CurrentLinkSpeed"sv, "current-link-speed"sv, "NegotiatedLinkSpeed"sv, "NegotiatedLinkRate"sv,
    "MaxLinkSpeed"sv, "MaxLinkRate"sv, "maximum-link-speed"sv, "IOPCIExpressLinkSpeed"sv,
    "IOPCIExpressLinkRate"sv, "IOPCIExpressLinkMaxLinkSpeed"sv, "IOPCILinkSpeed"sv, "IOPCILinkRate"sv,
    "PCIeLinkSpeed"sv, "PCIeLinkRate"sv };
constexpr std::array linkDescriptionNames { "LinkDescription"sv, "linkDescription"sv,
    "link_speed_description"sv };
constexpr std::array nestedValueNames { "value"sv, "Value"sv, "current"sv, "Current"sv, "rate"sv, "Rate"sv,
    "speed"sv, "Speed"sv };
constexpr std::array protocolDictionaryNames { "Protocol Characteristics"sv, "protocol characteristics"sv };
constexpr std::array usbSpeedCodeNames { "PortCurrentSpeed"sv, "PortMaximumSpeed"sv, "USBCurrentSpeed"sv,
    "kUSBCurrentSpeed"sv, "CurrentSpeed"sv };

struct UsbRow {
    std::string_view label;
    std::string_view speed;
};
constexpr std::array<UsbRow, 6> usbSpeedCodes { UsbRow { "USB 1.0", "1.5Mbps" },
    UsbRow { "USB 1.1", "12Mbps" }, UsbRow { "USB 2.0", "480Mbps" }, UsbRow { "USB 3.0", "5Gbps" },
    UsbRow { "USB 3.1 Gen2", "10Gbps" }, UsbRow { "USB 3.2 Gen2x2", "20Gbps" } };

struct UsbWords {
    std::array<std::string_view, 6> words;
    std::size_t code;
};
constexpr std::array<UsbWords, 5> usbSpeedWords {
    UsbWords { { "superspeedplus", "superspeed+", "usb4", "usb 4", "usb4.0" }, 5 },
    UsbWords { { "superspeed", "usb3", "usb 3", "usb3.0", "usb 3.0" }, 3 },
    UsbWords { { "highspeed", "high-speed", "usb2", "usb 2", "usb2.0", "usb 2.0" }, 2 },
    UsbWords { { "fullspeed", "full-speed" }, 1 },
    UsbWords { { "lowspeed", "low-speed" }, 0 },
};

std::string lowercased(std::string_view text)
{
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(),
        [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b)
{
    return lowercased(a) == lowercased(b);
}

LinkInfo usbRow(std::size_t code)
{
    return { std::string(usbSpeedCodes[code].label), std::string(usbSpeedCodes[code].speed) };
}

std::optional<LinkInfo> usbRowForNumber(const RegistryValue* value)
{
    if (!value || !value->number() || !value->number()->isFinite())
        return std::nullopt;
    auto code = value->number()->asInteger();
    if (code < 0 || code > 5)
        return std::nullopt;
    return usbRow(static_cast<std::size_t>(code));
}

std::optional<LinkInfo> usbRowForWords(const RegistryValue* value)
{
    if (!value || !value->text())
        return std::nullopt;
    auto word = lowercased(trimmed(*value->text()));
    for (const auto& row : usbSpeedWords) {
        if (std::find(row.words.begin(), row.words.end(), word) != row.words.end() && !word.empty())
            return usbRow(row.code);
    }
    return std::nullopt;
}

std::optional<LinkInfo> usbPropertyRule(const RegistryDictionary& properties)
{
    if (auto row = usbRowForNumber(properties.find("Device Speed")))
        return row;
    for (auto name : usbSpeedCodeNames) {
        if (auto row = usbRowForNumber(properties.find(name)))
            return row;
    }
    if (auto row = usbRowForWords(properties.find("PortCurrentSpeed")))
        return row;
    return usbRowForWords(properties.find("PortMaximumSpeed"));
}

std::optional<double> positiveFiniteNumber(const RegistryValue* value)
{
    if (!value || !value->number() || !value->number()->isFinite())
        return std::nullopt;
    double x = value->number()->asDouble();
    if (!(x > 0))
        return std::nullopt;
    return x;
}

std::optional<std::string> searchInterconnect(const RegistryValue& value, int depth)
{
    if (depth > 5)
        return std::nullopt;
    if (const auto* text = value.text()) {
        auto type = trimmed(*text);
        if (type.empty())
            return std::nullopt;
        return std::string(type);
    }
    if (const auto* dictionary = value.dictionary()) {
        if (const auto* interconnect = dictionary->find("Physical Interconnect");
            interconnect && interconnect->text()) {
            auto type = trimmed(*interconnect->text());
            if (!type.empty())
                return std::string(type);
        }
        for (std::size_t i = 0; i < dictionary->size(); ++i) {
            if (auto found = searchInterconnect(dictionary->valueAt(i), depth + 1))
                return found;
        }
        return std::nullopt;
    }
    if (const auto* array = value.array()) {
        for (const auto& element : *array) {
            if (auto found = searchInterconnect(element, depth + 1))
                return found;
        }
    }
    return std::nullopt;
}

struct ThunderboltRow {
    std::string_view english;
    std::string_view chinese;
    std::string_view speed;
};
constexpr std::array<ThunderboltRow, 4> thunderboltGenerations {
    ThunderboltRow { "Thunderbolt 1", "雷雳 1", "10Gbps" },
    ThunderboltRow { "Thunderbolt 2", "雷雳 2", "20Gbps" },
    ThunderboltRow { "Thunderbolt 3", "雷雳 3", "40Gbps" },
    ThunderboltRow { "Thunderbolt 4", "雷雳 4", "40Gbps" },
};

LinkInfo thunderboltRow(std::int64_t generation)
{
    if (generation >= 1 && generation <= 4) {
        const auto& row = thunderboltGenerations[static_cast<std::size_t>(generation - 1)];
        return { localized(row.english, row.chinese), std::string(row.speed) };
    }
    return { localized("Thunderbolt", "雷雳"), std::nullopt };
}

} // namespace

std::string numberText(double value)
{
    if (!std::isfinite(value))
        return fmt::format("{:.2f}", value);
    auto text = fmt::format("{:.2f}", value);
    // Two fraction digits at most, trailing zeros dropped: 2.50 → 2.5, 8.00 → 8.
    while (text.back() == '0')
        text.pop_back();
    if (text.back() == '.')
        text.pop_back();
    if (text == "-0")
        text = "0";
    return text;
}

std::string numericSpeedText(double x)
{
    if (x >= 1'000'000) {
        static constexpr std::array<std::pair<double, std::string_view>, 4> units { std::pair {
                                                                                        1e12, "Tbps"sv },
            std::pair { 1e9, "Gbps"sv }, std::pair { 1e6, "Mbps"sv }, std::pair { 1e3, "Kbps"sv } };
        for (auto [size, unit] : units) {
            if (size <= x)
                return numberText(x / size) + std::string(unit);
        }
        return numberText(x) + "bps";
    }
    if (x <= 128)
        return numberText(x) + "Gbps";
    if (x >= 1000)
        return numberText(x / 1000) + "Mbps";
    return numberText(x);
}

std::optional<std::string> speedText(std::string_view text)
{
    auto value = trimmed(text);
    if (value.empty())
        return std::nullopt;
    auto lower = lowercased(value);
    if (lower.find("bps") != std::string::npos || lower.find("gt/s") != std::string::npos)
        return std::string(value);
    // A plain decimal number: digits with at most one point, optionally signed.
    auto digits = value;
    if (digits.front() == '+' || digits.front() == '-')
        digits.remove_prefix(1);
    bool isDecimal = !digits.empty() && digits.find_first_not_of("0123456789.") == std::string_view::npos
        && std::count(digits.begin(), digits.end(), '.') <= 1 && digits != ".";
    if (isDecimal) {
        double number = 0;
        auto start = value.front() == '+' ? value.data() + 1 : value.data();
        auto [end, error]
            = std::from_chars(start, value.data() + value.size(), number, std::chars_format::fixed);
        if (error == std::errc {} && end == value.data() + value.size() && std::isfinite(number))
            return numberText(number) + "Gbps";
    }
    return std::string(value);
}

std::optional<std::string> interconnectType(const RegistryDictionary& properties)
{
    if (const auto* interconnect = properties.find("Physical Interconnect");
        interconnect && interconnect->text()) {
        auto type = trimmed(*interconnect->text());
        if (!type.empty())
            return std::string(type);
    }
    for (auto name : protocolDictionaryNames) {
        if (const auto* protocol = properties.find(name)) {
            if (auto type = searchInterconnect(*protocol, 0))
                return type;
        }
    }
    return std::nullopt;
}

std::optional<std::string> speedOfDictionary(const RegistryDictionary& properties, int depth)
{
    if (depth >= 3)
        return std::nullopt;
    for (auto name : linkSpeedNames) {
        if (auto x = positiveFiniteNumber(properties.find(name)))
            return numericSpeedText(*x);
    }
    auto textRule = [&](std::string_view name) -> std::optional<std::string> {
        if (const auto* value = properties.find(name); value && value->text())
            return speedText(*value->text());
        return std::nullopt;
    };
    for (auto name : linkSpeedNames) {
        if (auto speed = textRule(name))
            return speed;
    }
    for (auto name : linkDescriptionNames) {
        if (auto speed = textRule(name))
            return speed;
    }
    for (auto name : linkSpeedNames) {
        const auto* nested = properties.find(name);
        if (!nested || !nested->dictionary())
            continue;
        for (auto valueName : nestedValueNames) {
            const auto* value = nested->dictionary()->find(valueName);
            if (auto x = positiveFiniteNumber(value))
                return numericSpeedText(*x);
            if (value && value->text()) {
                if (auto speed = speedText(*value->text()))
                    return speed;
            }
        }
    }
    if (depth != 2) {
        for (std::size_t i = 0; i < properties.size(); ++i) {
            if (const auto* nested = properties.valueAt(i).dictionary()) {
                if (auto speed = speedOfDictionary(*nested, depth + 1))
                    return speed;
            }
        }
    }
    return std::nullopt;
}

namespace {
std::optional<std::string> speedFromAncestorsAt(
    DeviceRegistry& registry, const RegistryObjectRef& object, int level)
{
    if (level >= 8)
        return std::nullopt;
    auto parent = registry.parent(object);
    if (!parent)
        return std::nullopt;
    if (auto properties = registry.properties(*parent)) {
        if (auto speed = speedOfDictionary(*properties, 0))
            return speed;
    }
    return speedFromAncestorsAt(registry, *parent, level + 1);
}
}

std::optional<std::string> speedFromAncestors(DeviceRegistry& registry, const RegistryObjectRef& object)
{
    return speedFromAncestorsAt(registry, object, 0);
}

std::optional<LinkInfo> usbLinkInfo(std::optional<std::int64_t> code, DeviceRegistry& registry,
    const RegistryObjectRef& object, const RegistryDictionary& properties)
{
    if (code && *code >= 0 && *code <= 5)
        return usbRow(static_cast<std::size_t>(*code));
    if (auto row = usbPropertyRule(properties))
        return row;
    RegistryObjectRef current = object;
    for (int step = 0; step < 6; ++step) {
        auto parent = registry.parent(current);
        if (!parent)
            break;
        current = std::move(*parent);
        if (auto ancestorProperties = registry.properties(current)) {
            if (auto row = usbPropertyRule(*ancestorProperties))
                return row;
        }
    }
    return std::nullopt;
}

std::optional<LinkInfo> thunderboltInfo(const RegistryDictionary& properties, int depth)
{
    if (depth > 6)
        return std::nullopt;
    for (auto name : { "ThunderboltGeneration"sv, "thunderbolt_version"sv }) {
        if (const auto* value = properties.find(name); value && value->number())
            return thunderboltRow(value->number()->asInteger());
    }
    for (std::size_t i = 0; i < properties.size(); ++i) {
        if (const auto* nested = properties.valueAt(i).dictionary()) {
            if (auto info = thunderboltInfo(*nested, depth + 1))
                return info;
        }
    }
    return std::nullopt;
}

std::optional<DiskVolumeResolver::ConnectionMetadata> classify(
    DeviceRegistry& registry, const RegistryObjectRef& object)
{
    auto properties = registry.properties(object);
    if (!properties)
        return std::nullopt;
    const auto& p = *properties;

    auto speed = speedOfDictionary(p, 0);
    if (!speed)
        speed = speedFromAncestors(registry, object);
    auto identity = DiskVolumeResolver::hardwareIdentity(registry, object, p);
    auto type = interconnectType(p);

    if (!type) {
        if (speed || identity.vendor || identity.model)
            return DiskVolumeResolver::ConnectionMetadata { localized("Unknown", "未知"), speed,
                identity.vendor, identity.model };
        return std::nullopt;
    }
    if (equalsIgnoringCase(*type, "USB")) {
        std::optional<std::int64_t> code;
        if (const auto* deviceSpeed = p.find("Device Speed"); deviceSpeed && deviceSpeed->number())
            code = deviceSpeed->number()->asInteger();
        auto usb = usbLinkInfo(code, registry, object, p);
        return DiskVolumeResolver::ConnectionMetadata { usb ? usb->label : "USB",
            speed ? speed : (usb ? usb->speed : std::nullopt), identity.vendor, identity.model };
    }
    if (equalsIgnoringCase(*type, "Thunderbolt")) {
        auto thunderbolt = thunderboltInfo(p, 0);
        return DiskVolumeResolver::ConnectionMetadata {
            thunderbolt ? thunderbolt->label : localized("Thunderbolt", "雷雳"),
            speed ? speed : (thunderbolt ? thunderbolt->speed : std::nullopt), identity.vendor, identity.model
        };
    }
    if (lowercased(*type).find("pci") != std::string::npos)
        return DiskVolumeResolver::ConnectionMetadata { "PCIe", speed, identity.vendor, identity.model };
    return DiskVolumeResolver::ConnectionMetadata { *type, speed, identity.vendor, identity.model };
}

}
