#include "benchmark/BenchmarkHistory.h"
#include "exporter/ExporterTestSupport.h"
#include "support/BlockDeviceUnderPath.h"
#include "support/FakeSysfsTree.h"
#include "support/ShellCommand.h"
#include "support/TemporaryDirectory.h"

#include <array>
#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <fmt/format.h>
#include <fstream>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sstream>

namespace tallowin {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::FakeSysfsTree;
using testing::httpGet;
using testing::sampleValue;

constexpr const char* promtoolPath = "/usr/bin/promtool";
constexpr const char* prometheusPath = "/usr/bin/prometheus";

// `tallowin-cli serve` on a port the kernel chooses; the port is what it prints first.
struct RunningExporter {
    ChildProcess process;
    std::uint16_t port { 0 };

    RunningExporter(std::vector<std::string> extraArguments, const ChildProcess::Environment& environment)
        : process(
            [&] {
                std::vector<std::string> arguments { TALLOWIN_CLI_PATH, "serve", "--listen", "127.0.0.1:0" };
                arguments.insert(arguments.end(), extraArguments.begin(), extraArguments.end());
                return arguments;
            }(),
            environment)
    {
        if (auto line = process.firstLine(30s); line && line->rfind(':') != std::string::npos)
            port = static_cast<std::uint16_t>(std::stoi(line->substr(line->rfind(':') + 1)));
    }
    std::string scrape() const { return httpGet(port, "/metrics").value_or(""); }
};

// What promtool says about an exposition; empty when it finds no problem.
std::string promtoolProblems(const std::string& exposition)
{
    testing::TemporaryDirectory directory("tallowin-promtool");
    std::ofstream(directory.path() / "metrics") << exposition;
    auto outcome = testing::runShell(
        fmt::format("{} check metrics < '{}' 2>&1", promtoolPath, (directory.path() / "metrics").string()));
    return outcome.exitStatus == 0 ? outcome.output
                                   : fmt::format("exit {}: {}", outcome.exitStatus, outcome.output);
}

TEST(ServeCommand, BadInputEndsWithAClearMessage)
{
    FakeSysfsTree tree;
    tree.block("virtual/block/fake0", 252, 0);
    const auto [taken, takenPort] = testing::boundPort(true); // this test listens on it
    struct Case {
        std::string arguments;
        int exitStatus;
        std::string message;
        std::string language { "en" };
    };
    const Case cases[] = {
        { "--devices fake0,nosuch0", 2, "there is no block device \"nosuch0\" (present: fake0)" },
        { "--devices /dev/nosuch0", 2, "there is no block device \"nosuch0\"" },
        { "--listen localhost:80", 2, "\"localhost:80\" is not an address and port" },
        { fmt::format("--listen 127.0.0.1:{}", takenPort), 1,
            fmt::format("127.0.0.1:{} is already in use; choose another port with --listen", takenPort) },
        // Label values are fixed to English before the server starts; messages are not.
        { fmt::format("--listen 127.0.0.1:{}", takenPort), 1,
            fmt::format("127.0.0.1:{} 已被占用；请用 --listen 选择其他端口", takenPort), "zh_CN" },
        { "--devices fake0 --listen 192.0.2.1:1", 1, "cannot listen on 192.0.2.1:1" },
    };
    for (const auto& [arguments, exitStatus, message, language] : cases) {
        SCOPED_TRACE(arguments);
        auto outcome = testing::runShell(
            fmt::format("LANGUAGE={} TALLOWIN_SYSFS_ROOT='{}' timeout 60 {} serve {} 2>&1", language,
                tree.rootString(), TALLOWIN_CLI_PATH, arguments));
        EXPECT_EQ(outcome.exitStatus, exitStatus) << outcome.output;
        EXPECT_NE(outcome.output.find(message), std::string::npos) << outcome.output;
    }
}

TEST(ServeCommand, WithoutTheHelperAndWithADeviceGoneTheEndpointStaysUp)
{
    FakeSysfsTree tree;
    tree.block("virtual/block/fake0", 252, 0, "  10 0 20 0 30 0 40 0 0 0 0 0 0 0 0 0 0\n");
    auto gone = tree.block("virtual/block/fake1", 252, 16);
    testing::TemporaryDirectory directory("tallowin-serve");
    // A history of its own, never the user's: one run, so that promtool sees those series too.
    const auto history = (directory.path() / "benchmarks.jsonl").string();
    BenchmarkRecord run;
    run.finishedAt = 1'700'000'000;
    run.device.key = "serial:F0";
    run.device.bsdName = "fake0";
    run.writeThroughput = 123e6;
    FakeSysfsTree::write(history, historyLine(run) + "\n");
    RunningExporter exporter({ "--smart-interval", "1", "--history", history },
        { { "LANGUAGE", "en" }, { "TALLOWIN_SYSFS_ROOT", tree.rootString() },
            { "TALLOWIN_HELPER_SOCKET", (directory.path() / "nobody-listens.sock").string() } });
    ASSERT_NE(exporter.port, 0);

    // Every refresh fails and says so; the SMART series themselves are simply missing.
    std::string exposition;
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (sampleValue(
               exposition = exporter.scrape(), R"(tallowin_smart_refresh_failures_total{device="fake0"})")
               .value_or(0)
        < 2) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << exposition;
        std::this_thread::sleep_for(200ms);
    }
    EXPECT_EQ(exposition.find("tallowin_smart_healthy"), std::string::npos);
    EXPECT_EQ(sampleValue(exposition, R"(tallowin_disk_written_bytes_total{device="fake0"})"), 40 * 512.0);
    EXPECT_TRUE(sampleValue(exposition, R"(tallowin_disk_written_bytes_total{device="fake1"})"));
    EXPECT_EQ(sampleValue(exposition,
                  R"(tallowin_benchmark_write_bytes_per_second{device="fake0",drive="serial:F0"})"),
        123e6);

