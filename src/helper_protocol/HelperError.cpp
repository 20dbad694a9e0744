#include "helper_protocol/HelperError.h"

#include "core/Language.h"

namespace tallowin {

HelperError HelperError::make(Code c, std::string text)
{
    return { std::string(helperErrorDomain), static_cast<std::int64_t>(c), std::move(text) };
}

HelperError HelperError::smartctlNotFound()
{
    return make(Code::smartctlNotFound,
        localized("No smartctl executable was found.", "未找到 smartctl 可执行文件。"));
}

HelperError HelperError::launchFailed(std::string_view underlyingDescription)
{
    return make(Code::launchFailed,
        localized("Failed to launch smartctl: ", "无法启动 smartctl：") + std::string(underlyingDescription));
}

HelperError HelperError::nonZeroExit(std::int32_t status)
{
    return make(Code::nonZeroExit,
        localized("smartctl exited with status ", "smartctl 退出状态为 ") + std::to_string(status));
}

HelperError HelperError::emptyOutput()
{
    return make(Code::emptyOutput,
        localized("smartctl exited without producing output", "smartctl 已退出，但没有产生任何输出"));
}

HelperError HelperError::invalidDeviceName()
{
    return make(Code::invalidDeviceName, localized("Invalid device name.", "设备名称无效。"));
}

HelperError HelperError::executionFailedUnknown()
{
    return make(Code::executionFailedUnknown,
        localized("smartctl execution failed for an unknown reason", "smartctl 因未知原因执行失败"));
}

}
