#include "cli/Command.h"
#include "core/Language.h"
#include "core/MainQueue.h"
#include "helper_protocol/SmartctlHelperProtocol.h"
#include "smart/PrivilegedHelperManager.h"
#include "smart/SmartctlHelperClient.h"

#include <cstdio>
#include <fmt/format.h>
#include <memory>
#include <optional>
#include <thread>

namespace tallowin::cli {

namespace {

struct SmartOptions {
    bool raw { false };
    std::string device;
};

void writeBytes(std::FILE* stream, ByteView bytes)
{
    // An empty vector's data() may be null, which fwrite must never see.
    if (!bytes.empty())
        std::fwrite(bytes.data(), 1, bytes.size(), stream);
}

int runSmart(const SmartOptions& options)
{
    if (!options.raw) {
        std::fputs(localized("tallowin-cli smart: only --raw is available; add --raw.\n",
                       "tallowin-cli smart：目前只支持 --raw，请加上 --raw。\n")
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

    // The manager's registration workflow runs on the main thread, so this thread serves the
    // main queue while another one waits for the daemon.
    auto mainQueue = std::make_shared<EventLoopMainQueue>();
    PrivilegedHelperManager::setSharedMainQueue(mainQueue);
    std::optional<Expected<SmartctlExecutionResult, SmartctlHelperClient::FetchFailure>> outcome;
    std::thread fetcher([&, name = std::string(device)] {
        auto fetched = SmartctlHelperClient::shared()->fetchSMARTDataExplained(name);
        mainQueue->post([&, fetched = std::move(fetched)]() mutable {
            outcome.emplace(std::move(fetched));
            mainQueue->quit();
        });
    });
    mainQueue->run();
    fetcher.join();

    if (!*outcome) {
        std::fputs((outcome->error().localizedDescription() + "\n").c_str(), stderr);
        return 1;
    }
    const auto& result = outcome->value();
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
    "Fetch a disk's SMART data through the privileged helper daemon (smartctl -j -x).",
    [](CLI::App& command, CommandRunner& runner) {
        auto options = std::make_shared<SmartOptions>();
        command.add_flag(
            "--raw", options->raw, "Print smartctl's result as it came: status, command, sizes, JSON");
        command.add_option("--device", options->device, "Block device name, for example sda or nvme0n1")
            ->required();
        command.callback([options, &runner] { runner = [options] { return runSmart(*options); }; });
    },
} };

}

}
