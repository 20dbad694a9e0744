#pragma once

#include "charts/ChartExport.h"
#include "core/Expected.h"
#include "core/Records.h"

#include <string>
#include <vector>

namespace tallowin::cli {

// `monitor --export FILE.csv`: at the end of the run, the history as FILE.csv plus FILE.png, as
// the dashboard's export button writes them. The error is the message to show: the export
// failure, or why a run of fewer than two samples was not exported.
Expected<ChartExportFiles, std::string> exportMonitorRun(
    const std::vector<DiskSample>&, int sampleIntervalMs, const std::string& csvPath);

}
