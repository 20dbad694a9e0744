// The real com.tallowin.ProbeWarden program, started in standalone mode on a temporary socket
// with fake smartctl programs, and spoken to over the wire like the application does.
#include "DaemonTestSupport.h"
#include "helper_protocol/SmartctlHelperProtocol.h"
#include "helper_protocol/UnixSocket.h"

#include <csignal>
#include <map>
#include <nlohmann/json.hpp>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>

using namespace tallowin;
using namespace tallowin::testing;
using namespace std::chrono_literals;
using Protocol = SmartctlHelperProtocol;

extern char** environ;

namespace {

// Starts the daemon program. It gets SIGKILL should this test process die first, so that a
// crashing test does not leave a root daemon behind.
pid_t spawnDaemon(std::vector<char*>& envp)
{
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent)
            ::_exit(127);
        char* argv[] = { const_cast<char*>(TALLOWIN_DAEMON_PATH), nullptr };
        ::execve(TALLOWIN_DAEMON_PATH, argv, envp.data());
        ::_exit(127);
    }
    if (pid < 0)
        throw std::runtime_error("cannot start the daemon");
    return pid;
}

std::vector<std::string> environmentEntries(
    const TemporaryDirectory& directory, std::map<std::string, std::string> environment)
{
    environment["TALLOWIN_HELPER_SOCKET"] = (directory / "probewarden.sock").string();
    if (!environment.count("TALLOWIN_HELPER_RESOURCE_DIR"))
        environment["TALLOWIN_HELPER_RESOURCE_DIR"] = (directory / "resources").string();
    if (!environment.count("TALLOWIN_HELPER_SYSTEM_SMARTCTL_PATHS"))
        environment["TALLOWIN_HELPER_SYSTEM_SMARTCTL_PATHS"] = "";
    environment["PATH"] = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";
    std::vector<std::string> entries;
    for (const auto& [name, value] : environment)
        entries.push_back(name + "=" + value);
    return entries;
}

// Runs a daemon that is expected to give up at start; its exit status.
int runDaemonToExit(const TemporaryDirectory& directory)
{
    auto entries = environmentEntries(directory, {});
    std::vector<char*> envp;
    for (auto& entry : entries)
        envp.push_back(entry.data());
    envp.push_back(nullptr);
    const pid_t pid = spawnDaemon(envp);
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(5ms);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// One daemon process: started with the given environment, stopped with SIGTERM (SIGKILL if it
// does not go) and reaped when the test ends, whatever happens in between.
class Daemon {
public:
    Daemon(const TemporaryDirectory& directory, std::map<std::string, std::string> environment)
        : m_socketPath((directory / "probewarden.sock").string())
    {
        auto entries = environmentEntries(directory, std::move(environment));
        std::vector<char*> envp;
        for (auto& entry : entries)
            envp.push_back(entry.data());
        envp.push_back(nullptr);
        m_pid = spawnDaemon(envp);
        // Ready when the socket accepts connections.
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (!connectUnixSocket(m_socketPath)) {
            if (std::chrono::steady_clock::now() > deadline || !isRunning())
                throw std::runtime_error("the daemon did not start listening");
            std::this_thread::sleep_for(10ms);
        }
    }
    ~Daemon()
    {
        if (m_pid > 0) {
            ::kill(m_pid, SIGTERM);
            if (!waitForExit(10s)) {
                ::kill(m_pid, SIGKILL);
                waitForExit(10s);
            }
        }
    }
    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;

    const std::string& socketPath() const { return m_socketPath; }

    bool isRunning()
    {
        int status = 0;
        if (m_pid > 0 && ::waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_pid = -1;
            m_status = status;
        }
        return m_pid > 0;
    }

    // Sends SIGTERM and returns the exit status, or std::nullopt when it did not exit in time.
    std::optional<int> terminate(std::chrono::milliseconds within)
    {
        ::kill(m_pid, SIGTERM);
        if (!waitForExit(within))
            return std::nullopt;
        return m_status;
    }

    FileDescriptor connect() const
    {
        auto fd = connectUnixSocket(m_socketPath);
        EXPECT_TRUE(fd.has_value());
        return fd ? std::move(fd).value() : FileDescriptor();
    }

private:
    bool waitForExit(std::chrono::milliseconds within)
    {
        const auto deadline = std::chrono::steady_clock::now() + within;
        while (isRunning()) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            std::this_thread::sleep_for(5ms);
        }
        return true;
    }

    std::string m_socketPath;
    pid_t m_pid { -1 };
    int m_status { -1 };
};

