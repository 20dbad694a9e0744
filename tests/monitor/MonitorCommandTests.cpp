#include "support/ShellCommand.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sstream>

namespace {

// Runs a shell command line in which "CLI" stands for tallowin-cli, in English.
tallowin::testing::ShellOutcome run(const std::string& commandLine)
{
    return tallowin::testing::runShell(
        "LANGUAGE=en; export LANGUAGE; CLI=" TALLOWIN_CLI_PATH "; " + commandLine);
}

// Checks the per-batch JSON lines against the summary, which scripts rely on; returns the summary.
nlohmann::ordered_json expectConsistent(const std::string& output)
{
    std::vector<nlohmann::ordered_json> lines;
    std::istringstream stream(output);
    for (std::string line; std::getline(stream, line);)
        lines.push_back(nlohmann::ordered_json::parse(line));
    if (lines.size() < 2) {
        ADD_FAILURE() << "no batch lines: " << output;
        return {};
    }
    const std::vector<std::string> keys { "samples", "currentReadBytes", "currentWriteBytes",
        "currentReadOperations", "currentWriteOperations", "totalReadBytes", "totalWriteBytes",
        "monitoringDuration" };
    std::uint64_t samples = 0;
    for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
        std::vector<std::string> lineKeys;
        for (const auto& item : lines[i].items())
            lineKeys.push_back(item.key());
        EXPECT_EQ(lineKeys, keys);
        EXPECT_GE(lines[i]["samples"].get<std::uint64_t>(), 1u);
        samples += lines[i]["samples"].get<std::uint64_t>();
    }
    const auto& summary = lines.back();
    EXPECT_EQ(summary["summary"], true);
    EXPECT_EQ(summary["samples"].get<std::uint64_t>(), samples);
    EXPECT_EQ(summary["batches"].get<std::size_t>(), lines.size() - 1);
    EXPECT_EQ(summary["totalWriteBytes"], lines[lines.size() - 2]["totalWriteBytes"]);
    EXPECT_EQ(summary["totalReadBytes"], lines[lines.size() - 2]["totalReadBytes"]);
    return summary;
}

}

TEST(MonitorCommand, JsonLinesAddUpToTheSummaryForADurationAndForCtrlC)
{
    if (!std::filesystem::exists("/sys/block/vda/stat"))
        GTEST_SKIP() << "needs /sys/block/vda";
    auto timed = run("\"$CLI\" monitor --device vda --interval 10 --duration 1 --json 2>/dev/null");
    EXPECT_EQ(timed.exitStatus, 0);
    auto summary = expectConsistent(timed.output);
    EXPECT_GE(summary.value("samples", 0), 50); // about a hundred 10 ms samples in a second
    EXPECT_LE(summary.value("samples", 0), 101);
    EXPECT_GE(summary.value("monitoringDuration", 0.0), 0.9);

    auto interrupted = run(
        "\"$CLI\" monitor / --interval 1 --json 2>/dev/null & pid=$!; sleep 0.5; kill -INT $pid; wait $pid");
    EXPECT_EQ(interrupted.exitStatus, 0);
    expectConsistent(interrupted.output);
}

TEST(MonitorCommand, ErrorsPrintTheirOwnMessageAndFail)
{
    for (const auto& [arguments, message] : std::initializer_list<std::pair<const char*, const char*>> {
             { "--device nosuchdisk0 --duration 5", "Unable to fetch statistics for the selected volume." },
             { "/no/such/folder/anywhere --json", "Failed to resolve the BSD name for the selected path." },
             { "--device vda --interval 5", "Unsupported sampling interval: 5 ms." },
             { "", "Give either a folder or --device NAME." } }) {
        auto outcome = run(std::string("\"$CLI\" monitor ") + arguments + " 2>&1 >/dev/null");
        EXPECT_NE(outcome.exitStatus, 0) << arguments;
        EXPECT_NE(outcome.output.find(message), std::string::npos) << arguments << ": " << outcome.output;
    }
}
