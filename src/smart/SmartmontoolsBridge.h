#pragma once

#include "core/Records.h"
#include "helper_protocol/SmartctlExecutionResult.h"
#include "smart/SmartctlResultSource.h"

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tallowin {

// Turns one smartctl run into the SMART report: an overall status, whether the device supports
// SMART, and every value of the JSON tree as a labelled row, the rows people look for first at
// the top. Labels come from the key catalogue, or from the keys themselves when it does not know
// them; values are rendered in the interface language of the moment.
namespace SmartmontoolsBridge {

// Objects nested deeper than this are not descended into: smartctl's reports are a few levels
// deep, and a bound keeps a hostile document from exhausting the stack.
inline constexpr std::size_t maximumNestingDepth = 64;

// Fetches smartctl's result for one device name from the source and parses it. Blocks while the
// helper works; never call it on the main thread.
std::optional<DiskSMARTInfo> fetchSMARTInfo(std::string_view bsdName, SmartctlResultSource&);

// Logs the run and parses its output; nothing when the output is not a JSON object or holds
// neither a status, nor a capability, nor any row.
std::optional<DiskSMARTInfo> parse(const SmartctlExecutionResult&, std::string_view bsdName);

// The run's exit status, its standard output and error, and smartctl's own messages, to the log.
void logRun(const SmartctlExecutionResult&, std::string_view bsdName);

std::optional<std::string> overallStatus(const nlohmann::json& root);
std::optional<bool> capability(const nlohmann::json& root);

// Every value of the root object as rows, in display order.
std::vector<DiskSMARTInfo::Detail> flatten(const nlohmann::json& root);

// One JSON value as displayed: text trimmed, booleans as Yes/No (是/否), numbers with thousands
// grouped and at most two fraction digits. 64-bit integers keep every digit.
std::string render(const nlohmann::json& value);

// Where a row sorts: 0 for the serial number, 1 for the model and so on; 1000 for the rest.
int priority(std::string_view keyPath, std::string_view displayName);

// Sorts rows by priority, then by lower-cased display name, keeping the flattening order of ties.
void sortByPriority(std::vector<DiskSMARTInfo::Detail>&);

// The order of keys inside an object: case-insensitive, white space before punctuation before
// digits before letters, as a person reading a list of names would expect. Equal keys keep
// their order.
bool collatesBefore(std::string_view a, std::string_view b);

}

}