    fs::remove(tree.root() / "class/block/fake1");
    fs::remove_all(gone);
    auto after = exporter.scrape();
    EXPECT_TRUE(sampleValue(after, R"(tallowin_disk_written_bytes_total{device="fake0"})")) << after;
    EXPECT_EQ(after.find(R"(device="fake1")"), std::string::npos) << after;

    if (fs::exists(promtoolPath)) {
        EXPECT_EQ(promtoolProblems(after), "");
    }
    EXPECT_EQ(exporter.process.stop(), 0); // SIGTERM is an orderly end
    if (!fs::exists(promtoolPath))
        GTEST_SKIP() << "promtool (package prometheus) is not installed: the exposition went unchecked";
}

// The `result` of a query to Prometheus's HTTP API evaluated at `time`, or null.
nlohmann::json query(
    std::uint16_t port, const std::string& expression, std::optional<double> time = std::nullopt)
{
    std::string path = "/api/v1/query?query=";
    for (unsigned char c : expression)
        path += std::isalnum(c) ? std::string(1, static_cast<char>(c)) : fmt::format("%{:02X}", c);
    auto reply = nlohmann::json::parse(
        httpGet(port, path + (time ? fmt::format("&time={:.3f}", *time) : "")).value_or(""), nullptr, false);
    return reply.is_object() && reply.value("status", "") == "success" ? reply["data"]["result"]
                                                                       : nlohmann::json();
}

std::uint64_t kernelWrittenBytes(const std::string& disk)
{
    std::ifstream stat("/sys/class/block/" + disk + "/stat");
    std::uint64_t fields[7] {};
    for (auto& field : fields)
        stat >> field;
    return fields[6] * 512;
}

