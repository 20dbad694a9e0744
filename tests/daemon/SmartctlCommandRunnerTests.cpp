#include "daemon/SmartctlCommandRunner.h"
#include "daemon/SmartctlHelper.h"
#include "support/FakeSmartctl.h"
#include "support/TemporaryDirectory.h"

#include <gtest/gtest.h>
#include <functional>
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
    configuration.copyDirectory = directory / "state";
    if (!environment.count("HOME"))
        environment["XDG_DATA_HOME"] = (directory / "data").string();
    configuration.environment = [environment](const char* name) -> std::optional<std::string> {
        if (auto found = environment.find(name); found != environment.end())
            return found->second;
        return std::nullopt;
    };
    return configuration;
}

Expected<SmartctlExecutionResult, SmartctlCommandRunnerError> runScript(
    const TemporaryDirectory& directory, const std::string& body, std::chrono::milliseconds timeout = 20s)
{
    writeScript(directory / "resources/smartctl", body);
    auto configuration = configurationFor(directory);
    configuration.timeout = timeout;
    return SmartctlCommandRunner(logger, configuration).run("sda");
}

}

TEST(SmartctlCommandRunner, OutputWithNonZeroStatusIsAResultAndLaterCandidatesAreNotRun)
{
    TemporaryDirectory directory;
    const auto resource = writeRecordingSmartctl(directory / "resources/smartctl", "{\"ok\":1}", 4);
    const auto second = writeRecordingSmartctl(directory / "system/smartctl", "{}", 0);
    auto result = SmartctlCommandRunner(logger, configurationFor(directory, { second })).run("sda1");
    ASSERT_TRUE(result.has_value()) << result.error().caseDescription();
    EXPECT_EQ(result->terminationStatus, 4);
    EXPECT_EQ(readText(directory / "resources/calls"), "-j -x /dev/sda1\n");
    EXPECT_FALSE(std::filesystem::exists(directory / "system/calls"));
    EXPECT_FALSE(std::filesystem::exists(directory / "data")); // already executable: run in place
}

// Code 4 when every candidate is silent, and code 1 when there is none, are shown end to end.
TEST(SmartctlCommandRunner, SilentOrUnlaunchableCandidatesFallThrough)
{
    TemporaryDirectory directory;
    const auto silent = writeScript(directory / "a/smartctl", "echo only-stderr >&2; exit 0");
    const auto broken = writeScript(directory / "b/smartctl", "");
    std::filesystem::resize_file(broken, 0); // no interpreter line: exec fails
    const auto good = writeRecordingSmartctl(directory / "c/smartctl", "{}", 0);
    auto result
        = SmartctlCommandRunner(logger, configurationFor(directory, { silent, broken, good })).run("nvme0n1");
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(result->commandDescription, good.string() + " -j -x /dev/nvme0n1");
    auto empty = SmartctlCommandRunner(logger, configurationFor(directory, { silent })).run("sdb");
    EXPECT_EQ(empty.error().standardError, bytesFrom("only-stderr\n"));
}

TEST(SmartctlCommandRunner, ChildGetsOnlyTheControlledEnvironment)
{
    TemporaryDirectory directory;
    writeScript(directory / "resources/smartctl", "env | sort");
    SmartctlCommandRunner runner(logger,
        configurationFor(directory, {},
            { { "HOME", "/home/x" }, { "LANG", "zh_CN.UTF-8" }, { "LC_ALL", "" }, { "SECRET", "leak" },
                { "LD_PRELOAD", "/evil.so" } }));
    const std::vector<std::string> expected { "HOME=/home/x", "LANG=zh_CN.UTF-8",
        "PATH=/usr/local/sbin:/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin", "TMPDIR=/tmp" };
    EXPECT_EQ(runner.childEnvironment(), expected);
    auto result = runner.run("sda");
    ASSERT_TRUE(result.has_value());
    const std::string printed(textView(result->jsonData));
    EXPECT_EQ(printed.find("SECRET"), std::string::npos);
    EXPECT_NE(printed.find("LANG=zh_CN.UTF-8"), std::string::npos);
}

