#include "smart/SystemdServiceManager.h"
#include "support/TemporaryDirectory.h"

#include <fstream>
#include <gtest/gtest.h>
#include <mutex>
#include <sys/wait.h>
#include <unistd.h>

using namespace tallowin;
using tallowin::testing::TemporaryDirectory;
using Answer = Expected<ProcessOutput, ProcessError>;
using Command = std::vector<std::string>;

namespace {

// Answers commands from a script and remembers what was asked.
class FakeProcessRunner final : public ProcessRunner {
public:
    Answer run(const Command& arguments, std::chrono::milliseconds timeLimit) override
    {
        std::lock_guard lock(mutex);
        commands.push_back(arguments);
        timeLimits.push_back(timeLimit);
        return answer(arguments);
    }

    std::mutex mutex;
    std::vector<Command> commands;
    std::vector<std::chrono::milliseconds> timeLimits;
    std::function<Answer(const Command&)> answer = [](const Command&) -> Answer { return ProcessOutput {}; };
};

class SystemdServiceManagerTest : public ::testing::Test {
protected:
    SystemdServiceManagerTest()
    {
        for (const char* folder : { "etc", "lib", "bin" })
            std::filesystem::create_directories(directory / folder);
        for (const char* program : { "systemctl", "pkexec" }) {
            std::ofstream(directory / "bin" / program) << "#!/bin/false\n";
            std::filesystem::permissions(directory / "bin" / program, std::filesystem::perms::owner_all);
        }
    }

    std::unique_ptr<SystemdServiceManager> makeManager(bool runningAsRoot)
    {
        SystemdServiceManager::Options options;
        options.unitSearchPaths = { directory / "etc", directory / "lib" };
        options.programDirectories = { directory / "bin" };
        options.installedHelperPath = directory / "libexec" / "com.tallowin.ProbeWarden";
        options.runningAsRoot = runningAsRoot;
        return std::make_unique<SystemdServiceManager>(runner, options);
    }

    void shipUnits(std::string execStart = "ExecStart=/usr/libexec/tallowin/com.tallowin.ProbeWarden\n")
    {
        std::ofstream(directory / "lib" / "com.tallowin.ProbeWarden.socket")
            << "[Socket]\nListenStream=/run/tallowin/probewarden.sock\n[Install]\nWantedBy=sockets.target\n";
        std::ofstream(directory / "lib" / "com.tallowin.ProbeWarden.service") << "[Service]\n" << execStart;
    }

    void enableThroughWantsLink()
    {
        std::filesystem::create_directories(directory / "etc" / "sockets.target.wants");
        std::filesystem::create_symlink(directory / "lib" / "com.tallowin.ProbeWarden.socket",
            directory / "etc" / "sockets.target.wants" / "com.tallowin.ProbeWarden.socket");
    }

    // systemctl is-enabled answers with `state`; every other command with `other`.
    void answer(std::string state, Answer other = ProcessOutput {})
    {
        runner->answer = [state, other](const Command& arguments) -> Answer {
            if (arguments.size() > 1 && arguments[1] == "is-enabled")
                return ProcessOutput { state.starts_with("enabled") ? 0 : 1, state + "\n", "" };
            return other;
        };
    }
    void answerEverything(Answer answer)
    {
        runner->answer = [answer](const Command&) { return answer; };
    }

    std::int64_t registrationErrorCode(bool runningAsRoot)
    {
        auto registered = makeManager(runningAsRoot)->registerService();
        return registered ? 0 : registered.error().code;
    }

    std::string program(const char* name) const { return (directory / "bin" / name).string(); }

    TemporaryDirectory directory;
    std::shared_ptr<FakeProcessRunner> runner = std::make_shared<FakeProcessRunner>();
};

std::int64_t code(ServiceManagerErrorCode code)
{
    return static_cast<std::int64_t>(code);
}

}

