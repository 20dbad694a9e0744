#include "smart/SystemdServiceManager.h"
#include "support/FakeSmartctl.h"
#include "support/TemporaryDirectory.h"

#include <gtest/gtest.h>

using namespace tallowin;
using namespace tallowin::testing;
using Answer = Expected<ProcessOutput, ProcessError>;
using Command = std::vector<std::string>;
using Code = ServiceManagerErrorCode;

namespace {

// `systemctl is-enabled` answers with `state` unless it is empty; everything else with `other`.
class FakeProcessRunner final : public ProcessRunner {
public:
    Answer run(const Command& arguments, std::chrono::milliseconds timeLimit) override
    {
        commands.push_back(arguments);
        timeLimits.push_back(timeLimit);
        if (arguments.size() > 1 && arguments[1] == "is-enabled" && !state.empty())
            return ProcessOutput { state.starts_with("enabled") ? 0 : 1, state + "\n", "" };
        return other;
    }

    std::vector<Command> commands;
    std::vector<std::chrono::milliseconds> timeLimits;
    std::string state;
    Answer other = ProcessOutput {};
};

class SystemdServiceManagerTest : public ::testing::Test {
protected:
    SystemdServiceManagerTest()
    {
        for (const char* program : { "systemctl", "pkexec" })
            writeScript(directory / "bin" / program, "exit 1");
    }

    std::unique_ptr<SystemdServiceManager> makeManager(bool runningAsRoot)
    {
        return std::make_unique<SystemdServiceManager>(runner,
            SystemdServiceManager::Options { .unitSearchPaths = { directory / "etc", directory / "lib" },
                .programDirectories = { directory / "bin" },
                .installedHelperPath = directory / "libexec/com.tallowin.ProbeWarden",
                .runningAsRoot = runningAsRoot });
    }

    void shipUnits(std::string execStart = "ExecStart=/usr/libexec/tallowin/com.tallowin.ProbeWarden")
    {
        writeScript(directory / "lib/com.tallowin.ProbeWarden.socket",
            "[Socket]\nListenStream=/run/tallowin/probewarden.sock\n[Install]\nWantedBy=sockets.target");
        writeScript(directory / "lib/com.tallowin.ProbeWarden.service", "[Service]\n" + execStart);
    }

    std::int64_t registrationErrorCode(bool runningAsRoot, Answer everything)
    {
        runner->other = everything;
        auto registered = makeManager(runningAsRoot)->registerService();
        return registered ? 0 : registered.error().code;
    }

    std::string program(const char* name) const { return (directory / "bin" / name).string(); }

    TemporaryDirectory directory;
    std::shared_ptr<FakeProcessRunner> runner = std::make_shared<FakeProcessRunner>();
};

}

TEST_F(SystemdServiceManagerTest, StatusComesFromTheUnitFilesAndIsEnabled)
{
    auto manager = makeManager(false);
    EXPECT_EQ(manager->status(), ServiceStatus::NotFound);
    writeScript(directory / "lib/com.tallowin.ProbeWarden.socket", "[Socket]");
    EXPECT_EQ(manager->status(), ServiceStatus::NotFound); // the socket alone has nothing to start
    EXPECT_TRUE(runner->commands.empty());
    shipUnits();
    using enum ServiceStatus;
    for (const auto& [state, expected] : std::initializer_list<std::pair<const char*, ServiceStatus>> {
             { "enabled", Enabled }, { "enabled-runtime", Enabled }, { "alias", Enabled },
             { "disabled", NotRegistered }, { "masked", NotRegistered }, { "static", NotRegistered },
             { "not-found", NotFound } }) {
        runner->state = state;
        EXPECT_EQ(manager->status(), expected) << state;
    }
    EXPECT_EQ(runner->commands.back(),
        (Command { program("systemctl"), "is-enabled", "com.tallowin.ProbeWarden.socket" }));
    // Without an answer from systemctl (no program, no bus) the wants links decide.
    runner->state.clear();
    runner->other = Unexpected(ProcessError { ProcessError::Kind::LaunchFailed, "" });
    EXPECT_EQ(manager->status(), ServiceStatus::NotRegistered);
    runner->other = ProcessOutput { 1, "", "Failed to connect to bus" };
    std::filesystem::create_directories(directory / "etc/sockets.target.wants");
    std::filesystem::create_symlink(directory / "lib/com.tallowin.ProbeWarden.socket",
        directory / "etc/sockets.target.wants/com.tallowin.ProbeWarden.socket");
    EXPECT_EQ(manager->status(), ServiceStatus::Enabled);
}

