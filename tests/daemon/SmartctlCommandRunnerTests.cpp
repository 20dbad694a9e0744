#include "DaemonTestSupport.h"
#include "daemon/SmartctlCommandRunner.h"

#include <map>

using namespace tallowin;
using namespace tallowin::testing;
using namespace std::chrono_literals;
using Kind = SmartctlCommandRunnerError::Kind;

namespace {

const Logger logger("com.tallowin.ProbeWarden", "SmartctlHelper");

SmartctlCommandRunner::Configuration configurationFor(const TemporaryDirectory& directory,
    std::vector<std::filesystem::path> systemPaths = {}, std::map<std::string, std::string> environment = {})
{
    SmartctlCommandRunner::Configuration configuration;
    configuration.resourceDirectory = directory / "resources";
    configuration.systemPaths = std::move(systemPaths);
    configuration.timeout = 20s;
    if (!environment.count("HOME"))
        environment["XDG_DATA_HOME"] = (directory / "data").string();
    configuration.environment = [environment](const char* name) -> std::optional<std::string> {
        if (auto found = environment.find(name); found != environment.end())
            return found->second;
        return std::nullopt;
    };
    return configuration;
}

}

TEST(SmartctlCommandRunner, OutputWithNonZeroStatusIsAResultAndLaterCandidatesAreNotRun)
{
    ScopedTestLogSink logs;
    TemporaryDirectory directory;
    const auto resource = writeRecordingSmartctl(directory / "resources/smartctl", "{\"ok\":1}", 4);
    const auto second = writeRecordingSmartctl(directory / "system/smartctl", "{}", 0);
    SmartctlCommandRunner runner(logger, configurationFor(directory, { second }));

    auto result = runner.run("sda1");
    ASSERT_TRUE(result.has_value()) << result.error().caseDescription();
    EXPECT_EQ(result->jsonData, bytesFrom("{\"ok\":1}"));
    EXPECT_EQ(result->standardError, bytesFrom("fake stderr\n"));
    EXPECT_EQ(result->terminationStatus, 4);
    EXPECT_EQ(result->commandDescription, resource.string() + " -j -x /dev/sda1");
    // Both scripts share one directory's "calls" file only through the resource: one call.
    EXPECT_EQ(readText(directory / "resources/calls"), "-j -x /dev/sda1\n");
    EXPECT_FALSE(std::filesystem::exists(directory / "system/calls"));
    // Already executable: run in place, no copy made.
    EXPECT_FALSE(std::filesystem::exists(directory / "data"));
    EXPECT_TRUE(logs->contains(LogLevel::Default,
        "Discovered smartctl executable candidates for BSD name sda1: " + resource.string()
            + " [origin=bundled], " + second.string() + " [origin=system]"));
    EXPECT_TRUE(logs->contains(LogLevel::Error,
        "smartctl exited with non-zero status 4 when using " + resource.string()
            + " for BSD name sda1; continuing to process available output."));
}

TEST(SmartctlCommandRunner, SilentOrUnlaunchableCandidatesFallThrough)
{
    ScopedTestLogSink logs;
    TemporaryDirectory directory;
    const auto silent = writeScript(directory / "a/smartctl", "echo only-stderr >&2; exit 0");
    const auto broken = writeScript(directory / "b/smartctl", "", 0755);
    std::filesystem::resize_file(broken, 0); // no interpreter line: exec fails
    const auto good = writeRecordingSmartctl(directory / "c/smartctl", "{}", 0);
    {
        SmartctlCommandRunner runner(logger, configurationFor(directory, { silent, broken, good }));
        auto result = runner.run("nvme0n1");
        ASSERT_TRUE(result.has_value());
        EXPECT_EQ(result->commandDescription, good.string() + " -j -x /dev/nvme0n1");
    }
    {
        SmartctlCommandRunner runner(logger, configurationFor(directory, { silent }));
        auto result = runner.run("sdb");
        ASSERT_FALSE(result.has_value());
        EXPECT_EQ(result.error().kind, Kind::emptyOutput);
        EXPECT_EQ(result.error().standardError, bytesFrom("only-stderr\n"));
        EXPECT_EQ(result.error().helperError().code, 4);
        EXPECT_TRUE(logs->contains(LogLevel::Fault,
            "All smartctl candidates failed for BSD name sdb. Last error: smartctl exited without producing "
            "output"));
    }
    {
        SmartctlCommandRunner runner(logger, configurationFor(directory, { directory / "missing/smartctl" }));
        auto result = runner.run("sdb");
        ASSERT_FALSE(result.has_value());
        EXPECT_EQ(result.error().kind, Kind::smartctlNotFound);
        EXPECT_TRUE(logs->contains(
            LogLevel::Error, "No smartctl executable found in bundled resources or standard system paths."));
    }
}

