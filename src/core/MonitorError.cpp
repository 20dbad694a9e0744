#include "core/MonitorError.h"

#include "core/Language.h"
#include "core/Messages.h"

namespace tallowin {

std::string MonitorError::localizedDescription() const
{
    switch (kind) {
    case Kind::ioKitMatchingFailed:
        return Messages::registryMatchingFailure(code);
    case Kind::invalidSelection:
        return localized("Please select a valid volume.", "请选择一个有效的卷。");
    case Kind::bsdNameResolutionFailed:
        return localized(
            "Failed to resolve the BSD name for the selected path.", "无法解析所选路径对应的 BSD 名称。");
    case Kind::statisticsUnavailable:
        return localized("Unable to fetch statistics for the selected volume.", "无法获取该卷的统计信息。");
    case Kind::monitorStopped:
        return localized("Monitoring has been stopped.", "监控已停止。");
    }
    return {};
}

}
