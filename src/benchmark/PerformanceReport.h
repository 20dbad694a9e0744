#pragma once

#include "benchmark/DiskPerformanceTester.h"

#include <functional>
#include <string>
#include <string_view>

namespace tallowin {

// Replaces &, ", ', < and > (in that order) with their HTML entities.
std::string escapeHTML(std::string_view);

// The self-contained HTML report of a test, in the language the language rule picks now; dates
// are shown in the system's current time zone.
std::string buildReportHTML(const DiskPerformanceTester::Result&, const DiskVolumeDescriptor&);

// "yyyyMMdd-HHmmss" of a time in UTC.
std::string reportFileStamp(WallClockTime);

// The report's path in the directory: "Tallowin-Performance-<stamp>.html", or with "-1", "-2" …
// before the extension when that name is taken. An existing file is never chosen.
std::string chooseReportPath(const std::string& directory, WallClockTime finishedAt,
    const std::function<bool(const std::string&)>& fileExists);

// A file in a directory (which may be "/" or end with a slash).
std::string pathInDirectory(const std::string& directory, std::string_view name);

}