TEST(SmartctlCommandRunner, ChildGetsOnlyTheControlledEnvironment)
{
    TemporaryDirectory directory;
    const auto printer = writeScript(directory / "resources/smartctl", "env | sort");
    auto configuration = configurationFor(directory, {},
        { { "HOME", "/home/x" }, { "LANG", "zh_CN.UTF-8" }, { "LC_ALL", "" }, { "SECRET", "leak" },
            { "LD_PRELOAD", "/evil.so" } });
    SmartctlCommandRunner runner(logger, configuration);
    EXPECT_EQ(runner.childEnvironment(),
        (std::vector<std::string> { "HOME=/home/x", "LANG=zh_CN.UTF-8",
            "PATH=/usr/local/sbin:/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin", "TMPDIR=/tmp" }));
    auto result = runner.run("sda");
    ASSERT_TRUE(result.has_value());
    const std::string environment(result->jsonData.begin(), result->jsonData.end());
    EXPECT_EQ(environment.find("SECRET"), std::string::npos);
    EXPECT_EQ(environment.find("LD_PRELOAD"), std::string::npos);
    EXPECT_NE(environment.find("LANG=zh_CN.UTF-8"), std::string::npos);
}

TEST(SmartctlCommandRunner, LargeOutputOnBothPipesDoesNotStall)
{
    TemporaryDirectory directory;
    // 3 MiB on stdout and 512 KiB on stderr, interleaved: far beyond a pipe's 64 KiB.
    writeScript(directory / "resources/smartctl",
        "i=0; while [ $i -lt 48 ]; do head -c 65536 /dev/zero | tr '\\0' 'o'; head -c 10923 /dev/zero | tr "
        "'\\0' 'e' >&2; i=$((i+1)); done");
    SmartctlCommandRunner runner(logger, configurationFor(directory));
    auto result = runner.run("sda");
    ASSERT_TRUE(result.has_value()) << result.error().caseDescription();
    EXPECT_EQ(result->jsonData.size(), 48u * 65536u);
    EXPECT_EQ(result->standardError.size(), 48u * 10923u);
}

TEST(SmartctlCommandRunner, HangingSmartctlIsKilledWithEverythingItStarted)
{
    TemporaryDirectory directory;
    const auto pidFile = directory / "sleeper.pid";
    writeScript(directory / "resources/smartctl",
        "printf partial; sleep 300 & echo $! > '" + pidFile.string() + "'; wait");
    auto configuration = configurationFor(directory);
    configuration.timeout = 300ms;
    SmartctlCommandRunner runner(logger, configuration);
    auto result = runner.run("sda");
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().kind, Kind::timedOut);
    EXPECT_EQ(result.error().helperError().code, 999);
    const int sleeper = std::stoi(readText(pidFile));
    // The grandchild is gone too (or at most a zombie awaiting init).
    const std::string stat = readText("/proc/" + std::to_string(sleeper) + "/stat");
    EXPECT_TRUE(stat.empty() || stat.find(") Z") != std::string::npos) << stat;
}