double wallClockNow()
{
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

TEST(PrometheusScrape, WrittenBytesIncreaseIsTheKernelsOwnDifference)
{
    if (!fs::exists(prometheusPath))
        GTEST_SKIP() << "Prometheus (package prometheus) is not installed";
    auto device = testing::blockDeviceUnder(fs::temp_directory_path());
    if (!device)
        GTEST_SKIP() << "the temporary folder is not on a block device";
    testing::TemporaryDirectory directory("tallowin-prometheus");
    testing::TemporaryDirectory noHistory("tallowin-scrape");
    RunningExporter exporter({ "--devices", device->disk, "--smart-interval", "0", "--history",
                                 (noHistory.path() / "none.jsonl").string() },
        { { "LANGUAGE", "en" } });
    ASSERT_NE(exporter.port, 0);
    const auto prometheusPort = testing::unusedPort();
    std::ofstream(directory.path() / "prometheus.yml") << fmt::format(
        "global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n"
        "scrape_configs:\n  - job_name: tallowin\n    static_configs:\n      - targets: ['127.0.0.1:{}']\n",
        exporter.port);
    ChildProcess prometheus(
        { prometheusPath, "--config.file=" + (directory.path() / "prometheus.yml").string(),
            "--storage.tsdb.path=" + (directory.path() / "data").string(),
            fmt::format("--web.listen-address=127.0.0.1:{}", prometheusPort), "--log.level=error" });
    const auto series = fmt::format(R"(tallowin_disk_written_bytes_total{{device="{}"}})", device->disk);

    struct Sample {
        double timestamp { 0 }, value { 0 };
    };
    auto newestSample = [&]() -> std::optional<Sample> {
        auto result = query(prometheusPort, series + "[10s]");
        if (!result.is_array() || result.empty() || result[0]["values"].empty())
            return std::nullopt;
        const auto& newest = result[0]["values"].back();
        return Sample { newest[0].get<double>(), std::stod(newest[1].get<std::string>()) };
    };
    // A scrape whose counter the kernel showed just before and just after it: the kernel's
    // counter before, then the first sample scraped later, then the kernel's counter again. The
    // scraped value lies between the two, so when they are equal (nobody else wrote meanwhile)
    // it is known exactly. Reading just before the next scrape is due keeps the window short.
    auto pin = [&]() -> std::optional<std::pair<Sample, std::uint64_t>> {
        for (int attempt = 0; attempt < 60; ++attempt) {
            auto last = newestSample();
            if (!last)
                return std::nullopt;
            if (auto wait = last->timestamp + 1.0 - 0.03 - wallClockNow(); wait > 0)
                std::this_thread::sleep_for(std::chrono::duration<double>(wait));
            const auto kernelBefore = kernelWrittenBytes(device->disk);
            const double readAt = wallClockNow();
            std::optional<Sample> next;
            for (auto deadline = std::chrono::steady_clock::now() + 10s;
                 std::chrono::steady_clock::now() < deadline && !(next && next->timestamp > readAt);
                 std::this_thread::sleep_for(10ms))
                next = newestSample();
            const auto kernelAfter = kernelWrittenBytes(device->disk);
            if (!next || next->timestamp <= readAt)
                return std::nullopt;
            EXPECT_LE(static_cast<double>(kernelBefore), next->value);
            EXPECT_GE(static_cast<double>(kernelAfter), next->value);
            if (kernelBefore == kernelAfter)
                return std::pair { *next, kernelBefore };
        }
        return std::nullopt;
    };
    // Prometheus starts slowly on a busy machine.
    for (auto deadline = std::chrono::steady_clock::now() + 120s; !newestSample();
         std::this_thread::sleep_for(200ms))
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "Prometheus never scraped the exporter";

    auto before = pin();
    ASSERT_TRUE(before) << "the disk was never quiet for a scrape";
    {
        constexpr std::size_t chunk = 4 * 1024 * 1024, total = 64 * 1024 * 1024;
        alignas(4096) static std::array<char, chunk> buffer {}; // O_DIRECT needs an aligned buffer
        FileDescriptor file(
            ::open((directory.path() / "written").c_str(), O_WRONLY | O_CREAT | O_DIRECT | O_CLOEXEC, 0600));
        ASSERT_TRUE(file) << std::strerror(errno);
        for (std::size_t written = 0; written < total; written += chunk)
            ASSERT_EQ(::write(file.get(), buffer.data(), chunk), static_cast<ssize_t>(chunk))
                << std::strerror(errno);
        ASSERT_EQ(::fsync(file.get()), 0);
    }
    auto after = pin();
    ASSERT_TRUE(after) << "the disk was never quiet for a scrape";

    // Prometheus's own arithmetic over its stored samples at the two scrape instants.
    const auto [afterSample, kernelAfter] = *after;
    auto offsetMilliseconds = std::llround((afterSample.timestamp - before->first.timestamp) * 1000);
    auto increase = query(prometheusPort, fmt::format("{0} - {0} offset {1}ms", series, offsetMilliseconds),
        afterSample.timestamp);
    ASSERT_TRUE(increase.is_array() && increase.size() == 1) << increase.dump();
    const double prometheusIncrease = std::stod(increase[0]["value"][1].get<std::string>());
    const auto kernelIncrease = kernelAfter - before->second;
    EXPECT_EQ(prometheusIncrease, static_cast<double>(kernelIncrease));
    EXPECT_GE(prometheusIncrease, 64.0 * 1024 * 1024);
    RecordProperty("kernel_increase_bytes", std::to_string(kernelIncrease));

    // What Prometheus scraped is what promtool accepts.
    if (fs::exists(promtoolPath)) {
        EXPECT_EQ(promtoolProblems(exporter.scrape()), "");
    }
    prometheus.stop();
    EXPECT_EQ(exporter.process.stop(), 0);
}

}
}
