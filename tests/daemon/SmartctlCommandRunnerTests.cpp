#include "daemon/SmartctlCommandRunner.h"
#include "daemon/SmartctlHelper.h"
#include "support/FakeSmartctl.h"
#include "support/TemporaryDirectory.h"

#include <gtest/gtest.h>
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

}

// Output ends the search whatever the exit status; silent or unlaunchable candidates fall through.
TEST(SmartctlCommandRunner, TheFirstCandidateWithOutputGivesTheResult)
{
    TemporaryDirectory directory;
    writeRecordingSmartctl(directory / "resources/smartctl", "{\"ok\":1}", 4);
    const auto silent = writeScript(directory / "a/smartctl", "echo only-stderr >&2; exit 0");
    const auto broken = writeScript(directory / "b/smartctl", "");
    std::filesystem::resize_file(broken, 0); // no interpreter line: exec fails
    const auto good = writeRecordingSmartctl(directory / "c/smartctl", "{}", 0);
    auto result = SmartctlCommandRunner(logger, configurationFor(directory, { good })).run("sda1");
    ASSERT_TRUE(result.has_value()) << result.error().caseDescription();
    EXPECT_EQ(result->terminationStatus, 4);
    EXPECT_EQ(readText(directory / "resources/calls"), "-j -x /dev/sda1\n");
    EXPECT_FALSE(std::filesystem::exists(directory / "c/calls"));
    EXPECT_FALSE(std::filesystem::exists(directory / "data")); // already executable: run in place

    std::filesystem::remove(directory / "resources/smartctl");
    result = SmartctlCommandRunner(logger, configurationFor(directory, { silent, broken, good })).run("nvme0n1");
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(result->commandDescription, good.string() + " -j -x /dev/nvme0n1");
    auto empty = SmartctlCommandRunner(logger, configurationFor(directory, { silent })).run("sdb");
    ASSERT_FALSE(empty.has_value());
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
    EXPECT_EQ(runner.childEnvironment(),
        (std::vector<std::string> { "HOME=/home/x", "LANG=zh_CN.UTF-8",
            "PATH=/usr/local/sbin:/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin", "TMPDIR=/tmp" }));
    auto result = runner.run("sda");
    ASSERT_TRUE(result.has_value());
    const std::string printed(textView(result->jsonData));
    EXPECT_EQ(printed.find("SECRET"), std::string::npos);
    EXPECT_NE(printed.find("LANG=zh_CN.UTF-8"), std::string::npos);
}

TEST(SmartctlCommandRunner, OutputLimitsAndHangs)
{
    TemporaryDirectory directory;
    const auto run = [&](const std::string& body, std::chrono::milliseconds timeout = 20s) {
        writeScript(directory / "resources/smartctl", body);
        auto configuration = configurationFor(directory);
        configuration.timeout = timeout;
        return SmartctlCommandRunner(logger, configuration).run("sda");
    };
    // 1.25 MiB on stdout and 213 KiB on stderr, interleaved: far beyond a pipe's 64 KiB.
    auto large = run("i=0; while [ $i -lt 20 ]; do head -c 65536 /dev/zero | tr '\\0' 'o'; head -c 10923 "
                     "/dev/zero | tr '\\0' 'e' >&2; i=$((i+1)); done");
    ASSERT_TRUE(large.has_value()) << large.error().caseDescription();
    EXPECT_EQ(large->jsonData.size(), 20u * 65536u);
    EXPECT_EQ(large->standardError.size(), 20u * 10923u);
    EXPECT_EQ(run("head -c 9000000 /dev/zero").error().kind, Kind::outputTooLarge); // refused, not truncated

    // A hanging smartctl is killed with everything it started.
    const auto pidFile = directory / "sleeper.pid";
    auto hung = run("printf partial; sleep 300 & echo $! > '" + pidFile.string() + "'; wait", 300ms);
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
    const std::string removed = "Removed existing bundled smartctl copy at " + copy.string() + " before re-copying.";
    ASSERT_TRUE(runner.run("sda").has_value()) << ::testing::PrintToString(logs->messages());
    EXPECT_EQ(std::filesystem::status(copy).permissions() & std::filesystem::perms::all,
        static_cast<std::filesystem::perms>(0755));
    EXPECT_FALSE(logs->contains(LogLevel::Debug, removed));
    auto second = runner.run("sda");
    ASSERT_TRUE(second.has_value());
    EXPECT_EQ(second->commandDescription, copy.string() + " -j -x /dev/sda");
    EXPECT_TRUE(logs->contains(LogLevel::Debug, removed));
}

