#include "charts/ChartExportSupport.h"
#include "support/ShellCommand.h"
#include "support/TemporaryDirectory.h"

#include <filesystem>
#include <fmt/format.h>
#include <fstream>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sstream>

namespace tallowin {
namespace {

std::string readFile(const std::filesystem::path& path)
{
    std::ifstream file(path, std::ios::binary);
    std::stringstream contents;
    contents << file.rdbuf();
    return contents.str();
}

std::uint32_t bigEndian(const std::string& bytes, std::size_t offset)
{
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i)
        value = value << 8 | static_cast<std::uint8_t>(bytes[offset + i]);
    return value;
}

// The real program against the disk that holds the temporary folder.
class MonitorExportCommand : public ::testing::Test {
protected:
    testing::ShellOutcome run(const std::string& arguments)
    {
        return testing::runShell(fmt::format("LANGUAGE=en '{}' monitor '{}' {} 2>'{}'", TALLOWIN_CLI_PATH,
            directory.path().string(), arguments, (directory / "stderr.txt").string()));
    }
    std::string errors() { return readFile(directory / "stderr.txt"); }

    void SetUp() override
    {
        auto volume = testing::runShell(
            fmt::format("'{}' volume '{}' --json 2>/dev/null", TALLOWIN_CLI_PATH, directory.path().string()));
        if (volume.exitStatus != 0)
            GTEST_SKIP() << "the temporary folder is on no block device that can be monitored";
    }

    testing::TemporaryDirectory directory;
};

TEST_F(MonitorExportCommand, WritesTableAndPictureAtTheEndOfTheRun)
{
    auto csv = directory / "run.csv";
    auto outcome = run(fmt::format("--interval 10 --duration 1 --json --export '{}'", csv.string()));
    ASSERT_EQ(outcome.exitStatus, 0) << errors();

    auto lastLine = outcome.output.substr(outcome.output.rfind('\n', outcome.output.size() - 2) + 1);
    auto summary = nlohmann::json::parse(lastLine);
    EXPECT_EQ(summary["exportCsvPath"], csv.string());
    EXPECT_EQ(summary["exportPngPath"], (directory / "run.png").string());
    EXPECT_EQ(summary["totalReadBytes"].type(), nlohmann::json::value_t::number_unsigned);
    EXPECT_NE(errors().find("CSV saved to: " + csv.string()), std::string::npos) << errors();

    auto table = readFile(csv);
    EXPECT_EQ(table.rfind(ChartExportSupport::csvHeader, 0), 0u);
    auto lines = std::count(table.begin(), table.end(), '\n');
    EXPECT_GE(lines, 2) << "at least two samples in a second at 10 ms";
    EXPECT_NE(table.back(), '\n');

    auto picture = readFile(directory / "run.png");
    ASSERT_GT(picture.size(), 24u);
    EXPECT_EQ(picture.substr(1, 3), "PNG");
    EXPECT_EQ(bigEndian(picture, 16), 3840u);
    EXPECT_EQ(bigEndian(picture, 20), 2160u);
}

TEST_F(MonitorExportCommand, FailuresExitNonZeroWithTheMessage)
{
    auto missing = directory / "no-such-folder" / "run.csv";
    auto outcome = run(fmt::format("--interval 10 --duration 0.3 --export '{}'", missing.string()));
    EXPECT_EQ(outcome.exitStatus, 1);
    EXPECT_NE(errors().find("Export failed: " + missing.string() + ": No such file or directory"), std::string::npos)
        << errors();
}

}
}
