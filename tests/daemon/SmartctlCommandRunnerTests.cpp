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

// A report of 1.25 MiB (`-x` of a large array can be that long) is kept whole; far more is
// refused, not truncated. Hangs and pipe handling are the subprocess layer's and the daemon's tests.
TEST(SmartctlCommandRunner, OutputLimits)
{
    TemporaryDirectory directory;
    const auto run = [&](const std::string& body) {
        writeScript(directory / "resources/smartctl", body);
        return SmartctlCommandRunner(logger, configurationFor(directory)).run("sda");
    };
    auto large = run("head -c 1310720 /dev/zero; head -c 218460 /dev/zero >&2");
    ASSERT_TRUE(large.has_value()) << large.error().caseDescription();
    EXPECT_EQ(large->jsonData.size(), 1310720u);
    EXPECT_EQ(large->standardError.size(), 218460u);
    EXPECT_EQ(run("head -c 9000000 /dev/zero").error().kind, Kind::outputTooLarge);
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
// list runs instead. Each weakness is TrustedFile's to find; here, that every place is checked.
TEST(SmartctlCommandRunner, CandidatesAnotherUserControlsAreNeverExecuted)
{
    {
        // A root-owned program that is not smartctl is not run even when the list names it.
        TemporaryDirectory directory;
        const auto trusted = writeRecordingSmartctl(directory / "system/smartctl", "{}", 0);
        auto result = SmartctlCommandRunner(logger, configurationFor(directory, { "/bin/sh", trusted })).run("sda");
        ASSERT_TRUE(result.has_value());
        EXPECT_EQ(result->commandDescription, trusted.string() + " -j -x /dev/sda");
    }
    // The program, its mode, what is weakened (the program or a folder on its way), and how:
    // writable by all, a symbolic link, or owned by another user (which needs root to make).
    const std::vector<std::tuple<const char*, mode_t, const char*, char>> cases {
        { "bad/smartctl", 0755, "bad", 'w' },
        { "elsewhere/smartctl", 0755, "bad", 'l' },
        { "resources/smartctl", 0755, "resources/smartctl", 'w' },
        { "resources/smartctl", 0644, "state", 'w' },
        { "bad/smartctl", 0755, "bad/smartctl", 'o' },
        { "resources/smartctl", 0644, "state", 'o' },
    };
    for (const auto& [program, mode, weakenedPart, weakness] : cases) {
        if (weakness == 'o' && ::geteuid() != 0)
            continue;
        SCOPED_TRACE(::testing::Message() << weakenedPart << " " << weakness);
        TemporaryDirectory directory;
        writeRecordingSmartctl(directory / program, "{}", 0, mode);
        const auto weakened = directory / weakenedPart;
        if (weakness == 'l') {
            std::filesystem::create_directory_symlink(directory / "elsewhere", weakened);
        } else {
            std::filesystem::create_directories(weakened.parent_path());
            if (!std::filesystem::exists(weakened))
                std::filesystem::create_directory(weakened);
            ASSERT_EQ(weakness == 'w' ? ::chmod(weakened.c_str(), 0777) : ::lchown(weakened.c_str(), 65534, 65534), 0);
        }
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