TEST(SmartctlCommandRunner, OversizedOutputIsRefusedNotTruncated)
{
    TemporaryDirectory directory;
    writeScript(directory / "resources/smartctl", "head -c 9000000 /dev/zero");
    SmartctlCommandRunner runner(logger, configurationFor(directory));
    auto result = runner.run("sda");
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().kind, Kind::outputTooLarge);
}

TEST(SmartctlCommandRunner, NonExecutableResourceIsCopiedAfreshForEveryRequest)
{
    ScopedTestLogSink logs;
    TemporaryDirectory directory;
    writeRecordingSmartctl(directory / "resources/smartctl", "{}", 0, 0644);
    SmartctlCommandRunner runner(logger, configurationFor(directory));
    const auto copy = directory / "data/Tallowin/smartctl";
    ASSERT_TRUE(runner.run("sda").has_value()) << ::testing::PrintToString(logs->messages());
    EXPECT_TRUE(std::filesystem::exists(copy));
    EXPECT_EQ(std::filesystem::status(copy).permissions() & std::filesystem::perms::all,
        static_cast<std::filesystem::perms>(0755));
    EXPECT_FALSE(logs->contains(LogLevel::Debug,
        "Removed existing bundled smartctl copy at " + copy.string() + " before re-copying."));
    auto second = runner.run("sda");
    ASSERT_TRUE(second.has_value());
    EXPECT_EQ(second->commandDescription, copy.string() + " -j -x /dev/sda");
    EXPECT_TRUE(logs->contains(LogLevel::Debug,
        "Removed existing bundled smartctl copy at " + copy.string() + " before re-copying."));
    EXPECT_TRUE(logs->contains(LogLevel::Debug, "Prepared bundled smartctl copy at " + copy.string()));
}

TEST(SmartctlCommandRunner, CopyDirectoryOwnedBySomeoneElseIsNotUsed)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to give a directory to another user";
    ScopedTestLogSink logs;
    TemporaryDirectory directory;
    writeRecordingSmartctl(directory / "resources/smartctl", "{}", 0, 0644);
    const auto system = writeRecordingSmartctl(directory / "system/smartctl", "{\"system\":1}", 0);
    // Another user planted the copy directory: root must not execute anything from it.
    std::filesystem::create_directories(directory / "data/Tallowin");
    ASSERT_EQ(::chown((directory / "data/Tallowin").c_str(), 65534, 65534), 0);
    auto configuration = configurationFor(directory, { system });
    configuration.environment = [&](const char* name) -> std::optional<std::string> {
        if (std::string_view(name) == "XDG_DATA_HOME")
            return (directory / "data").string();
        if (std::string_view(name) == "TMPDIR")
            return (directory / "data").string();
        return std::nullopt;
    };
    SmartctlCommandRunner runner(logger, configuration);
    auto result = runner.run("sda");
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(result->commandDescription, system.string() + " -j -x /dev/sda");
    EXPECT_FALSE(std::filesystem::exists(directory / "data/Tallowin/smartctl"));
}

TEST(SmartctlCommandRunnerError, WireFormAndCaseDescriptions)
{
    EXPECT_EQ(SmartctlCommandRunnerError::emptyOutput(bytesFrom("abc")).caseDescription(),
        "emptyOutput(stderr: 3 bytes)");
    EXPECT_EQ(SmartctlCommandRunnerError::launchFailed("Permission denied").helperError().code, 2);
    EXPECT_EQ(SmartctlCommandRunnerError::of(Kind::smartctlNotFound).helperError().code, 1);
    EXPECT_EQ(SmartctlCommandRunnerError::of(Kind::executionFailedUnknown).helperError().code, 999);
    SmartctlCommandRunnerError exit { Kind::nonZeroExit };
    exit.status = 2;
    EXPECT_EQ(exit.helperError().code, 3);
    EXPECT_EQ(exit.caseDescription(), "nonZeroExit(status: 2, stdout: 0 bytes, stderr: 0 bytes)");
}
