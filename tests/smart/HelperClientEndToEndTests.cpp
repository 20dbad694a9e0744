// The helper client against the real com.tallowin.ProbeWarden program in standalone mode, with
// a fake smartctl in its resource directory.
#include "smart/FakeHelperDaemon.h"
#include "smart/ProcessRunner.h"
#include "smart/SmartctlHelperClient.h"
#include "smart/TemporaryDirectory.h"

#include <csignal>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>

using namespace tallowin;
using namespace std::chrono_literals;
using tallowin::testing::SerialMainQueue;
using tallowin::testing::TemporaryDirectory;

extern char** environ;

namespace {

// One daemon process, killed and reaped when the test ends however it ends. It also dies with
// this process, so a crashing test leaves no root daemon behind.
class DaemonProcess {
public:
    DaemonProcess(const std::filesystem::path& socketPath, const std::filesystem::path& resourceDirectory)
    {
        std::vector<std::string> entries { "TALLOWIN_HELPER_SOCKET=" + socketPath.string(),
            "TALLOWIN_HELPER_RESOURCE_DIR=" + resourceDirectory.string(),
            "TALLOWIN_HELPER_SYSTEM_SMARTCTL_PATHS=", "PATH=/usr/sbin:/usr/bin:/sbin:/bin" };
        std::vector<char*> environment;
        for (auto& entry : entries)
            environment.push_back(entry.data());
        environment.push_back(nullptr);
        pid_t parent = ::getpid();
        m_pid = ::fork();
        if (m_pid == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (::getppid() != parent)
                ::_exit(127);
            char* argv[] = { const_cast<char*>(TALLOWIN_DAEMON_PATH), nullptr };
            ::execve(TALLOWIN_DAEMON_PATH, argv, environment.data());
            ::_exit(127);
        }
        if (m_pid < 0)
            throw std::runtime_error("fork failed");
        auto deadline = std::chrono::steady_clock::now() + 10s;
        while (!connectUnixSocket(socketPath.string())) {
            if (std::chrono::steady_clock::now() > deadline)
                throw std::runtime_error("the daemon did not start listening");
            std::this_thread::sleep_for(10ms);
        }
    }
    ~DaemonProcess() { kill(); }
    DaemonProcess(const DaemonProcess&) = delete;
    DaemonProcess& operator=(const DaemonProcess&) = delete;

    void kill()
    {
        if (m_pid <= 0)
            return;
        ::kill(m_pid, SIGKILL);
        while (::waitpid(m_pid, nullptr, 0) < 0 && errno == EINTR) { }
        m_pid = -1;
    }

private:
    pid_t m_pid { -1 };
};

void writeFakeSmartctl(const std::filesystem::path& directory, const std::string& body)
{
    std::filesystem::create_directories(directory);
    auto path = directory / "smartctl";
    std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
    ::chmod(path.c_str(), 0755);
}

std::string fixture(const char* name)
{
    std::ifstream file(std::filesystem::path(TALLOWIN_SHARED_DIR) / "fixtures" / "smartctl" / name);
    std::ostringstream contents;
    contents << file.rdbuf();
    return contents.str();
}

class HelperClientEndToEndTest : public ::testing::Test {
protected:
    std::shared_ptr<SmartctlHelperClient> makeClient()
    {
        auto manager = PrivilegedHelperManager::create(
            { std::make_shared<DevelopmentServiceManager>(socketPath.string()), mainQueue, {},
                &notifications });
        return SmartctlHelperClient::create(manager, { socketPath.string(), 5s });
    }

    ScopedTestLogSink log;
    TemporaryDirectory directory;
    std::filesystem::path socketPath = directory / "probewarden.sock";
    std::filesystem::path resources = directory / "resources";
    std::shared_ptr<SerialMainQueue> mainQueue = std::make_shared<SerialMainQueue>();
    NotificationCenter notifications;
};

}

