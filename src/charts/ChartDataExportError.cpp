#include "charts/ChartDataExportError.h"

namespace tallowin {

std::string localizedDescription(ChartDataExportError error, Language language)
{
    bool english = language == Language::English;
    switch (error) {
    case ChartDataExportError::bitmapContextUnavailable:
        return english ? "Failed to create the bitmap context for rendering the chart."
                       : "无法创建用于渲染图表的位图上下文。";
    case ChartDataExportError::pngEncodingFailed:
        return english ? "Failed to encode the chart as a PNG image." : "无法将图表转换为 PNG 图像。";
    }
    return {};
}

std::string localizedDescription(ChartDataExportError error)
{
    return localizedDescription(error, currentLanguage());
}

}