TEST_F(SystemdServiceManagerTest, RegistrationRunsSystemctlDirectlyAsRootAndThroughPkexecOtherwise)
{
    shipUnits();
    EXPECT_TRUE(makeManager(true)->registerService());
    EXPECT_EQ(runner->commands.back(),
        (Command { program("systemctl"), "enable", "--now", "com.tallowin.ProbeWarden.socket" }));
    EXPECT_TRUE(makeManager(false)->unregisterService());
    EXPECT_EQ(runner->commands.back(),
        (Command { program("pkexec"), program("systemctl"), "disable", "--now",
            "com.tallowin.ProbeWarden.socket" }));
    // An administrator gets longer to answer the dialog than a plain command takes.
    EXPECT_GT(runner->timeLimits.back(), runner->timeLimits.front());
    // A dismissed polkit dialog means approval is required until it is given.
    auto manager = makeManager(false);
    runner->state = "disabled";
    runner->other = ProcessOutput { 126, "", "Error executing command as another user: Request dismissed" };
    auto registered = manager->registerService();
    EXPECT_EQ(registered.error().domain, serviceManagerErrorDomain);
    EXPECT_EQ(registered.error().code, static_cast<std::int64_t>(Code::ApprovalRequired));
    EXPECT_EQ(manager->status(), ServiceStatus::RequiresApproval);
    runner->state = "enabled";
    runner->other = ProcessOutput {};
    EXPECT_TRUE(manager->registerService());
    EXPECT_EQ(manager->status(), ServiceStatus::Enabled);
}

TEST_F(SystemdServiceManagerTest, FailuresCarryTheCommandsOwnWords)
{
    shipUnits();
    runner->other = ProcessOutput { 1, "", "Unit file x is masked.\n" };
    EXPECT_NE(makeManager(true)->registerService().error().description.find("is masked."), std::string::npos);
    const auto code = [](Code value) { return static_cast<std::int64_t>(value); };
    EXPECT_EQ(registrationErrorCode(true, ProcessOutput { 1, "", "" }), code(Code::CommandFailed));
    // For root, exit status 126 is systemctl's own failure, not a dismissed dialog.
    EXPECT_EQ(registrationErrorCode(true, ProcessOutput { 126, "", "" }), code(Code::CommandFailed));
    EXPECT_EQ(registrationErrorCode(false, Unexpected(ProcessError { ProcessError::Kind::TimedOut, "" })),
        code(Code::TimedOut));
    std::filesystem::remove(directory / "bin/pkexec");
    EXPECT_EQ(registrationErrorCode(false, ProcessOutput {}), code(Code::CommandUnavailable));
}

TEST_F(SystemdServiceManagerTest, DaemonPathComesFromTheServicesExecStart)
{
    shipUnits("Description=x\nExecStart=-/opt/tallowin/com.tallowin.ProbeWarden --standalone");
    auto manager = makeManager(true);
    EXPECT_EQ(manager->helperExecutablePath(), "/opt/tallowin/com.tallowin.ProbeWarden");
    EXPECT_FALSE(manager->helperExecutableExists());
    shipUnits("ExecStart=com.tallowin.ProbeWarden");
    EXPECT_EQ(manager->helperExecutablePath(), directory / "libexec/com.tallowin.ProbeWarden");
    writeScript(directory / "libexec/com.tallowin.ProbeWarden", "exit 0");
    EXPECT_TRUE(manager->helperExecutableExists());
}

// The subprocess layer is tested on its own; here, how its outcomes reach the service manager.
TEST(PosixProcessRunner, MapsTheSubprocessOutcomes)
{
    PosixProcessRunner runner;
    auto output = runner.run({ "/bin/sh", "-c", "printf out; printf err >&2; exit 3" }, std::chrono::seconds(30));
    ASSERT_TRUE(output) << output.error().description;
    EXPECT_EQ(std::tie(output->exitStatus, output->standardOutput, output->standardError),
        std::make_tuple(3, std::string("out"), std::string("err")));
    EXPECT_EQ(runner.run({ "systemctl" }, std::chrono::seconds(5)).error().kind, ProcessError::Kind::LaunchFailed);
    EXPECT_EQ(runner.run({ "/bin/sleep", "30" }, std::chrono::milliseconds(100)).error().kind,
        ProcessError::Kind::TimedOut);
}