TEST_F(HelperClientEndToEndTest, SmartctlOutputArrivesByteForByteWithItsStatus)
{
    auto json = fixture("nvme-samsung-970evo-xall.json");
    ASSERT_FALSE(json.empty());
    std::ofstream(directory / "report.json") << json;
    writeFakeSmartctl(
        resources, "cat '" + (directory / "report.json").string() + "'\necho 'warning' >&2\nexit 4");
    DaemonProcess daemon(socketPath, resources);
    auto client = makeClient();

    auto result = client->fetchSMARTData("nvme0n1");
    ASSERT_TRUE(result);
    EXPECT_EQ(textView(result->jsonData), json);
    EXPECT_EQ(textView(result->standardError), "warning\n");
    EXPECT_EQ(result->terminationStatus, 4);
    EXPECT_TRUE(result->commandDescription.ends_with("smartctl -j -x /dev/nvme0n1"))
        << result->commandDescription;
}

TEST_F(HelperClientEndToEndTest, SilentSmartctlIsAHelperErrorOnAKeptConnection)
{
    writeFakeSmartctl(resources, "exit 2");
    DaemonProcess daemon(socketPath, resources);
    auto client = makeClient();
    auto failed = client->fetchSMARTDataExplained("sda");
    ASSERT_FALSE(failed);
    ASSERT_TRUE(failed.error().helperError);
    EXPECT_TRUE(failed.error().helperError->is(HelperError::Code::emptyOutput));
    EXPECT_TRUE(log->contains(LogLevel::Error,
        "Privileged helper domain error (code: 4) for BSD name sda: "
            + HelperError::emptyOutput().description));
    EXPECT_TRUE(client->hasConnection());
}

TEST_F(HelperClientEndToEndTest, ClientRecoversWhenTheDaemonDiesAndComesBack)
{
    writeFakeSmartctl(resources, "echo '{}'");
    auto client = makeClient();
    {
        DaemonProcess daemon(socketPath, resources);
        ASSERT_TRUE(client->fetchSMARTData("sda"));
        daemon.kill();
    }
    // The dead daemon's connection is noticed and dropped; with nobody listening there is no
    // result, and no wait either.
    auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(client->fetchSMARTData("sda"));
    EXPECT_LT(std::chrono::steady_clock::now() - started, 4s);
    std::filesystem::remove(socketPath);

    DaemonProcess restarted(socketPath, resources);
    auto result = client->fetchSMARTData("sda");
    ASSERT_TRUE(result);
    EXPECT_EQ(textView(result->jsonData), "{}\n");
}

TEST_F(HelperClientEndToEndTest, CommandLinePrintsTheRawResult)
{
    writeFakeSmartctl(resources, "printf '{\"ok\":true}'\nexit 64");
    DaemonProcess daemon(socketPath, resources);
    ::setenv("TALLOWIN_HELPER_SOCKET", socketPath.c_str(), 1);
    ::setenv("LANGUAGE", "en", 1);
    PosixProcessRunner runner;
    auto printed = runner.run({ TALLOWIN_CLI_PATH, "smart", "--raw", "--device", "/dev/sdb" }, 30s);
    auto refused = runner.run({ TALLOWIN_CLI_PATH, "smart", "--raw", "--device", "../etc/passwd" }, 30s);
    daemon.kill();
    auto unreachable = runner.run({ TALLOWIN_CLI_PATH, "smart", "--raw", "--device", "sdb" }, 30s);
    ::unsetenv("TALLOWIN_HELPER_SOCKET");
    ::unsetenv("LANGUAGE");

    ASSERT_TRUE(printed);
    EXPECT_EQ(printed->exitStatus, 0) << printed->standardError;
    EXPECT_TRUE(printed->standardOutput.starts_with("exit status: 64\ncommand: ")) << printed->standardOutput;
    EXPECT_NE(printed->standardOutput.find(
                  "smartctl -j -x /dev/sdb\nstandard output: 11 bytes\nstandard error: 0 bytes\n\n"),
        std::string::npos);
    EXPECT_TRUE(printed->standardOutput.ends_with("\n\n{\"ok\":true}"));

    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->exitStatus, 2);
    ASSERT_TRUE(unreachable);
    EXPECT_EQ(unreachable->exitStatus, 1);
    EXPECT_NE(unreachable->standardError.find("Cannot reach the SMART helper service"), std::string::npos);
}
