#include "core/Messages.h"

#include "core/Language.h"

#include <fmt/format.h>

namespace tallowin::Messages {

namespace {

std::string pick(std::string english, std::string chinese)
{
    return isEnglish() ? std::move(english) : std::move(chinese);
}

}

std::string gigabyteLabel(std::int64_t gigabytes)
{
    return fmt::format("{} GB", gigabytes);
}

std::string versionLine(std::string_view version, std::string_view build)
{
    return pick(fmt::format("Version: {} · Build: {}", version, build),
        fmt::format("版本：{} · 构建：{}", version, build));
}

std::string newVersion(std::string_view version)
{
    return pick(fmt::format("New version found {}", version), fmt::format("发现新版本 {}", version));
}

std::string downloadFailure(std::string_view error)
{
    return pick(fmt::format("Download failed: {}", error), fmt::format("下载失败：{}", error));
}

std::string updateCheckFailure(std::string_view error)
{
    return pick(fmt::format("Update check failed: {}", error), fmt::format("检查更新失败：{}", error));
}

std::string feedbackAccepted(std::string_view identifier)
{
    return pick(fmt::format("Submitted successfully. Feedback ID: {}", identifier),
        fmt::format("提交成功，反馈ID：{}", identifier));
}

std::string feedbackServerError(std::int64_t statusCode)
{
    return pick(fmt::format("Submission failed: server error ({})", statusCode),
        fmt::format("提交失败：服务器错误（{}）", statusCode));
}

std::string registryMatchingFailure(std::int32_t code)
{
    return pick(fmt::format("IOKit matching failed with code: {}.", code),
        fmt::format("IOKit 匹配失败，错误码：{}。", code));
}

std::string reportExportFailure(std::string_view error)
{
    return pick(fmt::format("Failed to export performance report:\n{}", error),
        fmt::format("性能测试报告导出失败：\n{}", error));
}

std::string randomPhaseSummary(std::string_view blockSize, std::string_view operationCount)
{
    return pick(fmt::format("Random test: block size {}, {} operations.", blockSize, operationCount),
        fmt::format("随机测试：块大小 {}，共 {} 次操作。", blockSize, operationCount));
}

std::string automaticExportFailure(std::string_view error)
{
    return pick(fmt::format("Automatic performance report export failed:\n{}", error),
        fmt::format("性能测试报告自动导出失败：\n{}", error));
}

std::string automaticExportSuccess(std::string_view path)
{
    return pick(fmt::format("Performance test finished. Report automatically saved to: {}", path),
        fmt::format("性能测试完成，报告已自动保存至：{}", path));
}

std::string chartExportSuccess(std::string_view csvPath, std::string_view pngPath)
{
    return pick(fmt::format("CSV saved to: {}\nPNG saved to: {}", csvPath, pngPath),
        fmt::format("CSV 已保存至：{}\nPNG 已保存至：{}", csvPath, pngPath));
}

std::string chartExportFailure(std::string_view error)
{
    return pick(fmt::format("Export failed: {}", error), fmt::format("导出失败：{}", error));
}

std::string fullDiskPayload(std::string_view size)
{
    return pick(fmt::format("Payload: Full Disk ({})", size), fmt::format("数据量：全盘（{}）", size));
}

std::string payloadWithAdjustment(std::string_view chosen, std::string_view adjusted)
{
    return pick(fmt::format("Current payload: {} (will adjust to {})", chosen, adjusted),
        fmt::format("当前测试数据量：{}（预计自动调整为 {}）", chosen, adjusted));
}

std::string smartSheetTitle(std::string_view name)
{
    return pick(fmt::format("SMART Details for {}", name), fmt::format("{} 的 SMART 信息", name));
}

}
