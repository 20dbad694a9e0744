#include "smart/SmartmontoolsBridge.h"

#include "core/Formatting.h"
#include "core/Language.h"
#include "core/Log.h"
#include "smart/SMARTKeyCatalog.h"

#include <algorithm>
#include <array>
#include <fmt/format.h>
#include <string_view>
#include <utility>
#include <vector>

namespace tallowin::SmartmontoolsBridge {

namespace {

using json = nlohmann::json;
using Detail = DiskSMARTInfo::Detail;

const Logger& logger()
{
    static const Logger instance { std::string(applicationLogSubsystem), "SmartmontoolsBridge" };
    return instance;
}

constexpr std::string_view nameSeparator = " \u203A ";

bool isValidUtf8(std::string_view text)
{
    std::size_t i = 0;
    while (i < text.size()) {
        auto byte = static_cast<unsigned char>(text[i]);
        std::size_t length = 0;
        std::uint32_t codePoint = 0;
        if (byte < 0x80) {
            ++i;
            continue;
        } else if ((byte & 0xE0) == 0xC0) {
            length = 2;
            codePoint = byte & 0x1F;
        } else if ((byte & 0xF0) == 0xE0) {
            length = 3;
            codePoint = byte & 0x0F;
        } else if ((byte & 0xF8) == 0xF0) {
            length = 4;
            codePoint = byte & 0x07;
        } else {
            return false;
        }
        if (i + length > text.size())
            return false;
        for (std::size_t k = 1; k < length; ++k) {
            auto continuation = static_cast<unsigned char>(text[i + k]);
            if ((continuation & 0xC0) != 0x80)
                return false;
            codePoint = (codePoint << 6) | (continuation & 0x3F);
        }
        // Overlong forms, surrogates and values beyond Unicode are not UTF-8.
        static constexpr std::array<std::uint32_t, 5> smallest { 0, 0, 0x80, 0x800, 0x10000 };
        if (codePoint < smallest[length] || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF))
            return false;
        i += length;
    }
    return true;
}

std::string base64(const Bytes& data)
{
    static constexpr std::string_view alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((data.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 2 < data.size(); i += 3) {
        std::uint32_t chunk = (std::uint32_t(data[i]) << 16) | (std::uint32_t(data[i + 1]) << 8) | data[i + 2];
        out += alphabet[(chunk >> 18) & 63];
        out += alphabet[(chunk >> 12) & 63];
        out += alphabet[(chunk >> 6) & 63];
        out += alphabet[chunk & 63];
    }
    if (i + 1 == data.size()) {
        std::uint32_t chunk = std::uint32_t(data[i]) << 16;
        out += alphabet[(chunk >> 18) & 63];
        out += alphabet[(chunk >> 12) & 63];
        out += "==";
    } else if (i + 2 == data.size()) {
        std::uint32_t chunk = (std::uint32_t(data[i]) << 16) | (std::uint32_t(data[i + 1]) << 8);
        out += alphabet[(chunk >> 18) & 63];
        out += alphabet[(chunk >> 12) & 63];
        out += alphabet[(chunk >> 6) & 63];
        out += '=';
    }
    return out;
}

std::string_view asText(const Bytes& data)
{
    return { reinterpret_cast<const char*>(data.data()), data.size() };
}

// Output that is not text still reaches the log, as Base64.
std::string outputText(const Bytes& data)
{
    if (data.empty())
        return {};
    auto text = asText(data);
    if (isValidUtf8(text))
        return std::string(text);
    return base64(data);
}

std::string lowercasedAscii(std::string_view text)
{
    std::string lowered(text);
    for (char& c : lowered) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return lowered;
}

void logStream(std::string_view bsdName, std::string_view streamName, const Bytes& data)
{
    auto text = outputText(data);
    if (text.empty())
        logger().info("smartctl {} for BSD name {} was empty", streamName, bsdName);
    else
        logger().info("smartctl {} for BSD name {}: {}", streamName, bsdName, text);
}

void collectMessages(const json& container, std::vector<const json*>& messages)
{
    auto found = container.find("messages");
    if (found == container.end() || !found->is_array())
        return;
    for (const auto& message : *found) {
        if (message.is_object())
            messages.push_back(&message);
    }
}

std::string groupedDigits(std::string_view digits)
{
    std::string out;
    out.reserve(digits.size() + digits.size() / 3);
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0)
            out += ',';
        out += digits[i];
    }
    return out;
}

// Lookups and names as the walk goes: a key path and a display name, with the catalogue's name
// taking the place of the composed one where it knows the path.
struct Flattener {
    std::vector<Detail> rows;