Expected<Protocol::Reply, std::string> receive(int fd)
{
    auto frame = readFrame(fd, defaultMaxFrameSize, std::chrono::steady_clock::now() + 20s);
    if (!frame)
        return Unexpected(frame.error().description());
    auto reply = Protocol::decodeReply(*frame);
    if (!reply)
        return Unexpected(reply.error().localizedDescription());
    return std::move(reply).value();
}

Protocol::Reply ask(int fd, const Protocol::Request& request)
{
    EXPECT_TRUE(writeFrame(fd, Protocol::encode(request)).has_value());
    auto reply = receive(fd);
    if (!reply) {
        ADD_FAILURE() << reply.error();
        return Protocol::VersionReply { 0, "no reply" };
    }
    EXPECT_EQ(Protocol::replyId(*reply), Protocol::requestId(request));
    return std::move(reply).value();
}

HelperError errorOf(const Protocol::Reply& reply)
{
    if (auto* error = std::get_if<Protocol::ErrorReply>(&reply))
        return error->error;
    ADD_FAILURE() << "expected an error reply";
    return {};
}

SmartctlExecutionResult resultOf(const Protocol::Reply& reply)
{
    if (auto* result = std::get_if<Protocol::ResultReply>(&reply))
        return result->result;
    if (auto* error = std::get_if<Protocol::ErrorReply>(&reply))
        ADD_FAILURE() << "error reply: " << error->error.description;
    else
        ADD_FAILURE() << "expected a result reply";
    return {};
}

// True when the peer closed the connection (reading gives end of stream).
bool closedByPeer(int fd)
{
    auto frame = readFrame(fd, defaultMaxFrameSize, std::chrono::steady_clock::now() + 10s);
    return !frame && frame.error().kind == SocketError::Kind::closed;
}

}

TEST(ProbeWarden, ResultWithExitStatusFourArrivesAsAResult)
{
    TemporaryDirectory directory;
    const auto fake
        = writeRecordingSmartctl(directory / "resources/smartctl", "{\"smartctl\":{\"exit_status\":4}}", 4);
    Daemon daemon(directory, { { "LANGUAGE", "en" } });
    auto connection = daemon.connect();

    const auto result = resultOf(ask(connection.get(), Protocol::FetchSMARTDataRequest { 41, "sda" }));
    EXPECT_EQ(result.terminationStatus, 4);
    EXPECT_EQ(result.jsonData, bytesFrom("{\"smartctl\":{\"exit_status\":4}}"));
    EXPECT_EQ(result.standardError, bytesFrom("fake stderr\n"));
    EXPECT_EQ(result.commandDescription, fake.string() + " -j -x /dev/sda");
    EXPECT_EQ(readText(directory / "resources/calls"), "-j -x /dev/sda\n");

    const auto version = ask(connection.get(), Protocol::HelperVersionRequest { 42 });
    ASSERT_TRUE(std::holds_alternative<Protocol::VersionReply>(version));
    EXPECT_EQ(std::get<Protocol::VersionReply>(version).version, TALLOWIN_VERSION);
}