TEST(SmartctlCommandRunner, OutputLimitsAndHangs)
{
    TemporaryDirectory directory;
    // 1.25 MiB on stdout and 213 KiB on stderr, interleaved: far beyond a pipe's 64 KiB.
    auto large = runScript(directory,
        "i=0; while [ $i -lt 20 ]; do head -c 65536 /dev/zero | tr '\\0' 'o'; head -c 10923 /dev/zero | tr "
        "'\\0' 'e' >&2; i=$((i+1)); done");
    ASSERT_TRUE(large.has_value()) << large.error().caseDescription();
    EXPECT_EQ(large->jsonData.size(), 20u * 65536u);
    EXPECT_EQ(large->standardError.size(), 20u * 10923u);

    // Oversized output is refused, not truncated.
    auto oversized = runScript(directory, "head -c 9000000 /dev/zero");
    ASSERT_FALSE(oversized.has_value());
    EXPECT_EQ(oversized.error().kind, Kind::outputTooLarge);

    // A hanging smartctl is killed with everything it started.
    const auto pidFile = directory / "sleeper.pid";
    auto hung = runScript(
        directory, "printf partial; sleep 300 & echo $! > '" + pidFile.string() + "'; wait", 300ms);
    ASSERT_FALSE(hung.has_value());
    EXPECT_EQ(hung.error().kind, Kind::timedOut);
    const std::string stat = readText("/proc/" + std::to_string(std::stoi(readText(pidFile))) + "/stat");
    EXPECT_TRUE(stat.empty() || stat.find(") Z") != std::string::npos) << stat; // gone, or a zombie of init
}

TEST(SmartctlCommandRunner, NonExecutableResourceIsCopiedAfreshForEveryRequest)
{
    ScopedTestLogSink logs;
    TemporaryDirectory directory;
    writeRecordingSmartctl(directory / "resources/smartctl", "{}", 0, 0644);
    SmartctlCommandRunner runner(logger, configurationFor(directory));
    const auto copy = directory / "state/smartctl";
    const std::string removed
        = "Removed existing bundled smartctl copy at " + copy.string() + " before re-copying.";
    ASSERT_TRUE(runner.run("sda").has_value()) << ::testing::PrintToString(logs->messages());
    EXPECT_EQ(std::filesystem::status(copy).permissions() & std::filesystem::perms::all,
        static_cast<std::filesystem::perms>(0755));
    EXPECT_FALSE(logs->contains(LogLevel::Debug, removed));
    auto second = runner.run("sda");
    ASSERT_TRUE(second.has_value());
    EXPECT_EQ(second->commandDescription, copy.string() + " -j -x /dev/sda");
    EXPECT_TRUE(logs->contains(LogLevel::Debug, removed));
}