    static std::string nameFor(std::string composedName, const SMARTKeyDescriptor* row)
    {
        return row ? row->localizedName() : std::move(composedName);
    }

    void value(const std::string& keyPath, const std::string& displayName, const json& node, std::size_t depth)
    {
        if (node.is_object()) {
            object(keyPath, displayName, node, depth + 1);
        } else if (node.is_array()) {
            array(keyPath, displayName, node, depth + 1);
        } else {
            auto rendered = render(node);
            if (rendered.empty())
                return;
            const auto* row = SMARTKeyCatalog::descriptor(keyPath);
            if (row && !row->shouldDisplay)
                return;
            rows.push_back({ Uuid::random(), keyPath, displayName, std::move(rendered) });
        }
    }

    void object(const std::string& keyPath, const std::string& displayName, const json& node, std::size_t depth)
    {
        if (depth > maximumNestingDepth)
            return;
        for (const auto& [keyPointer, member] : members(node)) {
            const auto& key = *keyPointer;
            std::string memberPath = keyPath;
            memberPath += '.';
            memberPath += key;
            std::string composed = displayName;
            composed += nameSeparator;
            composed += SMARTKeyCatalog::fallbackName(key);
            auto name = nameFor(std::move(composed), SMARTKeyCatalog::descriptor(memberPath));
            value(memberPath, name, *member, depth);
        }
    }

    void array(const std::string& keyPath, const std::string& displayName, const json& node, std::size_t depth)
    {
        if (depth > maximumNestingDepth)
            return;
        std::vector<std::string> plainValues;
        std::size_t position = 0;
        for (const auto& element : node) {
            auto elementPath = fmt::format("{}[{}]", keyPath, position);
            auto elementName = nameFor(fmt::format("{} #{}", displayName, position + 1),
                SMARTKeyCatalog::descriptor(elementPath));
            ++position;
            if (element.is_object()) {
                object(elementPath, elementName, element, depth + 1);
            } else if (element.is_array()) {
                array(elementPath, elementName, element, depth + 1);
            } else {
                auto rendered = render(element);
                if (!rendered.empty())
                    plainValues.push_back(std::move(rendered));
            }
        }
        if (plainValues.empty())
            return;
        const auto* row = SMARTKeyCatalog::descriptor(keyPath);
        if (row && !row->shouldDisplay)
            return;
        std::string joined;
        for (const auto& plain : plainValues) {
            if (!joined.empty())
                joined += ", ";
            joined += plain;
        }
        rows.push_back({ Uuid::random(), keyPath, row ? row->localizedName() : displayName, std::move(joined) });
    }

    static std::vector<std::pair<const std::string*, const json*>> members(const json& node)
    {
        std::vector<std::pair<const std::string*, const json*>> out;
        out.reserve(node.size());
        for (auto it = node.begin(); it != node.end(); ++it)
            out.emplace_back(&it.key(), &it.value());
        std::stable_sort(out.begin(), out.end(),
            [](const auto& a, const auto& b) { return collatesBefore(*a.first, *b.first); });
        return out;
    }
};

}

std::optional<DiskSMARTInfo> fetchSMARTInfo(std::string_view bsdName, SmartctlResultSource& source)
{
    if (!source.allowsPrivilegedOperations()) {
        logger().info("Privileged operations disabled; skipping smartctl request for BSD name {}", bsdName);
        return std::nullopt;
    }
    logger().debug("Requesting SMART info from privileged helper for BSD name {}", bsdName);
    auto result = source.fetchSMARTData(bsdName);
    if (!result) {
        logger().error("Privileged helper failed to provide SMART data for BSD name {}", bsdName);
        return std::nullopt;
    }
    return parse(*result, bsdName);
}

