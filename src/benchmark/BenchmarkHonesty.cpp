#include "benchmark/BenchmarkHonesty.h"

#include "core/Formatting.h"
#include "core/Language.h"
#include "monitor/DiskIOKitStatisticsProvider.h"
#include "monitor/DiskScope.h"
#include "platform/SysfsRegistry.h"

#include <fmt/format.h>

namespace tallowin {

namespace {

bool isWritePhase(BenchmarkPhase phase)
{
    return phase == BenchmarkPhase::randomWrite || phase == BenchmarkPhase::sequentialWrite;
}

Language language()
{
    return isEnglish() ? Language::English : Language::Chinese;
}

std::string bytesText(std::uint64_t bytes)
{
    return Formatting::byteCount(
        bytes, Formatting::ByteUnit::KB | Formatting::ByteUnit::MB | Formatting::ByteUnit::GB, language());
}

std::string rateText(double bytesPerSecond)
{
    return bytesText(Formatting::wholeBytes(bytesPerSecond)) + localized("/s", "/秒");
}

}

StatisticsSnapshot trafficBetween(const StatisticsSnapshot& start, const StatisticsSnapshot& end)
{
    return { end.bytesRead - start.bytesRead, end.bytesWritten - start.bytesWritten,
        end.readOperations - start.readOperations, end.writeOperations - start.writeOperations };
}

std::vector<BenchmarkWarning> phaseWarnings(BenchmarkPhase phase, std::uint64_t countedBytes,
    double throughput, const std::optional<StatisticsSnapshot>& deviceTraffic,
    const std::optional<LinkCeiling>& ceiling)
{
    std::vector<BenchmarkWarning> warnings;
    if (deviceTraffic && countedBytes > 0) {
        std::uint64_t moved = isWritePhase(phase) ? deviceTraffic->bytesWritten : deviceTraffic->bytesRead;
        double share = static_cast<double>(moved) / static_cast<double>(countedBytes);
        if (share < deviceShareBelowWhichCached) {
            auto percent = Formatting::percent(share);
            warnings.push_back({ "cache",
                isWritePhase(phase)
                    ? localized(
                        fmt::format("Served from a cache: the device wrote {} of the {} this phase wrote "
                                    "({}), so the figure is not the disk's speed.",
                            bytesText(moved), bytesText(countedBytes), percent),
                        fmt::format(
                            "由缓存提供：本阶段写入 {}，设备实际只写入 {}（{}），这个数值不是磁盘的速度。",
                            bytesText(countedBytes), bytesText(moved), percent))
                    : localized(
                        fmt::format("Served from a cache: the device read {} of the {} this phase read "
                                    "({}), so the figure is not the disk's speed.",
                            bytesText(moved), bytesText(countedBytes), percent),
                        fmt::format(
                            "由缓存提供：本阶段读取 {}，设备实际只读取 {}（{}），这个数值不是磁盘的速度。",
                            bytesText(countedBytes), bytesText(moved), percent)) });
        }
    }
    if (ceiling && ceiling->bytesPerSecond > 0 && throughput > ceiling->bytesPerSecond) {
        warnings.push_back({ "link-ceiling",
            localized(fmt::format("Impossible: {} is more than the {} link can carry ({}).",
                          rateText(throughput), ceiling->link, rateText(ceiling->bytesPerSecond)),
                fmt::format("不可能：{} 超过了 {} 链路所能承载的上限（{}）。", rateText(throughput),
                    ceiling->link, rateText(ceiling->bytesPerSecond))) });
    }
    return warnings;
}

DeviceObservation observeVolume(const DiskVolumeDescriptor& volume)
{
    DeviceObservation observation;
    // A volume without a device name (a test's, or a synthetic mount) has nothing to watch.
    if (volume.bsdName.empty())
        return observation;
    auto registry = std::make_shared<SysfsRegistry>();
    auto session = DiskIOKitStatisticsProvider::StatisticsSession::create(registry, volume);
    if (session) {
        std::shared_ptr<DiskIOKitStatisticsProvider::StatisticsSession> shared = std::move(*session);
        observation.readCounters = [shared]() -> std::optional<StatisticsSnapshot> {
            auto snapshot = shared->readSnapshot();
            if (!snapshot)
                return std::nullopt;
            return *snapshot;
        };
    }

    // A stacked volume (LVM, LUKS, md) can move at most what all its disks' links carry together.
    std::optional<LinkCeiling> total;
    for (const auto& disk : wholeDisksUnder(volume.bsdName, sysfsBlockStack(registry->root()))) {
        auto ceiling = linkCeiling(linkFacts(*registry, disk));
        if (!ceiling)
            return observation;
        if (!total)
            total = ceiling;
        else
            total = LinkCeiling { total->link + " + " + ceiling->link,
                total->bytesPerSecond + ceiling->bytesPerSecond };
    }
    observation.linkCeiling = total;
    return observation;
}

}
