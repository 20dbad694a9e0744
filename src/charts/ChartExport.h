#pragma once

#include "charts/ChartDataExportError.h"
#include "core/Expected.h"
#include "core/Records.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tallowin {

// The export of a monitoring run as a CSV table plus a PNG picture side by side, shared by the
// dashboard's export button and `tallowin-cli monitor --export`. It runs synchronously on the
// caller's thread. The picture comes from an injected renderer so that this layer stays free of
// Qt; ChartPngRenderer provides the real one.
struct ChartExportFiles {
    std::string csvPath;
    std::string pngPath;

    friend bool operator==(const ChartExportFiles&, const ChartExportFiles&) = default;
};

struct ChartExportFailure {
    enum class Reason {
        // Fewer than two samples: nothing is written and nothing is reported.
        notEnoughSamples,
        // Rendering or writing failed; message is the composed failure text for the user.
        failed,
    };
    Reason reason { Reason::failed };
    std::string message;

    friend bool operator==(const ChartExportFailure&, const ChartExportFailure&) = default;
};

using ChartPngRendering = std::function<Expected<std::vector<std::uint8_t>, ChartDataExportError>(
    const std::vector<DiskSample>&, int sampleIntervalMs, double width, double height)>;

inline constexpr double chartExportWidth = 3840;
inline constexpr double chartExportHeight = 2160;

// Writes the CSV to csvPath and the picture next to it (extension "png"), each replacing an
// existing file, the CSV first: a CSV already written stays when the picture fails.
Expected<ChartExportFiles, ChartExportFailure> exportChartData(const std::vector<DiskSample>&,
    int sampleIntervalMs, const std::string& csvPath, const ChartPngRendering&);

// The message shown after a successful export.
std::string chartExportSuccessMessage(const ChartExportFiles&);

// Replaces the file's contents; the error is the system's description of the failure.
Expected<void, std::string> writeWholeFile(const std::string& path, const void* data, std::size_t size);

}