void logRun(const SmartctlExecutionResult& result, std::string_view bsdName)
{
    if (result.terminationStatus == 0)
        logger().info("smartctl exited with status 0 for BSD name {}; command: {}", bsdName, result.commandDescription);
    else
        logger().error("smartctl exited with status {} for BSD name {}; continuing to parse command: {}",
            result.terminationStatus, bsdName, result.commandDescription);
    logStream(bsdName, "stdout", result.jsonData);
    logStream(bsdName, "stderr", result.standardError);

    if (result.jsonData.empty())
        return;
    auto root = json::parse(asText(result.jsonData), nullptr, false);
    if (!root.is_object())
        return;
    std::vector<const json*> messages;
    collectMessages(root, messages);
    if (auto smartctl = root.find("smartctl"); smartctl != root.end() && smartctl->is_object())
        collectMessages(*smartctl, messages);
    for (const auto* message : messages) {
        auto text = message->find("string");
        if (text == message->end() || !text->is_string() || text->get_ref<const std::string&>().empty())
            continue;
        std::string severity = "notice";
        if (auto given = message->find("severity"); given != message->end() && given->is_string())
            severity = given->get<std::string>();
        auto line = fmt::format("smartctl reported message (severity: {}) for command {}: {}", severity,
            result.commandDescription, text->get_ref<const std::string&>());
        auto lowered = lowercasedAscii(severity);
        bool serious = lowered == "error" || lowered == "fatal" || lowered == "critical" || lowered == "warning"
            || lowered == "warn";
        logger().log(serious ? LogLevel::Error : LogLevel::Default, "{}", line);
    }
}

std::optional<DiskSMARTInfo> parse(const SmartctlExecutionResult& result, std::string_view bsdName)
{
    logRun(result, bsdName);
    auto root = json::parse(asText(result.jsonData), nullptr, false);
    if (!root.is_object()) {
        logger().error("Failed to decode smartctl JSON for BSD name {}", bsdName);
        return std::nullopt;
    }
    DiskSMARTInfo info;
    info.overallStatus = overallStatus(root);
    info.isCapable = capability(root);
    info.details = flatten(root);
    if (!info.overallStatus && !info.isCapable && info.details.empty()) {
        logger().error("smartctl JSON for BSD name {} did not contain usable SMART information", bsdName);
        return std::nullopt;
    }
    info.sourceCommand = result.commandDescription;
    logger().info("Successfully parsed SMART details for BSD name {} via privileged helper", bsdName);
    return info;
}

std::optional<std::string> overallStatus(const nlohmann::json& root)
{
    if (auto status = root.find("smart_status"); status != root.end() && status->is_object()) {
        if (auto text = status->find("string"); text != status->end() && text->is_string()) {
            const auto& string = text->get_ref<const std::string&>();
            if (!Formatting::trimmed(string).empty())
                return string;
        }
        if (auto passed = status->find("passed"); passed != status->end() && passed->is_boolean())
            return passed->get<bool>() ? "PASSED" : "FAILED";
    }
    if (auto log = root.find("nvme_smart_health_information_log"); log != root.end() && log->is_object()) {
        if (auto warning = log->find("critical_warning"); warning != log->end()) {
            auto rendered = render(*warning);
            if (!rendered.empty())
                return fmt::format("NVMe Warning: {}", rendered);
        }
    }
    return std::nullopt;
}

std::optional<bool> capability(const nlohmann::json& root)
{
    auto booleanMember = [](const json& object, const char* key) -> std::optional<bool> {
        auto found = object.find(key);
        if (found != object.end() && found->is_boolean())
            return found->get<bool>();
        return std::nullopt;
    };
    if (auto support = root.find("smart_support"); support != root.end() && support->is_object()) {
        if (auto available = booleanMember(*support, "available"))
            return available;
        if (auto enabled = booleanMember(*support, "enabled"))
            return enabled;
    }
    if (auto data = root.find("ata_smart_data"); data != root.end() && data->is_object()) {
        if (auto capabilities = data->find("capabilities");
            capabilities != data->end() && capabilities->is_object()) {
            if (auto capable = booleanMember(*capabilities, "smart_capable"))
                return capable;
            if (auto supports = booleanMember(*capabilities, "supports_smart"))
                return supports;
        }
    }
    return std::nullopt;
}

std::string render(const nlohmann::json& value)
{
    switch (value.type()) {
    case json::value_t::string:
        return std::string(Formatting::trimmed(value.get_ref<const std::string&>()));
    case json::value_t::boolean:
        return localized(value.get<bool>() ? "Yes" : "No", value.get<bool>() ? "是" : "否");
    case json::value_t::number_unsigned:
        // Counters above 2^53 must keep every digit, so integers never pass through a double.
        return groupedDigits(std::to_string(value.get<std::uint64_t>()));
    case json::value_t::number_integer: {
        auto number = value.get<std::int64_t>();
        if (number >= 0)
            return groupedDigits(std::to_string(number));
        auto magnitude = std::to_string(number).substr(1);
        return fmt::format("-{}", groupedDigits(magnitude));
    }
    case json::value_t::number_float:
        return Formatting::groupedDecimal(value.get<double>(), 2);
    case json::value_t::binary:
    case json::value_t::discarded:
        return {};
    case json::value_t::null:
    case json::value_t::object:
    case json::value_t::array:
        break;
    }
    return value.dump();
}

