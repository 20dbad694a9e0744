// `tallowin-cli bench` end to end, with the real phase durations: the JSON contract that scripts
// rely on, and a Ctrl-C that cannot remove its file. (That a stop removes its files is shown by
// the tester's own tests.)
#include "support/ShellCommand.h"
#include "support/TemporaryDirectory.h"

#include <cmath>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <nlohmann/json.hpp>
#include <sstream>
#include <unistd.h>

namespace tallowin {
namespace {

namespace fs = std::filesystem;
using Names = std::vector<std::string>;

// The command with English texts and nothing else of the test's environment; its history goes
// to a folder of the test's own, never to the user's state folder.
const testing::TemporaryDirectory stateHome("tallowin-bench-state");
const std::string bench = "env -i LANGUAGE=en LC_ALL=C XDG_STATE_HOME=" + stateHome.path().string() + " "
    + TALLOWIN_CLI_PATH + " bench ";

Names names(const fs::path& directory)
{
    Names result;
    for (const auto& entry : fs::directory_iterator(directory))
        result.push_back(entry.path().filename().string());
    return result;
}

// A real 1 GB run on the system disk (about 25 s here): the device's own counters must show the
// writes reaching the device and the reads coming from it, not from the page cache.
TEST(BenchCommand, JsonCarriesTheResultFieldsTheDevicesBytesAndTheReportPath)
{
    testing::TemporaryDirectory folder("/var/tmp/tallowin-bench-cli");
    auto run = testing::runShell(bench + folder.path().string() + " --size 1 --json 2>/dev/null");
    ASSERT_EQ(run.exitStatus, 0);
    auto json = nlohmann::json::parse(run.output, nullptr, false);
    ASSERT_TRUE(json.is_object()) << run.output;
    for (const char* key : { "actualByteCount", "writeThroughput", "readThroughput", "randomWriteIOPS",
             "randomReadIOPS", "randomOperationCount", "maximumWriteThroughput", "maximumReadThroughput",
             "writeDuration", "readDuration", "timeline", "reportPath" })
        EXPECT_TRUE(json.contains(key)) << key;
    EXPECT_EQ(json["actualByteCount"], 1000000000);
    EXPECT_GT(json["randomOperationCount"].get<std::int64_t>(), 0);
    ASSERT_FALSE(json["timeline"].empty());
    EXPECT_EQ(json["timeline"][0]["phase"], "sequentialWrite");
    fs::path report = json["reportPath"].get<std::string>();
    EXPECT_EQ(report.parent_path(), folder.path());
    EXPECT_EQ(names(folder.path()), Names { report.filename().string() });

    ASSERT_EQ(json["phases"].size(), 4u);
    for (const auto& phase : json["phases"]) {
        SCOPED_TRACE(phase["phase"].get<std::string>());
        for (const char* key : { "phase", "countedBytes", "throughput", "deviceReadBytes", "deviceWriteBytes",
                 "deviceReadOperations", "deviceWriteOperations", "warnings" })
            EXPECT_TRUE(phase.contains(key)) << key;
        ASSERT_TRUE(phase["deviceReadBytes"].is_number()) << "the counters of the folder's disk are readable";
        auto counted = phase["countedBytes"].get<double>();
        auto name = phase["phase"].get<std::string>();
        bool isWrite = name.ends_with("Write");
        auto moved = phase[isWrite ? "deviceWriteBytes" : "deviceReadBytes"].get<double>();
        if (name.starts_with("sequential")) {
            EXPECT_GE(moved, (isWrite ? 0.95 : 0.9) * counted);
            EXPECT_TRUE(phase["warnings"].empty()) << phase["warnings"].dump();
        } else if (!phase["warnings"].empty()) {
            // 4 KiB operations at random places in a 512 MiB region: a fast enough disk comes
            // back to pages it already wrote or read within the 5 s, and the page cache merges
            // or answers those. The device must still have moved every distinct page once: k
            // operations over N pages touch N(1 - e^(-k/N)) of them on average.
            EXPECT_EQ(phase["warnings"][0]["kind"], "cache");
            const double pages = 536870912.0 / 4096;
            const double operations = counted / 4096;
            const double distinctBytes = pages * (1 - std::exp(-operations / pages)) * 4096;
            EXPECT_GE(moved, 0.9 * distinctBytes);
        } else {
            EXPECT_GE(moved, 0.9 * counted);
        }
    }
    EXPECT_EQ(json["phases"][2]["countedBytes"], 1000000000);

    std::ifstream history(stateHome.path() / "tallowin/benchmarks.jsonl");
    std::string line;
    ASSERT_TRUE(std::getline(history, line)) << "the run joins the history";
    auto stored = nlohmann::json::parse(line);
    EXPECT_EQ(stored["payloadBytes"], 1000000000);
    EXPECT_EQ(stored["writeThroughput"], json["writeThroughput"]);
    EXPECT_EQ(stored["phases"], json["phases"]);
    EXPECT_FALSE(stored["device"]["key"].get<std::string>().empty());
}

// The folder made immutable (even root cannot delete in it) during the random phases, then
// Ctrl-C: the command must name the file it could not remove instead of claiming it removed it.
TEST(BenchCommand, InterruptReportsTheFilesItCouldNotRemove)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "making a folder immutable needs root";
    testing::TemporaryDirectory workspace("/var/tmp/tallowin-bench-cli");
    auto folder = workspace / "volume";
    auto errors = workspace / "errors.txt";
    fs::create_directory(folder);
    // Prints the exit status and whether the folder became immutable, then what is left in it.
    auto run = testing::runShell(bench + folder.string() + " --size 1 >/dev/null 2>" + errors.string()
        + " & pid=$!; d=" + folder.string() + "; for i in $(seq 1000); do [ -z \"$(ls -A $d)\" ] || break;"
        + " sleep 0.01; done; chattr +i $d 2>/dev/null; fixed=$?; kill -INT $pid; wait $pid; echo $? $fixed;"
        + " ls $d; [ $fixed != 0 ] || chattr -i $d");
    std::istringstream output(run.output);
    int status = -1, immutable = -1;
    output >> status >> immutable;
    if (immutable != 0)
        GTEST_SKIP() << "the file system has no immutable attribute";
    EXPECT_EQ(status, 130);
    Names left { std::istream_iterator<std::string>(output), std::istream_iterator<std::string>() };
    ASSERT_EQ(left.size(), 1u) << "the random test file should stay";
    std::ifstream stream(errors);
    std::string text((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text.find("temporary files removed"), std::string::npos) << text;
    EXPECT_NE(text.find("These temporary files could not be removed:\n" + (folder / left[0]).string()),
        std::string::npos)
        << text;
}

}
}
