#include "app/AppTexts.h"

#include "core/Language.h"

#include <fmt/format.h>

namespace tallowin::AppTexts {

std::string samplingPrecisionMenuTitle() { return localized("Sampling Precision", "采样精度"); }
std::string samplingIntervalPickerLabel() { return localized("Sampling Interval", "采样间隔"); }

std::string samplingPrecisionLabel(DiskIOMonitor::SamplingPrecision precision)
{
    auto milliseconds = precision.rawValue();
    return isEnglish() ? fmt::format("{} ms", milliseconds) : fmt::format("{} 毫秒", milliseconds);
}

std::string testSampleSizeMenuTitle() { return localized("Test Sample Size", "测试样本大小"); }
std::string payloadPickerLabel() { return localized("Payload", "数据量"); }

std::string dataSizeLabel(const DiskPerformanceTester::DataSize& size)
{
    switch (size.kind) {
    case DiskPerformanceTester::DataSize::Kind::availableSpace:
        return localized("Full Disk", "全盘");
    case DiskPerformanceTester::DataSize::Kind::gigabytes:
        return fmt::format("{} GB", size.gigabyteCount);
    }
    return {};
}

// Linux desktops have no application menu: the program's own menu carries About and Quit,
// as KDE and GNOME applications with a menu bar do.
std::string applicationMenuTitle() { return "Tallowin"; }
std::string aboutCommand() { return localized("About Tallowin", "关于 Tallowin"); }
std::string quitCommand() { return localized("Quit", "退出"); }
std::string helpMenuTitle() { return localized("Help", "帮助"); }
std::string feedbackCommand() { return localized("Feedback", "建议与反馈"); }
std::string closeWindowCommand() { return localized("Close Window", "关闭窗口"); }
std::string aboutWindowTitle() { return localized("About Tallowin", "关于 Tallowin"); }
std::string feedbackWindowTitle() { return localized("Thanks for your feedback.", "感谢您留下您的建议，多多益善～"); }
std::string mainWindowTitle() { return "Tallowin"; }

}