int priority(std::string_view keyPath, std::string_view displayName)
{
    static const std::array<std::vector<std::string_view>, 11> groups { {
        { "serial_number", "serial number", "序列号" },
        { "model_name", "model name", "device name", "信息名称", "型号" },
        { "firmware_version", "firmware version", "固件", "fw" },
        { "smart_status", "overall-health", "overall health", "health status", "smart 状态", "smart状态", "健康状态" },
        { "temperature", "thermal", "温度", "temp" },
        { "data_units_written", "host_writes", "bytes_written", "written", "写入", "累计写入" },
        { "data_units_read", "host_reads", "bytes_read", "read", "读出", "读取", "累计读" },
        { "power_on_hours", "power_on_time", "power cycle", "power_cycles", "通电时间", "累计通电", "上电" },
        { "percentage_used", "available_spare", "endurance", "life", "wear", "耐久", "寿命", "使用率", "磨损" },
        { "unsafe_shutdowns", "media_errors", "crc_error", "错误", "故障", "异常关机" },
        { "capacity", "总容量", "user_capacity", "unallocated_capacity", "容量" },
    } };
    std::string text = lowercasedAscii(keyPath);
    text += ' ';
    text += lowercasedAscii(displayName);
    for (std::size_t group = 0; group < groups.size(); ++group) {
        for (auto keyword : groups[group]) {
            if (text.find(keyword) != std::string::npos)
                return static_cast<int>(group);
        }
    }
    return 1000;
}

void sortByPriority(std::vector<DiskSMARTInfo::Detail>& rows)
{
    struct Keyed {
        int priority;
        std::string loweredName;
        std::size_t index;
    };
    std::vector<Keyed> keys;
    keys.reserve(rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i)
        keys.push_back({ priority(rows[i].keyPath, rows[i].displayName), lowercasedAscii(rows[i].displayName), i });
    std::sort(keys.begin(), keys.end(), [](const Keyed& a, const Keyed& b) {
        if (a.priority != b.priority)
            return a.priority < b.priority;
        if (a.loweredName != b.loweredName)
            return a.loweredName < b.loweredName;
        return a.index < b.index;
    });
    std::vector<DiskSMARTInfo::Detail> sorted;
    sorted.reserve(rows.size());
    for (const auto& key : keys)
        sorted.push_back(std::move(rows[key.index]));
    rows = std::move(sorted);
}

namespace {

// The rank of one byte in the key order: white space, punctuation and symbols in a fixed order,
// then digits, then letters without regard to case, then everything beyond ASCII by value.
int collationRank(unsigned char c)
{
    static const std::array<int, 256> ranks = [] {
        constexpr std::string_view order = " \t\n\r\v\f_-,;:!?.'\"()[]{}@*/\\&#%`^+<=>|~$0123456789"
                                           "abcdefghijklmnopqrstuvwxyz";
        std::array<int, 256> table {};
        for (int i = 0; i < 256; ++i)
            table[static_cast<std::size_t>(i)] = 1000 + i;
        for (std::size_t i = 0; i < order.size(); ++i)
            table[static_cast<unsigned char>(order[i])] = static_cast<int>(i);
        for (char letter = 'A'; letter <= 'Z'; ++letter)
            table[static_cast<unsigned char>(letter)] = table[static_cast<unsigned char>(letter - 'A' + 'a')];
        return table;
    }();
    return ranks[c];
}

}

bool collatesBefore(std::string_view a, std::string_view b)
{
    std::size_t length = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < length; ++i) {
        int left = collationRank(static_cast<unsigned char>(a[i]));
        int right = collationRank(static_cast<unsigned char>(b[i]));
        if (left != right)
            return left < right;
    }
    return a.size() < b.size();
}

std::vector<DiskSMARTInfo::Detail> flatten(const nlohmann::json& root)
{
    Flattener flattener;
    if (!root.is_object())
        return {};
    static constexpr std::array<std::string_view, 5> skipped { "smartctl", "json_format_version", "device",
        "ata_device", "messages" };
    for (const auto& [key, value] : Flattener::members(root)) {
        if (std::find(skipped.begin(), skipped.end(), *key) != skipped.end())
            continue;
        const auto* row = SMARTKeyCatalog::descriptor(*key);
        auto name = row ? row->localizedName() : SMARTKeyCatalog::fallbackName(*key);
        flattener.value(*key, name, *value, 0);
    }
    sortByPriority(flattener.rows);
    return std::move(flattener.rows);
}

}
