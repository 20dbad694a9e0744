#pragma once

#include "core/Language.h"

#include <string>

namespace tallowin {

// Why the chart picture could not be produced.
enum class ChartDataExportError {
    bitmapContextUnavailable,
    pngEncodingFailed,
};

std::string localizedDescription(ChartDataExportError, Language);
std::string localizedDescription(ChartDataExportError);

}