TEST(ProbeWarden, SilentCandidatesGiveCodeFourAndNoCandidatesCodeOne)
{
    TemporaryDirectory directory;
    writeScript(directory / "resources/smartctl", "exit 0");
    const auto silentSystem = writeScript(directory / "system/smartctl", "echo nothing useful >&2; exit 2");
    {
        Daemon daemon(directory,
            { { "LANGUAGE", "en" }, { "TALLOWIN_HELPER_SYSTEM_SMARTCTL_PATHS", silentSystem.string() } });
        auto connection = daemon.connect();
        EXPECT_EQ(errorOf(ask(connection.get(), Protocol::FetchSMARTDataRequest { 1, "sdb" })),
            (HelperError {
                "com.tallowin.ProbeWarden.error", 4, "smartctl exited without producing output" }));
    }
    TemporaryDirectory empty;
    Daemon daemon(empty, { { "LANGUAGE", "zh_CN" } });
    auto connection = daemon.connect();
    EXPECT_EQ(errorOf(ask(connection.get(), Protocol::FetchSMARTDataRequest { 2, "sdb" })),
        (HelperError { "com.tallowin.ProbeWarden.error", 1, "未找到 smartctl 可执行文件。" }));
}

TEST(ProbeWarden, ConcurrentClientsAndRequestsAreAllServedWithinTheBound)
{
    TemporaryDirectory directory;
    const auto runs = directory / "runs";
    writeScript(directory / "resources/smartctl",
        "echo start >> '" + runs.string() + "'; sleep 0.3; echo end >> '" + runs.string()
            + "'; printf '{\"device\":\"%s\"}' \"$3\"");
    Daemon daemon(directory, {});
    // Three clients with three requests each in flight at once: nine smartctl runs wanted,
    // at most four at a time allowed.
    std::vector<std::thread> clients;
    std::atomic<int> served { 0 };
    for (int client = 0; client < 3; ++client) {
        clients.emplace_back([&, client] {
            auto connection = daemon.connect();
            std::map<std::uint64_t, std::string> expected;
            for (int request = 0; request < 3; ++request) {
                const std::uint64_t id = static_cast<std::uint64_t>(client * 10 + request);
                const std::string name
                    = "sd" + std::string(1, static_cast<char>('a' + client)) + std::to_string(request);
                expected[id] = "{\"device\":\"/dev/" + name + "\"}";
                ASSERT_TRUE(writeFrame(
                    connection.get(), Protocol::encode(Protocol::FetchSMARTDataRequest { id, name })));
            }
            for (int request = 0; request < 3; ++request) {
                auto reply = receive(connection.get());
                ASSERT_TRUE(reply.has_value()) << reply.error();
                const auto id = Protocol::replyId(*reply);
                EXPECT_EQ(resultOf(*reply).jsonData, bytesFrom(expected[id])) << id;
                ++served;
            }
        });
    }
    for (auto& client : clients)
        client.join();
    EXPECT_EQ(served, 9);
    int running = 0;
    int most = 0;
    std::istringstream lines(readText(runs));
    for (std::string line; std::getline(lines, line);) {
        running += line == "start" ? 1 : -1;
        most = std::max(most, running);
    }
    EXPECT_EQ(running, 0);
    EXPECT_GE(most, 2); // requests really ran side by side...
    EXPECT_LE(most, 4); // ...but never more than four smartctl at once
}