TEST_F(SystemdServiceManagerTest, MissingUnitFilesAreNotFound)
{
    auto manager = makeManager(true);
    EXPECT_EQ(manager->locateDefinition(), std::nullopt);
    EXPECT_EQ(manager->status(), ServiceStatus::NotFound);
    // The socket alone is not enough: it has nothing to start.
    std::ofstream(directory / "etc" / "com.tallowin.ProbeWarden.socket") << "[Socket]\n";
    EXPECT_EQ(manager->locateDefinition(), directory / "etc" / "com.tallowin.ProbeWarden.socket");
    EXPECT_EQ(manager->status(), ServiceStatus::NotFound);
    EXPECT_TRUE(runner->commands.empty());
}

TEST_F(SystemdServiceManagerTest, IsEnabledStatesMapToStatuses)
{
    shipUnits();
    auto manager = makeManager(false);
    for (const auto& [state, expected] :
        std::vector<std::pair<std::string, ServiceStatus>> { { "enabled", ServiceStatus::Enabled },
            { "enabled-runtime", ServiceStatus::Enabled }, { "alias", ServiceStatus::Enabled },
            { "disabled", ServiceStatus::NotRegistered }, { "masked", ServiceStatus::NotRegistered },
            { "static", ServiceStatus::NotRegistered }, { "not-found", ServiceStatus::NotFound } }) {
        answer(state);
        EXPECT_EQ(manager->status(), expected) << state;
    }
    EXPECT_EQ(runner->commands.back(),
        (Command { program("systemctl"), "is-enabled", "com.tallowin.ProbeWarden.socket" }));
}

TEST_F(SystemdServiceManagerTest, WithoutAUsableSystemctlTheWantsLinksDecide)
{
    shipUnits();
    auto manager = makeManager(true);
    answerEverything(
        Unexpected(ProcessError { ProcessError::Kind::LaunchFailed, "No such file or directory" }));
    EXPECT_EQ(manager->status(), ServiceStatus::NotRegistered);
    enableThroughWantsLink();
    EXPECT_EQ(manager->status(), ServiceStatus::Enabled);
    // An answer without any state (systemctl failing to talk to anything) falls back as well.
    answerEverything(ProcessOutput { 1, "", "Failed to connect to bus" });
    EXPECT_EQ(manager->status(), ServiceStatus::Enabled);
}

TEST_F(SystemdServiceManagerTest, RegistrationEnablesTheSocketDirectlyAsRootAndThroughPkexecOtherwise)
{
    shipUnits();
    EXPECT_TRUE(makeManager(true)->registerService());
    EXPECT_EQ(runner->commands.back(),
        (Command { program("systemctl"), "enable", "--now", "com.tallowin.ProbeWarden.socket" }));
    EXPECT_TRUE(makeManager(false)->registerService());
    EXPECT_EQ(runner->commands.back(),
        (Command {
            program("pkexec"), program("systemctl"), "enable", "--now", "com.tallowin.ProbeWarden.socket" }));
    // An administrator gets longer to answer the dialog than a plain query takes.
    EXPECT_GT(runner->timeLimits.back(), runner->timeLimits.front());
    EXPECT_TRUE(makeManager(false)->unregisterService());
    EXPECT_EQ(runner->commands.back(),
        (Command { program("pkexec"), program("systemctl"), "disable", "--now",
            "com.tallowin.ProbeWarden.socket" }));
}

TEST_F(SystemdServiceManagerTest, DismissedPolkitDialogMeansApprovalIsRequiredUntilApproved)
{
    shipUnits();
    auto manager = makeManager(false);
    answer(
        "disabled", ProcessOutput { 126, "", "Error executing command as another user: Request dismissed" });
    EXPECT_EQ(manager->status(), ServiceStatus::NotRegistered);
    auto registered = manager->registerService();
    ASSERT_FALSE(registered);
    EXPECT_EQ(registered.error().domain, serviceManagerErrorDomain);
    EXPECT_EQ(registered.error().code, code(ServiceManagerErrorCode::ApprovalRequired));
    EXPECT_EQ(manager->status(), ServiceStatus::RequiresApproval);

    answer("enabled");
    EXPECT_TRUE(manager->registerService());
    EXPECT_EQ(manager->status(), ServiceStatus::Enabled);
}

