#include "cli/Command.h"
#include "cli/MainQueueWork.h"
#include "cli/SystemVolume.h"
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

// The SATA interface speeds of a drive from its SMART report, when the helper daemon is already
// listening: `volume` never installs or starts it, and a missing or silent helper only means
// that the SATA link is not checked.
std::optional<SataInterfaceSpeed> sataSpeedFromHelper(const std::string& disk)
{
    auto socket = helperSocketPath();
    std::error_code error;
    if (!std::filesystem::exists(socket, error))
        return std::nullopt;
    auto report = whileServingMainQueue<std::optional<SmartctlExecutionResult>>([&] {
        auto client = SmartctlHelperClient::create(
            PrivilegedHelperManager::shared(), SmartctlHelperClient::Options { socket, smartReplyTimeout });
        return client->fetchSMARTData(disk);
    });
    if (!report)
        return std::nullopt;
    return sataInterfaceSpeed(
        std::string_view(reinterpret_cast<const char*>(report->jsonData.data()), report->jsonData.size()));
}

// The link warnings of every whole disk under a block device (a partition's disk, the members
// of a device-mapper or md stack), each warning once.
std::vector<LinkWarning> linkWarningsUnder(const std::string& name, SysfsRegistry& registry)
{
    std::vector<LinkWarning> warnings;
    for (const auto& disk : wholeDisksUnder(name, sysfsBlockStack(registry.root()))) {
        auto facts = linkFacts(registry, disk);
        std::optional<SataInterfaceSpeed> sata;
        // A SATA drive, also one behind a USB bridge, reports its interface speeds in SMART.
        if (facts.kind == LinkFacts::Kind::sata || facts.kind == LinkFacts::Kind::usb)
            sata = sataSpeedFromHelper(disk);
        for (auto& warning : linkWarnings(facts, sata)) {
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
