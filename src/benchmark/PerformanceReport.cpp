#include "benchmark/PerformanceReport.h"

#include "core/Formatting.h"
#include "core/Language.h"
#include "core/Messages.h"

#include <algorithm>
#include <cmath>
#include <ctime>
#include <fmt/format.h>

namespace tallowin {

namespace {

using Formatting::ByteUnit;

struct Texts {
    bool english;
    std::string operator()(std::string_view en, std::string_view zh) const
    {
        return std::string(english ? en : zh);
    }
};

std::string throughputText(double bytesPerSecond, Language language)
{
    return Formatting::byteCount(
               Formatting::wholeBytes(bytesPerSecond), ByteUnit::MB | ByteUnit::GB | ByteUnit::TB, language)
        + "/s";
}

std::string sizeText(std::uint64_t bytes, Language language)
{
    return Formatting::byteCount(bytes, ByteUnit::GB | ByteUnit::TB | ByteUnit::PB, language);
}

std::string styleFragment()
{
    static constexpr std::string_view rules[] = {
        "body { font-family: -apple-system, BlinkMacSystemFont, \"SF Pro Display\", \"PingFang SC\", \"Segoe "
        "UI\", "
        "sans-serif; margin: 40px; background-color: #0f172a; color: #f8fafc; }",
        "h1 { font-size: 32px; margin-bottom: 12px; }",
        "h2 { font-size: 24px; margin-top: 32px; margin-bottom: 12px; color: #a5b4fc; }",
        ".card { background: rgba(15, 23, 42, 0.7); border: 1px solid rgba(148, 163, 184, 0.25); "
        "border-radius: 16px; "
        "padding: 24px; margin-bottom: 24px; box-shadow: 0 12px 40px rgba(15, 23, 42, 0.4); }",
        ".metrics { display: grid; grid-template-columns: repeat(auto-fit, minmax(220px, 1fr)); gap: 16px; }",
        ".metric { background: rgba(148, 163, 184, 0.08); border-radius: 14px; padding: 16px; }",
        ".metric span { display: block; font-size: 14px; color: #cbd5f5; }",
        ".metric strong { display: block; font-size: 20px; margin-top: 6px; }",
        "table { width: 100%; border-collapse: collapse; margin-top: 16px; }",
        "th, td { padding: 10px; text-align: left; border-bottom: 1px solid rgba(148, 163, 184, 0.2); }",
        "th { background: rgba(30, 41, 59, 0.7); }",
        "tr:nth-child(even) { background: rgba(15, 23, 42, 0.5); }",
        ".badge { display: inline-flex; align-items: center; background: rgba(59, 130, 246, 0.18); "
        "border-radius: "
        "999px; padding: 6px 12px; margin-right: 12px; margin-bottom: 12px; }",
        ".badge span { font-size: 14px; }",
    };
    static constexpr std::string_view chartRules[] = {
        ".chart-wrapper { position: relative; width: 100%; }",
        ".chart-wrapper::before { content: \"\"; display: block; padding-top: 41.6667%; }",
        ".chart-wrapper svg { position: absolute; inset: 0; width: 100%; height: 100%; background: rgba(15, "
        "23, 42, "
        "0.55); border-radius: 16px; padding: 0; box-sizing: border-box; }",
    };
    std::string style;
    for (auto rule : rules)
        style += fmt::format("        {}\n", rule);
    style += "        /* 保持导出图表容器的 2.4:1 长宽比，并让其宽度自动占满父级容器。\n"
             "         Keep the exported chart at a 2.4:1 aspect ratio while its width spans the parent "
             "container. */\n";
    for (auto rule : chartRules)
        style += fmt::format("        {}\n", rule);
    return style;
}

std::string chart(const std::vector<TimelineSample>& timeline, const Texts& t)
{
    if (timeline.empty())
        return "<p>" + t("No samples recorded", "暂无采样数据") + "</p>";

    constexpr double width = 2400.0;
    constexpr double height = 1000.0;
    constexpr double inset = 50.0;
    constexpr double plotWidth = width - 2 * inset;
    constexpr double plotHeight = height - 2 * inset;
    double t0 = timeline.front().timestamp;
    double span = std::max(timeline.back().timestamp - t0, 0.001);
    double top = 1.0;
    for (const auto& sample : timeline)
        top = std::max(top, sample.throughput);
    auto x
        = [&](const TimelineSample& s) { return inset + plotWidth * std::max(s.timestamp - t0, 0.0) / span; };
    auto y = [&](const TimelineSample& s) {
        return height - inset - plotHeight * std::min(s.throughput / top, 1.0);
    };

    std::string grid;
    for (double f : { 0.0, 0.25, 0.5, 0.75, 1.0 }) {
        double lineY = height - inset - plotHeight * f;
        grid += fmt::format(
            "<line x1=\"{:.2f}\" y1=\"{:.2f}\" x2=\"{:.2f}\" y2=\"{:.2f}\" stroke=\"rgba(148,163,184,{})\" "
            "stroke-width=\"1\"/>",
            inset, lineY, width - inset, lineY, f == 0.0 ? "0.6" : "0.3");
    }
    using Formatting::shortestDouble;
    std::string axes
        = fmt::format("<line x1=\"{0}\" y1=\"{1}\" x2=\"{2}\" y2=\"{1}\" stroke=\"rgba(148,163,184,0.8)\" "
                      "stroke-width=\"1.5\" />\n<line x1=\"{0}\" y1=\"{3}\" x2=\"{0}\" y2=\"{1}\" "
                      "stroke=\"rgba(148,163,184,0.8)\" stroke-width=\"1.5\" />",
            shortestDouble(inset), shortestDouble(height - inset), shortestDouble(width - inset),
            shortestDouble(inset));
    std::string xTitleY = shortestDouble(height - inset / 3);
    std::string yTitleX = shortestDouble(inset * 2 / 3);
    std::string titles
        = fmt::format("<text x=\"{}\" y=\"{}\" fill=\"#cbd5f5\" font-size=\"28\" text-anchor=\"middle\">{}"
                      "</text>\n<text x=\"{}\" y=\"{}\" fill=\"#cbd5f5\" font-size=\"28\" "
                      "text-anchor=\"middle\" transform=\"rotate(-90 {} {})\">{}</text>",
            shortestDouble(width / 2), xTitleY, escapeHTML(t("Time (seconds)", "时间（秒）")), yTitleX,
            shortestDouble(height / 2), yTitleX, shortestDouble(height / 2),
            escapeHTML(t("Throughput (bytes per second)", "吞吐率（字节/秒）")));

    auto series = [&](TimelineSample::Phase phase, std::string_view colour) {
        std::vector<std::string> points;
        for (const auto& sample : timeline) {
            if (sample.phase == phase)
                points.push_back(fmt::format("{:.2f},{:.2f}", x(sample), y(sample)));
        }
        if (points.size() < 2)
            return std::string();
        return fmt::format("<polyline points=\"{}\" fill=\"none\" stroke=\"{}\" stroke-width=\"2.5\" "
                           "stroke-linejoin=\"round\" stroke-linecap=\"round\"/>",
            fmt::join(points, " "), colour);
    };

    std::string legend
        = "<g transform=\"translate(50.0, 30.0)\">\n    <rect x=\"0\" y=\"-12\" width=\"220\" height=\"24\" "
          "rx=\"12\" fill=\"rgba(15,23,42,0.6)\" />\n    <circle cx=\"16\" cy=\"0\" r=\"6\" "
          "fill=\"#f97316\" />\n    <text x=\"30\" y=\"4\" font-size=\"13\" fill=\"#f8fafc\">"
        + t("Write", "写入")
        + "</text>\n    <circle cx=\"118\" cy=\"0\" r=\"6\" fill=\"#38bdf8\" />\n    <text x=\"132\" y=\"4\" "
          "font-size=\"13\" fill=\"#f8fafc\">"
        + t("Read", "读取") + "</text>\n</g>";

    return fmt::format(
        "<svg viewBox=\"0 0 {} {}\" role=\"img\" aria-label=\"{}\">\n    <rect x=\"0\" y=\"0\" "
        "width=\"{}\" height=\"{}\" rx=\"16\" fill=\"rgba(15,23,42,0.45)\" />\n    {}\n    {}\n    {}\n   "
        " {}\n    {}\n    {}\n</svg>",
        shortestDouble(width), shortestDouble(height),
        escapeHTML(t("Write and read throughput chart", "写入与读取吞吐率曲线")), shortestDouble(width),
        shortestDouble(height), grid, axes, titles, series(TimelineSample::Phase::sequentialWrite, "#f97316"),
        series(TimelineSample::Phase::sequentialRead, "#38bdf8"), legend);
}

std::string smartCard(const std::optional<DiskSMARTInfo>& smart, const Texts& t)
{
    std::string heading = t("SMART Information", "SMART 信息");
    std::string description = escapeHTML(t(
        "The information below is sourced from the system SMART report.", "以下内容来自系统的 SMART 报告。"));
    if (!smart) {
        return "<div class=\"card\">\n    <h2>" + heading + "</h2>\n    <p>" + description + "</p>\n    <p>"
            + escapeHTML(t("No SMART information was provided.", "未检测到可用的 SMART 信息。"))
            + "</p>\n</div>";
    }
    std::vector<std::string> items;
    if (smart->overallStatus && !smart->overallStatus->empty())
        items.push_back("<li><strong>" + escapeHTML(t("Overall Status", "总体状态")) + ":</strong> "
            + escapeHTML(*smart->overallStatus) + "</li>");
    if (smart->isCapable)
        items.push_back("<li><strong>" + escapeHTML(t("SMART Capable", "是否支持 SMART")) + ":</strong> "
            + escapeHTML(*smart->isCapable ? t("Supported", "支持") : t("Not Supported", "不支持"))
            + "</li>");
    std::string itemList
        = items.empty() ? std::string() : fmt::format("<ul>\n{}\n</ul>", fmt::join(items, "\n"));

    std::string attributes;
    if (smart->details.empty()) {
        attributes = "<p>"
            + escapeHTML(t("The system did not expose additional SMART attributes.",
                "系统未提供额外的 SMART 详细属性。"))
            + "</p>";
    } else {
        std::vector<std::string> rows;
        for (const auto& detail : smart->details) {
            std::string title
                = detail.keyPath != detail.displayName ? " title=\"" + escapeHTML(detail.keyPath) + "\"" : "";
            rows.push_back("<tr><td" + title + ">" + escapeHTML(detail.displayName) + "</td><td>"
                + escapeHTML(detail.value) + "</td></tr>");
        }
        attributes = "<table>\n    <tr>\n        <th>" + escapeHTML(t("Key", "属性键"))
            + "</th>\n        <th>" + escapeHTML(t("Value", "属性值")) + "</th>\n    </tr>\n    "
            + fmt::format("{}", fmt::join(rows, "\n")) + "\n</table>";
    }
    return "<div class=\"card\">\n    <h2>" + heading + "</h2>\n    <p>" + description + "</p>\n    "
        + itemList + "\n    " + attributes + "\n\n</div>";
}

std::string samplesTable(const std::vector<TimelineSample>& timeline, const Texts& t, Language language)
{
    if (timeline.empty())
        return "<p>" + t("No samples recorded.", "暂无采样数据。") + "</p>";
    std::string rows;
    for (const auto& sample : timeline) {
        std::string phase
            = sample.phase == TimelineSample::Phase::sequentialWrite ? t("Write", "写入") : t("Read", "读取");
        rows += "<tr><td>" + escapeHTML(phase) + "</td><td>"
            + escapeHTML(fmt::format("{:.2f}", sample.timestamp)) + "</td><td>"
            + escapeHTML(throughputText(sample.throughput, language)) + "</td></tr>";
    }
    return "<table>\n    <thead>\n        <tr>\n            <th>" + escapeHTML(t("Phase", "阶段"))
        + "</th>\n            <th>" + escapeHTML(t("Time (s)", "时间 (秒)")) + "</th>\n            <th>"
        + escapeHTML(t("Throughput", "吞吐率")) + "</th>\n        </tr>\n    </thead>\n    <tbody>\n        "
        + rows + "\n    </tbody>\n</table>";
}

}

std::string escapeHTML(std::string_view text)
{
    std::string escaped;
    escaped.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&':
            escaped += "&amp;";
            break;
        case '"':
            escaped += "&quot;";
            break;
        case '\'':
            escaped += "&#39;";
            break;
        case '<':
            escaped += "&lt;";
            break;
        case '>':
            escaped += "&gt;";
            break;
        default:
            escaped += c;
        }
    }
    return escaped;
}