TEST_F(SystemdServiceManagerTest, FailuresCarryTheCommandsOwnWords)
{
    shipUnits();
    answerEverything(ProcessOutput {
        1, "", "Failed to enable unit: Unit file com.tallowin.ProbeWarden.socket is masked.\n" });
    auto failed = makeManager(true)->registerService();
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().code, code(ServiceManagerErrorCode::CommandFailed));
    EXPECT_NE(failed.error().description.find("is masked."), std::string::npos);
    // For root, exit status 126 is systemctl's own failure, not a dismissed dialog.
    answerEverything(ProcessOutput { 126, "", "" });
    EXPECT_EQ(registrationErrorCode(true), code(ServiceManagerErrorCode::CommandFailed));
    answerEverything(Unexpected(ProcessError { ProcessError::Kind::TimedOut, "pkexec did not finish" }));
    EXPECT_EQ(registrationErrorCode(false), code(ServiceManagerErrorCode::TimedOut));
    std::filesystem::remove(directory / "bin" / "pkexec");
    EXPECT_EQ(registrationErrorCode(false), code(ServiceManagerErrorCode::CommandUnavailable));
}

TEST_F(SystemdServiceManagerTest, DaemonPathComesFromTheServicesExecStart)
{
    shipUnits("Description=x\nExecStart=-/opt/tallowin/com.tallowin.ProbeWarden --standalone\n");
    auto manager = makeManager(true);
    EXPECT_EQ(manager->helperExecutablePath(), "/opt/tallowin/com.tallowin.ProbeWarden");
    EXPECT_FALSE(manager->helperExecutableExists());

    shipUnits("ExecStart=com.tallowin.ProbeWarden\n");
    EXPECT_EQ(manager->helperExecutablePath(), directory / "libexec" / "com.tallowin.ProbeWarden");
    std::filesystem::create_directories(directory / "libexec");
    std::filesystem::copy_file(
        directory / "bin" / "systemctl", directory / "libexec" / "com.tallowin.ProbeWarden");
    EXPECT_TRUE(manager->helperExecutableExists());
}

TEST_F(SystemdServiceManagerTest, RealSystemctlThatDoesNotKnowTheUnitsFallsBackToTheWantsLinks)
{
    if (::access("/usr/bin/systemctl", X_OK) != 0 && ::access("/bin/systemctl", X_OK) != 0)
        GTEST_SKIP() << "no systemctl on this machine";
    shipUnits();
    SystemdServiceManager::Options options;
    options.unitSearchPaths = { directory / "etc", directory / "lib" };
    SystemdServiceManager manager(std::make_shared<PosixProcessRunner>(), options);
    // systemctl looks in the system's own unit folders, where these test units are not, and
    // says so on standard error only.
    if (manager.status() == ServiceStatus::Enabled)
        GTEST_SKIP() << "Tallowin's socket unit is installed and enabled on this machine";
    EXPECT_EQ(manager.status(), ServiceStatus::NotRegistered);
    enableThroughWantsLink();
    EXPECT_EQ(manager.status(), ServiceStatus::Enabled);
}

TEST(PosixProcessRunner, CollectsBothOutputsAndTheExitStatusAndKillsOverruns)
{
    PosixProcessRunner runner;
    // Far more than a pipe holds, on both streams: the child must not stall.
    auto output
        = runner.run({ "/bin/sh", "-c", "head -c 300000 /dev/zero; head -c 200000 /dev/zero >&2; exit 3" },
            std::chrono::seconds(30));
    ASSERT_TRUE(output) << output.error().description;
    EXPECT_EQ(output->exitStatus, 3);
    EXPECT_EQ(output->standardOutput.size(), 300000u);
    EXPECT_EQ(output->standardError.size(), 200000u);

    auto missing = runner.run({ "/nonexistent/systemctl", "is-enabled" }, std::chrono::seconds(5));
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().kind, ProcessError::Kind::LaunchFailed);
    EXPECT_FALSE(runner.run({ "systemctl" }, std::chrono::seconds(5)));

    auto overrun = runner.run({ "/bin/sleep", "30" }, std::chrono::milliseconds(100));
    ASSERT_FALSE(overrun);
    EXPECT_EQ(overrun.error().kind, ProcessError::Kind::TimedOut);
    // Reaped: no child of ours is left, not even a zombie.
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}
