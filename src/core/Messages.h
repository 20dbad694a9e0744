#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tallowin::Messages {

// The composed two-language messages: a fixed text around a variable part. Each returns the
// variant that the language rule chooses. Numbers are written plainly (no grouping).

std::string gigabyteLabel(std::int64_t gigabytes);
std::string versionLine(std::string_view version, std::string_view build);
std::string newVersion(std::string_view version);
std::string downloadFailure(std::string_view error);
std::string updateCheckFailure(std::string_view error);
std::string feedbackAccepted(std::string_view identifier);
std::string feedbackServerError(std::int64_t statusCode);
std::string registryMatchingFailure(std::int32_t code);
std::string reportExportFailure(std::string_view error);
std::string randomPhaseSummary(std::string_view blockSize, std::string_view operationCount);
std::string automaticExportFailure(std::string_view error);
std::string automaticExportSuccess(std::string_view path);
std::string chartExportSuccess(std::string_view csvPath, std::string_view pngPath);
std::string chartExportFailure(std::string_view error);
std::string fullDiskPayload(std::string_view size);
std::string payloadWithAdjustment(std::string_view chosen, std::string_view adjusted);
std::string smartSheetTitle(std::string_view name);

}