// What another user could write or swap is never executed, whether a system candidate, the
// resource, or the folder the resource is copied into; a trustworthy candidate further down the
// list runs instead. Foreign owners need root to make.
TEST(SmartctlCommandRunner, CandidatesAnotherUserControlsAreNeverExecuted)
{
    enum class Weakness { writableByOthers, symbolicLink, ownedByAnotherUser };
    struct Case {
        const char* program;
        mode_t mode;
        const char* weakened; // the program itself or a folder on its way
        Weakness weakness;
    };
    const mode_t executable = 0755, readable = 0644;
    const std::vector<Case> cases {
        { "bad/smartctl", executable, "bad/smartctl", Weakness::writableByOthers },
        { "bad/smartctl", executable, "bad", Weakness::writableByOthers },
        { "elsewhere/smartctl", executable, "bad", Weakness::symbolicLink },
        { "resources/smartctl", executable, "resources/smartctl", Weakness::writableByOthers },
        { "resources/smartctl", readable, "state", Weakness::writableByOthers }, // the copy folder
        { "bad/smartctl", executable, "bad/smartctl", Weakness::ownedByAnotherUser },
        { "bad/smartctl", executable, "bad", Weakness::ownedByAnotherUser },
        { "resources/smartctl", readable, "resources/smartctl", Weakness::ownedByAnotherUser },
        { "resources/smartctl", readable, "state", Weakness::ownedByAnotherUser },
    };
    {
        // A root-owned program that is not smartctl is not run even when the list names it.
        TemporaryDirectory directory;
        const auto trusted = writeRecordingSmartctl(directory / "system/smartctl", "{}", 0);
        auto result = SmartctlCommandRunner(logger, configurationFor(directory, { "/bin/sh", trusted })).run("sda");
        ASSERT_TRUE(result.has_value());
        EXPECT_EQ(result->commandDescription, trusted.string() + " -j -x /dev/sda");
    }
    for (const auto& testCase : cases) {
        if (testCase.weakness == Weakness::ownedByAnotherUser && ::geteuid() != 0)
            continue;
        SCOPED_TRACE(::testing::Message() << testCase.weakened << " " << static_cast<int>(testCase.weakness));
        TemporaryDirectory directory;
        writeRecordingSmartctl(directory / testCase.program, "{}", 0, testCase.mode);
        const auto weakened = directory / testCase.weakened;
        std::error_code exists;
        if (testCase.weakness != Weakness::symbolicLink)
            std::filesystem::create_directories(weakened, exists);
        if (testCase.weakness == Weakness::symbolicLink)
            std::filesystem::create_directory_symlink(directory / "elsewhere", weakened);
        else if (testCase.weakness == Weakness::writableByOthers)
            ASSERT_EQ(::chmod(weakened.c_str(), 0777), 0);
        else
            ASSERT_EQ(::lchown(weakened.c_str(), 65534, 65534), 0);
        const auto trusted = writeRecordingSmartctl(directory / "system/smartctl", "{\"trusted\":1}", 0);
        auto result = SmartctlCommandRunner(logger, configurationFor(directory, { directory / "bad/smartctl", trusted }))
                          .run("sda");
        ASSERT_TRUE(result.has_value()) << result.error().caseDescription();
        EXPECT_EQ(result->commandDescription, trusted.string() + " -j -x /dev/sda");
        for (const char* planted : { "bad/calls", "elsewhere/calls", "resources/calls", "state/calls" })
            EXPECT_FALSE(std::filesystem::exists(directory / planted)) << planted;
        EXPECT_FALSE(std::filesystem::exists(directory / "state/smartctl"));
    }
    if (::geteuid() != 0)
        GTEST_SKIP() << "the cases with a foreign owner need root";
}

// The codes the client translates by, and foreign errors wrapped into the helper's domain.
TEST(SmartctlCommandRunnerError, WireCodes)
{
    SmartctlCommandRunnerError exit { Kind::nonZeroExit };
    exit.status = 2;
    EXPECT_EQ(exit.helperError().code, 3);
    EXPECT_EQ(SmartctlCommandRunnerError::launchFailed("Permission denied").helperError().code, 2);
    EXPECT_EQ(SmartctlCommandRunnerError::of(Kind::executionFailedUnknown).helperError().code, 999);
    TemporaryDirectory directory;
    SmartctlHelper helper(configurationFor(directory));
    EXPECT_EQ(helper.mapErrorForTransport({ "NSCocoaErrorDomain", 4097, "connection lost" }),
        (HelperError { "com.tallowin.ProbeWarden.error", 999, "connection lost" }));
    const HelperError own { "com.tallowin.ProbeWarden.error", 42, "own" };
    EXPECT_EQ(helper.mapErrorForTransport(own), own);
}
