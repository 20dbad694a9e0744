#include "cli/Command.h"
#include "cli/MainQueueWork.h"
#include "volumes/SystemVolume.h"
#include "core/Language.h"
#include "monitor/DiskScope.h"
#include "platform/SysfsRegistry.h"
#include "smart/ServiceManager.h"
#include "smart/SmartctlHelperClient.h"
#include "volumes/DiskVolumeResolver.h"
#include "volumes/LinkHealth.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fmt/format.h>
#include <map>
#include <nlohmann/json.hpp>

namespace tallowin::cli {

namespace {

struct VolumeOptions {
    std::string path;
    std::string device;
    bool json { false };
};

// Decimal units, as disks are sold and as `df -H` prints them.
std::string humanBytes(std::uint64_t bytes)
{
    static constexpr std::array<const char*, 6> units { "B", "kB", "MB", "GB", "TB", "PB" };
    double value = static_cast<double>(bytes);
    std::size_t unit = 0;
    while (value >= 1000 && unit + 1 < units.size()) {
        value /= 1000;
        ++unit;
    }
    if (unit == 0)
        return fmt::format("{} B", bytes);
    return fmt::format("{:.2f} {}", value, units[unit]);
}

nlohmann::ordered_json optionalJson(const std::optional<std::string>& value)
{
    return value ? nlohmann::ordered_json(*value) : nlohmann::ordered_json(nullptr);
}

nlohmann::ordered_json optionalJson(const std::optional<std::uint64_t>& value)
{
    return value ? nlohmann::ordered_json(*value) : nlohmann::ordered_json(nullptr);
}

void printLine(std::string_view label, std::string_view value)
{
    fmt::print("{:<18}{}\n", fmt::format("{}:", label), value);
}

std::string orDash(const std::optional<std::string>& value)
{
    return value ? *value : "-";
}

std::string capacityText(const std::optional<std::uint64_t>& bytes)
{
    if (!bytes)
        return "-";
    return fmt::format("{} ({} {})", humanBytes(*bytes), *bytes, localized("bytes", "字节"));
}

// A `volume` run waits this long at most for the helper's SMART report of a SATA drive.
constexpr std::chrono::milliseconds smartReplyTimeout { 2000 };

// The SATA interface speeds of drives from their SMART reports, when the helper daemon is
// already listening: `volume` never installs or starts it, and a missing or silent helper only
// means that the SATA links are not checked. One serving of the main queue for all drives: the
// shared helper manager keeps the main queue it was first given.
std::map<std::string, SataInterfaceSpeed> sataSpeedsFromHelper(const std::vector<std::string>& disks)
{
    auto socket = helperSocketPath();
    std::error_code error;
    if (disks.empty() || !std::filesystem::exists(socket, error))
        return {};
    return whileServingMainQueue<std::map<std::string, SataInterfaceSpeed>>([&] {
        std::map<std::string, SataInterfaceSpeed> speeds;
        auto client = SmartctlHelperClient::create(
            PrivilegedHelperManager::shared(), SmartctlHelperClient::Options { socket, smartReplyTimeout });
        for (const auto& disk : disks) {
            auto report = client->fetchSMARTData(disk);
            if (!report)
                continue;
            auto json = std::string_view(
                reinterpret_cast<const char*>(report->jsonData.data()), report->jsonData.size());
            if (auto speed = sataInterfaceSpeed(json))
                speeds.emplace(disk, *speed);
        }
        return speeds;
    });
}

// The link warnings of every whole disk under a block device (a partition's disk, the members
// of a device-mapper or md stack), each warning once.
std::vector<LinkWarning> linkWarningsUnder(const std::string& name, SysfsRegistry& registry)
{
    std::vector<std::pair<std::string, LinkFacts>> disks;
    std::vector<std::string> sataDisks;
    for (const auto& disk : wholeDisksUnder(name, sysfsBlockStack(registry.root()))) {
        auto facts = linkFacts(registry, disk);
        // A SATA drive, also one behind a USB bridge, reports its interface speeds in SMART.
        if (facts.kind == LinkFacts::Kind::sata || facts.kind == LinkFacts::Kind::usb)
            sataDisks.push_back(disk);
        disks.emplace_back(disk, std::move(facts));
    }
    auto sataSpeeds = sataSpeedsFromHelper(sataDisks);
    std::vector<LinkWarning> warnings;
    for (const auto& [disk, facts] : disks) {
        auto sata = sataSpeeds.find(disk);
        for (auto& warning :
            linkWarnings(facts, sata == sataSpeeds.end() ? std::nullopt : std::optional(sata->second))) {
            if (std::find(warnings.begin(), warnings.end(), warning) == warnings.end())
                warnings.push_back(std::move(warning));
        }
    }
    return warnings;
}

nlohmann::ordered_json warningsJson(const std::vector<LinkWarning>& warnings)
{
    nlohmann::ordered_json array = nlohmann::ordered_json::array();
    for (const auto& warning : warnings)
        array.push_back({ { "kind", warning.kind }, { "message", warning.message } });
    return array;
}

void printWarnings(const std::vector<LinkWarning>& warnings)
{
    for (const auto& warning : warnings)
        fmt::print("{}{}\n", localized("Warning: ", "警告："), warning.message);
}

int describeDevice(const VolumeOptions& options)
{
    SysfsRegistry registry;
    auto matches = registry.matchBSDName(options.device);
    if (!matches || matches->empty()) {
        fmt::print(stderr, "{}\n",
            localized(fmt::format("No block device named {}.", options.device),
                fmt::format("没有名为 {} 的块设备。", options.device)));
        return 1;
    }
    auto metadata = DiskVolumeResolver::connectionMetadata(options.device, registry);
    auto warnings = linkWarningsUnder(options.device, registry);
    if (options.json) {
        nlohmann::ordered_json object { { "type", metadata.type }, { "speed", optionalJson(metadata.speed) },
            { "vendor", optionalJson(metadata.vendor) }, { "product", optionalJson(metadata.product) },
            { "linkWarnings", warningsJson(warnings) } };
        fmt::print("{}\n", object.dump(2));
        return 0;
    }
    printLine(localized("Connection", "连接"), metadata.type);
    printLine(localized("Link speed", "链路速度"), orDash(metadata.speed));
    printLine(localized("Vendor", "厂商"), orDash(metadata.vendor));
    printLine(localized("Model", "型号"), orDash(metadata.product));
    printWarnings(warnings);
    return 0;
}

int describeVolume(const VolumeOptions& options)
{
    SysfsRegistry registry;
    auto descriptor = volumeAtPath(options.path, registry);
    if (!descriptor) {
        fmt::print(stderr, "{}\n", descriptor.error());
        return 1;
    }
    const auto& volume = *descriptor;
    auto warnings = linkWarningsUnder(volume.bsdName, registry);
    if (options.json) {
        nlohmann::ordered_json object { { "bsdName", volume.bsdName }, { "displayName", volume.displayName },
            { "connectionTypeDescription", volume.connectionTypeDescription },
            { "connectionSpeedDescription", optionalJson(volume.connectionSpeedDescription) },
            { "fileSystemDescription", optionalJson(volume.fileSystemDescription) },
            { "totalCapacityBytes", optionalJson(volume.totalCapacityBytes) },
            { "availableCapacityBytes", optionalJson(volume.availableCapacityBytes) },
            { "hardwareVendor", optionalJson(volume.hardwareVendor) },
            { "hardwareModel", optionalJson(volume.hardwareModel) }, { "url", volume.url },
            { "linkWarnings", warningsJson(warnings) } };
        fmt::print("{}\n", object.dump(2));
        return 0;
    }
    printLine(localized("Path", "路径"), volume.url);
    printLine(localized("Device", "设备"), volume.bsdName);
    printLine(localized("Name", "名称"), volume.displayName);
    printLine(localized("Connection", "连接"), volume.connectionTypeDescription);
    printLine(localized("Link speed", "链路速度"), orDash(volume.connectionSpeedDescription));
    printLine(localized("File system", "文件系统"), orDash(volume.fileSystemDescription));
    printLine(localized("Capacity", "容量"), capacityText(volume.totalCapacityBytes));
    printLine(localized("Available", "可用"), capacityText(volume.availableCapacityBytes));
    printLine(localized("Vendor", "厂商"), orDash(volume.hardwareVendor));
    printLine(localized("Model", "型号"), orDash(volume.hardwareModel));
    printWarnings(warnings);
    return 0;
}

const CommandRegistration registration { CommandDefinition { "volume",
    "Identify the volume behind a folder: device, connection, file system, capacity, vendor and model.",
    [](CLI::App& command, CommandRunner& runner) {
        auto options = std::make_shared<VolumeOptions>();
        auto* path = command.add_option("path", options->path, "A folder or file on the volume");
        auto* device = command.add_option(
            "--device", options->device, "A kernel block device name (sda, nvme0n1p2 …)");
        path->excludes(device);
        device->excludes(path);
        command.add_flag("--json", options->json, "Print one JSON object");
        command.callback([options, path, device, &runner] {
            if (options->path.empty() && options->device.empty())
                throw CLI::RequiredError("path or --device");
            runner = [options] {
                return options->device.empty() ? describeVolume(*options) : describeDevice(*options);
            };
        });
    } } };

}

}