TEST(ProbeWarden, GarbageAndOversizedFramesCloseOnlyTheirConnection)
{
    TemporaryDirectory directory;
    writeRecordingSmartctl(directory / "resources/smartctl", "{}", 0);
    Daemon daemon(directory, {});
    auto bystander = daemon.connect();
    ASSERT_TRUE(writeFrame(bystander.get(), Protocol::encode(Protocol::HelperVersionRequest { 1 })));
    ASSERT_TRUE(receive(bystander.get()).has_value());

    {
        auto garbage = daemon.connect();
        ASSERT_TRUE(writeFrame(garbage.get(), Bytes { 0xff, 0xfe, 0x00, 0x13, 0x37 }));
        EXPECT_TRUE(closedByPeer(garbage.get()));
    }
    {
        auto oversized = daemon.connect();
        ASSERT_TRUE(writeAll(oversized.get(), Bytes { 0x7f, 0xff, 0xff, 0xff, 1, 2, 3 }));
        EXPECT_TRUE(closedByPeer(oversized.get()));
    }
    {
        auto wrongShape = daemon.connect();
        ASSERT_TRUE(writeFrame(
            wrongShape.get(), nlohmann::json::to_cbor(nlohmann::json { { "op", "reboot" }, { "id", 1 } })));
        EXPECT_TRUE(closedByPeer(wrongShape.get()));
    }
    {
        // A client that sends half a frame and leaves.
        auto quitter = daemon.connect();
        ASSERT_TRUE(writeAll(quitter.get(), Bytes { 0x00, 0x00, 0x10 }));
    }
    EXPECT_TRUE(daemon.isRunning());
    resultOf(ask(bystander.get(), Protocol::FetchSMARTDataRequest { 2, "sda" }));
    auto newcomer = daemon.connect();
    resultOf(ask(newcomer.get(), Protocol::FetchSMARTDataRequest { 3, "sdb" }));
}

TEST(ProbeWarden, OneUserCannotHoldEveryConnection)
{
    TemporaryDirectory directory;
    writeRecordingSmartctl(directory / "resources/smartctl", "{}", 0);
    Daemon daemon(directory, {});
    std::vector<FileDescriptor> idle;
    for (int i = 0; i < 8; ++i) {
        idle.push_back(daemon.connect());
        // Make sure the daemon has taken this one before the next arrives.
        resultOf(ask(idle.back().get(), Protocol::FetchSMARTDataRequest { 1, "sda" }));
    }
    auto ninth = daemon.connect();
    EXPECT_TRUE(closedByPeer(ninth.get()));
    resultOf(ask(idle.front().get(), Protocol::FetchSMARTDataRequest { 2, "sda" }));
}

TEST(ProbeWarden, HalfClosedClientStillGetsItsReplies)
{
    TemporaryDirectory directory;
    writeScript(directory / "resources/smartctl", "sleep 0.2; printf '{}'");
    Daemon daemon(directory, {});
    auto connection = daemon.connect();
    ASSERT_TRUE(writeFrame(connection.get(), Protocol::encode(Protocol::FetchSMARTDataRequest { 1, "sda" })));
    ASSERT_TRUE(writeFrame(connection.get(), Protocol::encode(Protocol::FetchSMARTDataRequest { 2, "sdb" })));
    ::shutdown(connection.get(), SHUT_WR);
    for (int i = 0; i < 2; ++i) {
        auto reply = receive(connection.get());
        ASSERT_TRUE(reply.has_value()) << reply.error();
        resultOf(*reply);
    }
    EXPECT_TRUE(closedByPeer(connection.get()));
}

TEST(ProbeWarden, HostileDeviceNamesNeverReachSmartctl)
{
    TemporaryDirectory directory;
    writeRecordingSmartctl(directory / "resources/smartctl", "{}", 0);
    Daemon daemon(directory, { { "LANGUAGE", "en" } });
    auto connection = daemon.connect();
    std::uint64_t id = 0;
    for (const std::string& name : std::vector<std::string> { "../etc/passwd", "sda/../../x", "", "-h",
             "--scan-open", std::string(10000, 'a'), std::string("sda\0", 4), "sda;reboot", ".." }) {
        EXPECT_EQ(errorOf(ask(connection.get(), Protocol::FetchSMARTDataRequest { ++id, name })),
            (HelperError { "com.tallowin.ProbeWarden.error", 5, "Invalid device name." }))
            << name;
    }
    EXPECT_FALSE(std::filesystem::exists(directory / "resources/calls"));
    // The connection is still good, and a plain name is run.
    resultOf(ask(connection.get(), Protocol::FetchSMARTDataRequest { ++id, "nvme0n1" }));
    EXPECT_EQ(readText(directory / "resources/calls"), "-j -x /dev/nvme0n1\n");
}

