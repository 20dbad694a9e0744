#include "cli/MonitorExport.h"

#include "charts/ChartPngRenderer.h"
#include "core/Language.h"

#include <fmt/format.h>

namespace tallowin::cli {

Expected<ChartExportFiles, std::string> exportMonitorRun(
    const std::vector<DiskSample>& samples, int sampleIntervalMs, const std::string& csvPath)
{
    auto files = exportChartData(samples, sampleIntervalMs, csvPath, ChartExportSupport::renderPNG);
    if (files)
        return std::move(files).value();
    if (files.error().reason == ChartExportFailure::Reason::notEnoughSamples)
        // The dashboard's button does nothing then; a script that asked for files hears why.
        return Unexpected(localized(
            fmt::format("Nothing exported: the run has {} sample(s); a chart needs at least 2.", samples.size()),
            fmt::format("未导出：本次运行只有 {} 个样本，图表至少需要 2 个。", samples.size())));
    return Unexpected(files.error().message);
}

}
