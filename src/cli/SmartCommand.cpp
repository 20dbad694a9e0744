#include "cli/Command.h"
#include "cli/MainQueueWork.h"
#include "volumes/SystemVolume.h"
#include "core/Language.h"
#include "core/MainQueue.h"
#include "helper_protocol/SmartctlHelperProtocol.h"
#include "platform/SysfsRegistry.h"
#include "smart/PrivilegedHelperManager.h"
#include "smart/SMARTInfoProvider.h"
#include "smart/SmartctlHelperClient.h"

#include <cstdio>
#include <fmt/format.h>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <thread>

namespace tallowin::cli {

namespace {

struct SmartOptions {
    bool raw { false };
    bool json { false };
    std::string path;
    std::string device;
};

nlohmann::ordered_json optionalJson(const std::optional<std::string>& value)
{
    return value ? nlohmann::ordered_json(*value) : nlohmann::ordered_json(nullptr);
}

void printReport(const DiskSMARTInfo& info, bool asJson)
{
    if (asJson) {
        nlohmann::ordered_json details = nlohmann::ordered_json::array();
        for (const auto& row : info.details)
            details.push_back({ { "keyPath", row.keyPath }, { "displayName", row.displayName }, { "value", row.value } });
        nlohmann::ordered_json object { { "overallStatus", optionalJson(info.overallStatus) },
            { "isCapable", info.isCapable ? nlohmann::ordered_json(*info.isCapable) : nlohmann::ordered_json(nullptr) },
            { "sourceCommand", optionalJson(info.sourceCommand) }, { "details", std::move(details) } };
        fmt::print("{}\n", object.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace));
        return;
    }
    auto dash = std::string("-");
    auto capable = info.isCapable ? localized(*info.isCapable ? "Yes" : "No", *info.isCapable ? "是" : "否") : dash;
    fmt::print("{}{}\n", localized("Overall status: ", "总体状态："), info.overallStatus.value_or(dash));
    fmt::print("{}{}\n", localized("SMART capable: ", "支持 SMART："), capable);
    fmt::print("{}{}\n\n", localized("Command: ", "命令："), info.sourceCommand.value_or(dash));
    for (const auto& row : info.details)
        fmt::print("{}: {}\n", row.displayName, row.value);
}

int runReport(const SmartOptions& options)
{
    std::string bsdName = options.device;
    if (!options.path.empty()) {
        SysfsRegistry registry;
        auto volume = volumeAtPath(options.path, registry);
        if (!volume) {
            fmt::print(stderr, "{}\n", volume.error());
            return 1;
        }
        bsdName = volume->bsdName;
    }
    auto info = whileServingMainQueue<std::optional<DiskSMARTInfo>>(
        [bsdName] { return SMARTInfoProvider::fetchSMARTInfo(bsdName); });
    if (!info) {
        fmt::print(stderr, "{}\n", localized("SMART data is not available for this volume", "当前卷未提供 SMART 数据"));
        return 1;
    }
    printReport(*info, options.json);
    std::fflush(stdout);
    return 0;
}

void writeBytes(std::FILE* stream, ByteView bytes)
{
    // An empty vector's data() may be null, which fwrite must never see.
    if (!bytes.empty())
        std::fwrite(bytes.data(), 1, bytes.size(), stream);
}

int runSmart(const SmartOptions& options)
{
    if (!options.raw)
        return runReport(options);
    if (options.device.empty()) {
        std::fputs(localized("tallowin-cli smart: --raw needs --device.\n", "tallowin-cli smart：--raw 需要 --device。\n")
                       .c_str(),
            stderr);
        return 2;
    }
    std::string_view device = options.device;
    if (device.starts_with("/dev/"))
        device.remove_prefix(5);
    if (!SmartctlHelperProtocol::isPlainBlockDeviceName(device)) {
        std::fputs(
            (isEnglish() ? fmt::format(
                 "tallowin-cli smart: \"{}\" is not a block device name such as sda or nvme0n1.\n",
                 options.device)
                         : fmt::format("tallowin-cli smart：“{}”不是块设备名称（例如 sda 或 nvme0n1）。\n",
                             options.device))
                .c_str(),
            stderr);
        return 2;
    }

    auto outcome = whileServingMainQueue<Expected<SmartctlExecutionResult, SmartctlHelperClient::FetchFailure>>(
        [name = std::string(device)] { return SmartctlHelperClient::shared()->fetchSMARTDataExplained(name); });
    if (!outcome) {
        std::fputs((outcome.error().localizedDescription() + "\n").c_str(), stderr);
        return 1;
    }
    const auto& result = outcome.value();
    auto header = isEnglish()
        ? fmt::format("exit status: {}\ncommand: {}\nstandard output: {} bytes\nstandard error: {} bytes\n\n",
            result.terminationStatus, result.commandDescription, result.jsonData.size(),
            result.standardError.size())
        : fmt::format("退出状态：{}\n命令：{}\n标准输出：{} 字节\n标准错误：{} 字节\n\n",
            result.terminationStatus, result.commandDescription, result.jsonData.size(),
            result.standardError.size());
    std::fputs(header.c_str(), stdout);
    writeBytes(stdout, result.jsonData);
    std::fflush(stdout);
    writeBytes(stderr, result.standardError);
    return 0;
}

CommandRegistration smartCommand { {
    "smart",
    "Show a disk's SMART data, fetched through the privileged helper daemon (smartctl -j -x).",
    [](CLI::App& command, CommandRunner& runner) {
        auto options = std::make_shared<SmartOptions>();
        auto* path = command.add_option("path", options->path, "A folder or file on the volume");
        auto* device
            = command.add_option("--device", options->device, "Block device name, for example sda or nvme0n1p2");
        path->excludes(device);
        device->excludes(path);
        command.add_flag("--json", options->json, "Print one JSON object: status, capability, command, rows");
        command.add_flag(
            "--raw", options->raw, "Print smartctl's result as it came: status, command, sizes, JSON");
        command.callback([options, &runner] {
            if (options->path.empty() && options->device.empty())
                throw CLI::RequiredError("path or --device");
            runner = [options] { return runSmart(*options); };
        });
    },
} };

}

}