std::string buildReportHTML(const DiskPerformanceTester::Result& result, const DiskVolumeDescriptor& volume)
{
    Language language = currentLanguage();
    Texts t { language == Language::English };
    std::string missing = t("Unknown", "未知");
    std::string title = t("Disk Performance Test Report", "磁盘性能测试报告");

    std::string connection = volume.connectionTypeDescription;
    if (volume.connectionSpeedDescription && !volume.connectionSpeedDescription->empty())
        connection += " · " + *volume.connectionSpeedDescription;
    auto optionalSize = [&](const std::optional<std::uint64_t>& bytes) {
        return bytes ? sizeText(*bytes, language) : missing;
    };
    std::string payload = escapeHTML(sizeText(result.actualByteCount, language));
    if (result.isPayloadAdjusted)
        payload += t("(automatically adjusted to fit free space)", "（已根据剩余容量自动调整）");

    const std::pair<std::string, std::string> badges[] = {
        { t("Volume", "卷名"), escapeHTML(volume.displayName) },
        { t("Interface", "接口类型"), escapeHTML(connection) },
        { t("File System", "文件系统"), escapeHTML(volume.fileSystemDescription.value_or(missing)) },
        { t("Total Capacity", "总容量"), escapeHTML(optionalSize(volume.totalCapacityBytes)) },
        { t("Free Capacity", "剩余容量"), escapeHTML(optionalSize(volume.availableCapacityBytes)) },
        { t("Sample Size", "测试样本大小"), payload },
        { t("Manufacturer", "制造商"), escapeHTML(volume.hardwareVendor.value_or(missing)) },
        { t("Model", "型号"), escapeHTML(volume.hardwareModel.value_or(missing)) },
    };
    const std::pair<std::string, std::string> metrics[] = {
        { t("Average Write Speed", "写入平均速度"), throughputText(result.writeThroughput, language) },
        { t("Average Read Speed", "读取平均速度"), throughputText(result.readThroughput, language) },
        { t("Random Write IOPS", "随机写入 IOPS"), Formatting::iops(result.randomWriteIOPS, language) },
        { t("Random Read IOPS", "随机读取 IOPS"), Formatting::iops(result.randomReadIOPS, language) },
        { t("Maximum Write Speed", "最大写入速度"), throughputText(result.maximumWriteThroughput, language) },
        { t("Maximum Read Speed", "最大读取速度"), throughputText(result.maximumReadThroughput, language) },
    };

    std::string html;
    html.reserve(16384 + result.timeline.size() * 160);
    html += "<!DOCTYPE html>\n<html lang=\"" + t("en", "zh-Hans")
        + "\">\n<head>\n    <meta charset=\"utf-8\" />\n    <title>" + title;
    html += "</title>\n    <style>\n" + styleFragment() + "    </style>\n</head>\n<body>\n    <h1>" + title;
    html += "</h1>\n    <div class=\"card\">\n        <h2>" + t("Summary", "摘要");
    bool first = true;
    for (const auto& [label, value] : badges) {
        html += first ? "</h2>\n        <div class=\"badge\"><span>"
                      : "</span></div>\n        <div class=\"badge\"><span>";
        html += label + "：" + value;
        first = false;
    }
    first = true;
    for (const auto& [label, value] : metrics) {
        html += first
            ? "</span></div>\n        <div class=\"metrics\">\n            <div class=\"metric\">\n"
              "                <span>"
            : "</strong>\n            </div>\n            <div class=\"metric\">\n                <span>";
        html += label + "</span>\n                <strong>" + escapeHTML(value);
        first = false;
    }
    std::string blockSize
        = Formatting::byteCount(static_cast<std::uint64_t>(std::max<std::int64_t>(result.randomBlockSize, 0)),
            ByteUnit::KB | ByteUnit::MB, language);
    html += "</strong>\n            </div>\n        </div>\n        <p>"
        + escapeHTML(
            Messages::randomPhaseSummary(blockSize, Formatting::groupedInteger(result.randomOperationCount)));
    html += "</p>\n        <p>" + t("Finished At", "完成时间") + "："
        + escapeHTML(Formatting::mediumDateTime(result.finishedAt, language));
    html += "</p>\n    </div>\n    <div class=\"card\">\n        <h2>" + t("Throughput Chart", "吞吐率图表")
        + "</h2>\n        <div class=\"chart-wrapper\">\n            " + chart(result.timeline, t);
    html += "\n        </div>\n    </div>\n    " + smartCard(volume.smartInfo, t);
    std::string samplesHeading = t("Sampled Data", "采样数据");
    html += "\n    <div class=\"card\">\n        <h2>" + samplesHeading
        + "</h2>\n        <details>\n            <summary style=\"cursor: pointer; font-size: 16px; "
          "font-weight: 600;\">"
        + samplesHeading + "</summary>\n            " + samplesTable(result.timeline, t, language);
    html += "\n        </details>\n    </div>\n</body>\n</html>";
    return html;
}

std::string reportFileStamp(WallClockTime time)
{
    auto seconds = static_cast<std::time_t>(std::floor(time));
    std::tm utc {};
    gmtime_r(&seconds, &utc);
    return fmt::format("{:04}{:02}{:02}-{:02}{:02}{:02}", utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday,
        utc.tm_hour, utc.tm_min, utc.tm_sec);
}

std::string pathInDirectory(const std::string& directory, std::string_view name)
{
    if (!directory.empty() && directory.back() == '/')
        return directory + std::string(name);
    return directory + "/" + std::string(name);
}

std::string chooseReportPath(const std::string& directory, WallClockTime finishedAt,
    const std::function<bool(const std::string&)>& fileExists)
{
    std::string base = "Tallowin-Performance-" + reportFileStamp(finishedAt);
    std::string candidate = pathInDirectory(directory, base + ".html");
    for (std::uint64_t n = 1; fileExists(candidate); ++n)
        candidate = pathInDirectory(directory, fmt::format("{}-{}.html", base, n));
    return candidate;
}

}
