#include "charts/ChartExportSupport.h"
#include "support/FakeSmartctl.h"
#include "support/ShellCommand.h"
#include "support/TemporaryDirectory.h"

#include <algorithm>
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace tallowin {
namespace {

// The real program against the disk that holds the temporary folder.
TEST(MonitorExportCommand, WritesTableAndPictureAtTheEndOrExitsNonZeroWithTheMessage)
{
    testing::TemporaryDirectory directory;
    if (testing::runShell(fmt::format("'{}' volume '{}' --json 2>/dev/null", TALLOWIN_CLI_PATH, directory.path().string()))
            .exitStatus
        != 0)
        GTEST_SKIP() << "the temporary folder is on no block device that can be monitored";
    const auto csv = directory / "run.csv";
    const auto errors = directory / "stderr.txt";
    auto run = [&](const std::string& arguments) {
        return testing::runShell(fmt::format("LANGUAGE=en '{}' monitor '{}' --interval 10 {} 2>'{}'",
            TALLOWIN_CLI_PATH, directory.path().string(), arguments, errors.string()));
    };

    auto outcome = run(fmt::format("--duration 1 --json --export '{}'", csv.string()));
    ASSERT_EQ(outcome.exitStatus, 0) << testing::readText(errors);
    auto summary = nlohmann::json::parse(outcome.output.substr(outcome.output.rfind('\n', outcome.output.size() - 2) + 1));
    EXPECT_EQ(summary["exportCsvPath"], csv.string());
    EXPECT_EQ(summary["exportPngPath"], (directory / "run.png").string());
    EXPECT_NE(testing::readText(errors).find("CSV saved to: " + csv.string()), std::string::npos);

    auto table = testing::readText(csv);
    EXPECT_EQ(table.rfind(ChartExportSupport::csvHeader, 0), 0u);
    EXPECT_GE(std::count(table.begin(), table.end(), '\n'), 2) << "at least two samples in a second at 10 ms";
    // The PNG signature, then the header's width and height, big-endian: 3840 × 2160.
    auto picture = testing::readText(directory / "run.png");
    EXPECT_EQ(picture.substr(1, 3), "PNG");
    EXPECT_EQ(picture.substr(16, 8), std::string("\0\0\x0f\0\0\0\x08\x70", 8));

    auto missing = directory / "no-such-folder" / "run.csv";
    EXPECT_EQ(run(fmt::format("--duration 0.3 --export '{}'", missing.string())).exitStatus, 1);
    EXPECT_NE(testing::readText(errors).find(fmt::format("Export failed: {}: No such file or directory", missing.string())),
        std::string::npos)
        << testing::readText(errors);
}

}
}
