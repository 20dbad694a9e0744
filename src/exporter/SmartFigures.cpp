#include "exporter/SmartFigures.h"

#include <initializer_list>
#include <string_view>

namespace tallowin {

namespace {

const nlohmann::json* find(const nlohmann::json& root, std::initializer_list<std::string_view> path)
{
    const nlohmann::json* node = &root;
    for (auto key : path) {
        if (!node->is_object())
            return nullptr;
        auto next = node->find(key);
        if (next == node->end())
            return nullptr;
        node = &*next;
    }
    return node;
}

std::optional<double> number(const nlohmann::json& root, std::initializer_list<std::string_view> path)
{
    const auto* node = find(root, path);
    if (!node || !node->is_number())
        return std::nullopt;
    return node->get<double>();
}

// The raw value of an ATA attribute. A vendor may pack several fields into the 48-bit raw value
// of some attributes; for these four it is a plain count on every drive we have seen.
std::optional<double> ataRaw(const nlohmann::json& root, int id)
{
    const auto* table = find(root, { "ata_smart_attributes", "table" });
    if (!table || !table->is_array())
        return std::nullopt;
    for (const auto& attribute : *table) {
        auto attributeId = attribute.find("id");
        if (attribute.is_object() && attributeId != attribute.end() && attributeId->is_number_integer()
            && attributeId->get<int>() == id)
            return number(attribute, { "raw", "value" });
    }
    return std::nullopt;
}

}

SmartFigures smartFiguresFromReport(const nlohmann::json& root)
{
    SmartFigures figures;
    if (const auto* passed = find(root, { "smart_status", "passed" }); passed && passed->is_boolean())
        figures.passed = passed->get<bool>();
    figures.temperatureCelsius = number(root, { "temperature", "current" });
    figures.powerOnHours = number(root, { "power_on_time", "hours" });
    if (auto minutes = number(root, { "power_on_time", "minutes" }); minutes && figures.powerOnHours)
        *figures.powerOnHours += *minutes / 60.0;
    figures.mediaErrors = number(root, { "nvme_smart_health_information_log", "media_errors" });
    figures.errorLogEntries = number(root, { "nvme_smart_health_information_log", "num_err_log_entries" });
    figures.reallocatedSectors = ataRaw(root, 5);
    figures.pendingSectors = ataRaw(root, 197);
    figures.offlineUncorrectableSectors = ataRaw(root, 198);
    figures.interfaceCrcErrors = ataRaw(root, 199);
    figures.grownDefects = number(root, { "scsi_grown_defect_list" });
    figures.uncorrectedReadErrors
        = number(root, { "scsi_error_counter_log", "read", "total_uncorrected_errors" });
    figures.uncorrectedWriteErrors
        = number(root, { "scsi_error_counter_log", "write", "total_uncorrected_errors" });
    return figures;
}

}
