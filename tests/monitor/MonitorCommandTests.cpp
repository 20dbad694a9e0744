// tallowin-cli monitor as scripts use it: the JSON lines, the summary, the exit status, and a
// clean stop on SIGINT.

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

std::vector<nlohmann::ordered_json> jsonLines(const std::string& text)
{
    std::vector<nlohmann::ordered_json> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);)
        lines.push_back(nlohmann::ordered_json::parse(line));
    return lines;
}

// Checks the per-batch lines against the summary, which scripts rely on.
void expectConsistent(const std::vector<nlohmann::ordered_json>& lines)
{
    ASSERT_GE(lines.size(), 2u);
    const auto& summary = lines.back();
    EXPECT_EQ(summary["summary"], true);
    std::uint64_t samples = 0;
    for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
        const auto& line = lines[i];
        std::vector<std::string> keys;
        for (const auto& item : line.items())
            keys.push_back(item.key());
        EXPECT_EQ(keys,
            (std::vector<std::string> { "samples", "currentReadBytes", "currentWriteBytes",
                "currentReadOperations", "currentWriteOperations", "totalReadBytes", "totalWriteBytes",
                "monitoringDuration" }));
        EXPECT_GE(line["samples"].get<std::uint64_t>(), 1u);
        samples += line["samples"].get<std::uint64_t>();
    }
    EXPECT_EQ(summary["samples"].get<std::uint64_t>(), samples);
    EXPECT_EQ(summary["batches"].get<std::size_t>(), lines.size() - 1);
    EXPECT_EQ(summary["totalWriteBytes"], lines[lines.size() - 2]["totalWriteBytes"]);
    EXPECT_EQ(summary["totalReadBytes"], lines[lines.size() - 2]["totalReadBytes"]);
}

}

TEST(MonitorCommand, JsonLinesAddUpToTheSummary)
{
    if (!std::filesystem::exists("/sys/block/vda/stat"))
        GTEST_SKIP() << "needs /sys/block/vda";
    auto outcome = run("\"$CLI\" monitor --device vda --interval 10 --duration 1 --json 2>/dev/null");
    EXPECT_EQ(outcome.exitStatus, 0);
    auto lines = jsonLines(outcome.output);
    expectConsistent(lines);
    // About a hundred 10 ms samples in a second.
    EXPECT_GE(lines.back()["samples"].get<int>(), 50);
    EXPECT_LE(lines.back()["samples"].get<int>(), 101);
    EXPECT_GE(lines.back()["monitoringDuration"].get<double>(), 0.9);
}

TEST(MonitorCommand, InterruptStopsWithTheSummary)
{
    if (!std::filesystem::exists("/sys/block/vda/stat"))
        GTEST_SKIP() << "needs /sys/block/vda";
    auto outcome = run(
        "\"$CLI\" monitor / --interval 1 --json 2>/dev/null & pid=$!; sleep 0.5; kill -INT $pid; wait $pid");
    EXPECT_EQ(outcome.exitStatus, 0);
    expectConsistent(jsonLines(outcome.output));
}

TEST(MonitorCommand, ErrorsPrintTheirOwnMessageAndFail)
{
    struct Case {
        const char* arguments;
        const char* message;
    };
    for (const auto& [arguments, message] : std::initializer_list<Case> {
             { "--device nosuchdisk0 --duration 5", "Unable to fetch statistics for the selected volume." },
             { "/no/such/folder/anywhere --json", "Failed to resolve the BSD name for the selected path." },
             { "--device vda --interval 5", "Unsupported sampling interval: 5 ms." },
             { "", "Give either a folder or --device NAME." },
         }) {
        auto outcome = run(std::string("\"$CLI\" monitor ") + arguments + " 2>&1 >/dev/null");
        EXPECT_NE(outcome.exitStatus, 0) << arguments;
        EXPECT_NE(outcome.output.find(message), std::string::npos) << arguments << ": " << outcome.output;
    }
}