TEST(ProbeWarden, HangingSmartctlIsKilledAndAnswered)
{
    TemporaryDirectory directory;
    writeScript(directory / "resources/smartctl", "sleep 300");
    Daemon daemon(directory, { { "TALLOWIN_HELPER_SMARTCTL_TIMEOUT_MS", "400" }, { "LANGUAGE", "en" } });
    auto connection = daemon.connect();
    const auto error = errorOf(ask(connection.get(), Protocol::FetchSMARTDataRequest { 1, "sda" }));
    EXPECT_EQ(error.domain, "com.tallowin.ProbeWarden.error");
    EXPECT_EQ(error.code, 999);
    EXPECT_EQ(error.description, "smartctl did not finish within 0.4 seconds and was stopped");
}

TEST(ProbeWarden, TerminatesCleanlyOnSigtermEvenWithARunInFlight)
{
    TemporaryDirectory directory;
    writeScript(directory / "resources/smartctl", "sleep 300");
    std::optional<int> status;
    {
        Daemon daemon(directory, {});
        auto connection = daemon.connect();
        ASSERT_TRUE(
            writeFrame(connection.get(), Protocol::encode(Protocol::FetchSMARTDataRequest { 1, "sda" })));
        std::this_thread::sleep_for(200ms); // let the run start
        status = daemon.terminate(10s);
        // The stopped run may still be answered (with an error) before the connection closes.
        auto last = receive(connection.get());
        if (last) {
            EXPECT_EQ(errorOf(*last).code, 999);
        }
        EXPECT_TRUE(closedByPeer(connection.get()));
    }
    ASSERT_TRUE(status.has_value()) << "the daemon did not stop";
    EXPECT_TRUE(WIFEXITED(*status));
    EXPECT_EQ(WEXITSTATUS(*status), 0);
    EXPECT_FALSE(std::filesystem::exists(directory / "probewarden.sock"));
}

TEST(ProbeWarden, RefusesToStartOverALiveDaemonOrAForeignFile)
{
    {
        TemporaryDirectory directory;
        Daemon first(directory, {});
        EXPECT_EQ(runDaemonToExit(directory), 1);
        EXPECT_TRUE(first.isRunning());
        EXPECT_TRUE(connectUnixSocket(first.socketPath()).has_value());
    }
    TemporaryDirectory directory;
    writeScript(directory / "probewarden.sock", "precious");
    EXPECT_EQ(runDaemonToExit(directory), 1);
    EXPECT_EQ(readText(directory / "probewarden.sock"), "#!/bin/sh\nprecious\n");
}

TEST(ProbeWarden, RealSmartctlAnswersForThisMachinesDisk)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "smartctl needs root to open a disk";
    if (::access("/usr/sbin/smartctl", X_OK) != 0)
        GTEST_SKIP() << "smartmontools is not installed";
    std::string disk;
    for (const char* candidate : { "vda", "sda", "nvme0n1", "xvda" }) {
        if (std::filesystem::exists(std::string("/sys/class/block/") + candidate)) {
            disk = candidate;
            break;
        }
    }
    if (disk.empty())
        GTEST_SKIP() << "no whole disk found";
    TemporaryDirectory directory;
    Daemon daemon(directory, { { "TALLOWIN_HELPER_SYSTEM_SMARTCTL_PATHS", "/usr/sbin/smartctl" } });
    auto connection = daemon.connect();
    const auto result = resultOf(ask(connection.get(), Protocol::FetchSMARTDataRequest { 1, disk }));
    EXPECT_EQ(result.commandDescription, "/usr/sbin/smartctl -j -x /dev/" + disk);
    const auto json = nlohmann::json::parse(result.jsonData.begin(), result.jsonData.end(), nullptr, false);
    ASSERT_FALSE(json.is_discarded());
    EXPECT_EQ(json["smartctl"]["exit_status"], result.terminationStatus);
    // smartctl's own record of its command line names the device we asked for.
    EXPECT_EQ(json["smartctl"]["argv"].back(), "/dev/" + disk);
}
