#include "helper_protocol/HelperError.h"

#include "core/Language.h"

namespace tallowin {

namespace {

// The texts of the helper domain: English on the wire whatever the daemon's locale, and the
// Chinese the client shows in their place.
struct CodeText {
    HelperError::Code code;
    std::string_view english;
    std::string_view chinese;
};
constexpr CodeText codeTexts[] = {
    { HelperError::Code::smartctlNotFound, "No smartctl executable was found.", "未找到 smartctl 可执行文件。" },
    { HelperError::Code::launchFailed, "Failed to launch smartctl: ", "无法启动 smartctl：" },
    { HelperError::Code::nonZeroExit, "smartctl exited with status ", "smartctl 退出状态为 " },
    { HelperError::Code::emptyOutput, "smartctl exited without producing output",
        "smartctl 已退出，但没有产生任何输出" },
    { HelperError::Code::invalidDeviceName, "Invalid device name.", "设备名称无效。" },
    { HelperError::Code::executionFailedUnknown, "smartctl execution failed for an unknown reason",
        "smartctl 因未知原因执行失败" },
};

std::string englishText(HelperError::Code code)
{
    for (const auto& entry : codeTexts)
        if (entry.code == code)
            return std::string(entry.english);
    return {};
}

}

HelperError HelperError::make(Code c, std::string text)
{
    return { std::string(helperErrorDomain), static_cast<std::int64_t>(c), std::move(text) };
}

HelperError HelperError::smartctlNotFound()
{
    return make(Code::smartctlNotFound, englishText(Code::smartctlNotFound));
}

HelperError HelperError::launchFailed(std::string_view underlyingDescription)
{
    return make(Code::launchFailed, englishText(Code::launchFailed) + std::string(underlyingDescription));
}

HelperError HelperError::nonZeroExit(std::int32_t status)
{
    return make(Code::nonZeroExit, englishText(Code::nonZeroExit) + std::to_string(status));
}

HelperError HelperError::emptyOutput()
{
    return make(Code::emptyOutput, englishText(Code::emptyOutput));
}

HelperError HelperError::invalidDeviceName()
{
    return make(Code::invalidDeviceName, englishText(Code::invalidDeviceName));
}

HelperError HelperError::executionFailedUnknown()
{
    return make(Code::executionFailedUnknown, englishText(Code::executionFailedUnknown));
}

std::string HelperError::localizedDescription() const
{
    if (!isHelperDomain() || isEnglish())
        return description;
    for (const auto& entry : codeTexts) {
        if (code != static_cast<std::int64_t>(entry.code))
            continue;
        // A text with a detail (the system's reason, the status) keeps the detail as sent.
        const bool withDetail = entry.code == Code::launchFailed || entry.code == Code::nonZeroExit;
        if (withDetail && description.starts_with(entry.english))
            return std::string(entry.chinese) + description.substr(entry.english.size());
        if (!withDetail && description == entry.english)
            return std::string(entry.chinese);
    }
    // A text the client has no translation for (a newer daemon's, or code 999 with its own
    // reason) is shown as sent.
    return description;
}

}