// What another user could write or swap is never executed, whether it is a system candidate,
// the resource, or the folder the resource is copied into; a trustworthy candidate further down
// the list is run instead. Cases with a foreign owner need root to make one.
TEST(SmartctlCommandRunner, CandidatesAnotherUserControlsAreNeverExecuted)
{
    struct Case {
        const char* name;
        bool needsRoot;
        // Plants the untrustworthy file or folder inside the test's directory.
        std::function<void(const std::filesystem::path&)> plant;
    };
    const auto chownTo = [](const std::filesystem::path& path) {
        ASSERT_EQ(::lchown(path.c_str(), 65534, 65534), 0) << path;
    };
    const std::vector<Case> cases {
        { "system candidate writable by others", false,
            [](const auto& root) { ::chmod(writeRecordingSmartctl(root / "bad/smartctl", "{}", 0).c_str(), 0777); } },
        { "system candidate in a folder writable by others", false,
            [](const auto& root) {
                writeRecordingSmartctl(root / "bad/smartctl", "{}", 0);
                ::chmod((root / "bad").c_str(), 0777);
            } },
        { "system candidate behind a symbolic link", false,
            [](const auto& root) {
                writeRecordingSmartctl(root / "elsewhere/smartctl", "{}", 0);
                std::filesystem::create_directory_symlink(root / "elsewhere", root / "bad");
            } },
        { "resource writable by others", false,
            [](const auto& root) {
                ::chmod(writeRecordingSmartctl(root / "resources/smartctl", "{}", 0).c_str(), 0777);
            } },
        { "copy folder writable by others", false,
            [](const auto& root) {
                writeRecordingSmartctl(root / "resources/smartctl", "{}", 0, 0644);
                std::filesystem::create_directories(root / "state");
                ::chmod((root / "state").c_str(), 0777);
            } },
        { "system candidate owned by another user", true,
            [&](const auto& root) { chownTo(writeRecordingSmartctl(root / "bad/smartctl", "{}", 0)); } },
        { "system candidate's folder owned by another user", true,
            [&](const auto& root) {
                writeRecordingSmartctl(root / "bad/smartctl", "{}", 0);
                chownTo(root / "bad");
            } },
        { "resource owned by another user", true,
            [&](const auto& root) { chownTo(writeRecordingSmartctl(root / "resources/smartctl", "{}", 0, 0644)); } },
        { "copy folder planted by another user", true,
            [&](const auto& root) {
                writeRecordingSmartctl(root / "resources/smartctl", "{}", 0, 0644);
                std::filesystem::create_directories(root / "state");
                chownTo(root / "state");
            } },
    };
    {
        // A root-owned program that is not smartctl is not run even when the list names it.
        TemporaryDirectory directory;
        const auto trusted = writeRecordingSmartctl(directory / "system/smartctl", "{}", 0);
        auto result = SmartctlCommandRunner(logger, configurationFor(directory, { "/bin/sh", trusted })).run("sda");
        ASSERT_TRUE(result.has_value());
        EXPECT_EQ(result->commandDescription, trusted.string() + " -j -x /dev/sda");
    }
    int run = 0;
    for (const auto& testCase : cases) {
        if (testCase.needsRoot && ::geteuid() != 0)
            continue;
        SCOPED_TRACE(testCase.name);
        TemporaryDirectory directory;
        testCase.plant(directory.path());
        const auto trusted = writeRecordingSmartctl(directory / "system/smartctl", "{\"trusted\":1}", 0);
        auto result = SmartctlCommandRunner(logger, configurationFor(directory, { directory / "bad/smartctl", trusted }))
                          .run("sda");
        ASSERT_TRUE(result.has_value()) << result.error().caseDescription();
        EXPECT_EQ(result->commandDescription, trusted.string() + " -j -x /dev/sda");
        for (const char* planted : { "bad/calls", "elsewhere/calls", "resources/calls", "state/calls" })
            EXPECT_FALSE(std::filesystem::exists(directory / planted)) << planted;
        EXPECT_FALSE(std::filesystem::exists(directory / "state/smartctl"));
        ++run;
    }
    if (::geteuid() != 0)
        GTEST_SKIP() << run << " cases ran; those with a foreign owner need root";
}

TEST(SmartctlCommandRunnerError, WireCodesAndCaseDescriptions)
{
    SmartctlCommandRunnerError exit { Kind::nonZeroExit };
    exit.status = 2;
    EXPECT_EQ(exit.helperError().code, 3);
    EXPECT_EQ(SmartctlCommandRunnerError::launchFailed("Permission denied").helperError().code, 2);
    EXPECT_EQ(SmartctlCommandRunnerError::of(Kind::executionFailedUnknown).helperError().code, 999);
    EXPECT_EQ(exit.caseDescription(), "nonZeroExit(status: 2, stdout: 0 bytes, stderr: 0 bytes)");
    EXPECT_EQ(SmartctlCommandRunnerError::emptyOutput(bytesFrom("abc")).caseDescription(),
        "emptyOutput(stderr: 3 bytes)");
}

TEST(SmartctlHelper, ForeignErrorsAreWrappedIntoTheHelperDomain)
{
    TemporaryDirectory directory;
    SmartctlHelper helper(configurationFor(directory));
    EXPECT_EQ(helper.mapErrorForTransport({ "NSCocoaErrorDomain", 4097, "connection lost" }),
        (HelperError { "com.tallowin.ProbeWarden.error", 999, "connection lost" }));
    const HelperError own { "com.tallowin.ProbeWarden.error", 42, "own" };
    EXPECT_EQ(helper.mapErrorForTransport(own), own);
    EXPECT_EQ(helper.helperVersion(), TALLOWIN_VERSION);
}
