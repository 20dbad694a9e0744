// The real com.tallowin.ProbeWarden program, started in standalone mode on a temporary socket
// with fake smartctl programs, and spoken to over the wire like the application does.
#include "helper_protocol/SmartctlHelperProtocol.h"
#include "support/BlockDeviceUnderPath.h"
#include "support/FakeSmartctl.h"
#include "support/ProbeWardenProcess.h"
#include "support/TemporaryDirectory.h"

#include <fmt/format.h>
#include <nlohmann/json.hpp>
#include <sstream>
#include <sys/socket.h>

using namespace tallowin;
using namespace tallowin::testing;
using namespace std::chrono_literals;
using Protocol = SmartctlHelperProtocol;
using Daemon = ProbeWardenProcess;

namespace {

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

Protocol::Reply fetch(int fd, std::uint64_t id, std::string name)
{
    return ask(fd, Protocol::FetchSMARTDataRequest { id, std::move(name) });
}

template<typename Wanted> Wanted as(const Protocol::Reply& reply)
{
    if (auto* wanted = std::get_if<Wanted>(&reply))
        return *wanted;
    ADD_FAILURE() << "unexpected kind of reply";
    return {};
}
const auto errorOf = [](const Protocol::Reply& reply) { return as<Protocol::ErrorReply>(reply).error; };
const auto resultOf = [](const Protocol::Reply& reply) { return as<Protocol::ResultReply>(reply).result; };
const auto helperError = [](std::int64_t code, std::string description) {
    return HelperError { "com.tallowin.ProbeWarden.error", code, std::move(description) };
};

bool closedByPeer(int fd)
{
    auto frame = readFrame(fd, defaultMaxFrameSize, std::chrono::steady_clock::now() + 10s);
    return !frame && frame.error().kind == SocketError::Kind::closed;
}

}

TEST(ProbeWarden, SilentCandidatesGiveCodeFourAndNoCandidatesCodeOne)
{
    TemporaryDirectory directory;
    writeScript(directory / "resources/smartctl", "exit 0");
    const auto silentSystem = writeScript(directory / "system/smartctl", "echo nothing useful >&2; exit 2");
    {
        Daemon daemon(directory.path(),
            { { "LANGUAGE", "en" }, { "TALLOWIN_HELPER_SYSTEM_SMARTCTL_PATHS", silentSystem.string() } });
        EXPECT_EQ(errorOf(fetch(daemon.connect().get(), 1, "sdb")),
            helperError(4, "smartctl exited without producing output"));
    }
    // The wire carries the English text whatever the daemon's locale.
    TemporaryDirectory empty;
    Daemon daemon(empty.path(), { { "LANGUAGE", "zh_CN" }, { "LANG", "zh_CN.UTF-8" } });
    EXPECT_EQ(errorOf(fetch(daemon.connect().get(), 2, "sdb")), helperError(1, "No smartctl executable was found."));
}

TEST(ProbeWarden, ConcurrentClientsAndRequestsAreAllServedWithinTheBound)
{
    TemporaryDirectory directory;
    const auto runs = (directory / "runs").string();
    writeScript(directory / "resources/smartctl",
        "echo start >> '" + runs + "'; sleep 0.3; echo end >> '" + runs + "'; printf '%s' \"$3\"");
    const auto name
        = [](int client, std::uint64_t id) { return fmt::format("sd{}{}", char('a' + client), id); };
    for (int client = 0; client < 3; ++client)
        for (std::uint64_t id = 0; id < 3; ++id)
            Daemon::addFakeBlockDevice(directory.path(), name(client, id));
    Daemon daemon(directory.path());
    // Nine requests in flight from three clients: at most four runs at a time.
    std::vector<std::thread> clients;
    std::atomic<int> served { 0 };
    for (int client = 0; client < 3; ++client)
        clients.emplace_back([&, client] {
            auto connection = daemon.connect();
            for (std::uint64_t id = 0; id < 3; ++id)
                ASSERT_TRUE(writeFrame(connection.get(),
                    Protocol::encode(Protocol::FetchSMARTDataRequest { id, name(client, id) })));
            for (int request = 0; request < 3; ++request) {
                auto reply = receive(connection.get());
                ASSERT_TRUE(reply.has_value()) << reply.error();
                EXPECT_EQ(
                    resultOf(*reply).jsonData, bytesFrom("/dev/" + name(client, Protocol::replyId(*reply))));
                ++served;
            }
        });
    for (auto& client : clients)
        client.join();
    EXPECT_EQ(served, 9);
    int running = 0, most = 0;
    std::istringstream lines(readText(runs));
    for (std::string line; std::getline(lines, line);)
        most = std::max(most, running += line == "start" ? 1 : -1);
    EXPECT_EQ(running, 0);
    EXPECT_GE(most, 2);
    EXPECT_LE(most, 4);
}

// The per-user connection limit is the hostile-client tests' subject; here, bad frames and
// messages and a half-closed client.
TEST(ProbeWarden, BadClientsLoseOnlyTheirOwnConnection)
{
    TemporaryDirectory directory;
    writeScript(directory / "resources/smartctl", "sleep 0.2; printf '{}'");
    Daemon daemon(directory.path());
    auto bystander = daemon.connect();
    resultOf(fetch(bystander.get(), 1, "sda"));
    for (const Bytes& bad : { encodeFrame(Bytes { 0xff, 0xfe, 0x00, 0x13, 0x37 }),
             Bytes { 0x7f, 0xff, 0xff, 0xff, 1 } /* oversized */,
             encodeFrame(nlohmann::json::to_cbor(nlohmann::json { { "op", "reboot" }, { "id", 1 } })) }) {
        auto connection = daemon.connect();
        ASSERT_TRUE(writeAll(connection.get(), bad));
        EXPECT_TRUE(closedByPeer(connection.get()));
    }
    {
        auto quitter = daemon.connect(); // half a frame, then gone
        ASSERT_TRUE(writeAll(quitter.get(), Bytes { 0x00, 0x00, 0x10 }));
        ::shutdown(quitter.get(), SHUT_WR);
        EXPECT_TRUE(closedByPeer(quitter.get()));
    }
    // A client that has sent all its requests and half-closed still gets every reply.
    auto connection = daemon.connect();
    for (std::uint64_t id = 1; id <= 2; ++id)
        ASSERT_TRUE(writeFrame(connection.get(), Protocol::encode(Protocol::FetchSMARTDataRequest { id, "sdb" })));
    ::shutdown(connection.get(), SHUT_WR);
    EXPECT_TRUE(receive(connection.get()).has_value());
    EXPECT_TRUE(receive(connection.get()).has_value());
    EXPECT_TRUE(closedByPeer(connection.get()));
    resultOf(fetch(bystander.get(), 4, "sda"));
}

// Spelled like device names but not storage devices: character devices root must not open
// (opening /dev/watchdog arms the watchdog), and a disk this machine does not have. A real one
// then gets smartctl's output as a result even with a non-zero exit status.
TEST(ProbeWarden, HostileDeviceNamesNeverReachSmartctl)
{
    TemporaryDirectory directory;
    const auto fake = writeRecordingSmartctl(directory / "resources/smartctl", "{\"exit_status\":4}", 4);
    Daemon daemon(directory.path(), { { "LANGUAGE", "en" } });
    auto connection = daemon.connect();
    std::uint64_t id = 0;
    for (const std::string& name : { std::string("../etc/passwd"), std::string("--scan-open"),
             std::string(1000, 'a'), std::string("sda\0", 4), std::string("sda;reboot"), std::string("watchdog"),
             std::string("mem"), std::string("kmsg"), std::string("ttyS0"), std::string("sdz") })
        EXPECT_EQ(errorOf(fetch(connection.get(), ++id, name)), helperError(5, "Invalid device name.")) << name;
    EXPECT_FALSE(std::filesystem::exists(directory / "resources/calls"));
    EXPECT_EQ(resultOf(fetch(connection.get(), ++id, "nvme0n1")),
        (SmartctlExecutionResult { bytesFrom("{\"exit_status\":4}"), fake.string() + " -j -x /dev/nvme0n1",
            bytesFrom("fake stderr\n"), 4 }));
    EXPECT_EQ(readText(directory / "resources/calls"), "-j -x /dev/nvme0n1\n");
    EXPECT_EQ(ask(connection.get(), Protocol::HelperVersionRequest { 42 }),
        Protocol::Reply(Protocol::VersionReply { 42, TALLOWIN_VERSION }));
}

TEST(ProbeWarden, HangingRunsAreStoppedByTheTimeoutAndBySigterm)
{
    TemporaryDirectory directory;
    writeScript(directory / "resources/smartctl", "sleep 300");
    std::optional<int> status;
    {
        Daemon daemon(directory.path(), { { "TALLOWIN_HELPER_SMARTCTL_TIMEOUT_MS", "400" }, { "LANGUAGE", "en" } });
        auto connection = daemon.connect();
        EXPECT_EQ(errorOf(fetch(connection.get(), 1, "sda")),
            helperError(999, "smartctl did not finish within 0.4 seconds and was stopped"));
        ASSERT_TRUE(writeFrame(connection.get(), Protocol::encode(Protocol::FetchSMARTDataRequest { 2, "sda" })));
        std::this_thread::sleep_for(200ms); // let the run start
        status = daemon.terminate(10s);
        if (auto last = receive(connection.get())) { // the stopped run may still be answered
            EXPECT_EQ(errorOf(*last).code, 999);
        }
        EXPECT_TRUE(closedByPeer(connection.get()));
    }
    ASSERT_TRUE(status.has_value()) << "the daemon did not stop";
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
    EXPECT_FALSE(std::filesystem::exists(directory / "probewarden.sock"));
}

TEST(ProbeWarden, RefusesToStartOverALiveDaemonOrAForeignFile)
{
    {
        TemporaryDirectory directory;
        Daemon first(directory.path());
        EXPECT_EQ(Daemon::runToExit(directory.path()), 1);
        EXPECT_TRUE(first.isRunning());
        EXPECT_TRUE(first.connect().isValid());
    }
    TemporaryDirectory directory;
    writeScript(directory / "probewarden.sock", "precious");
    EXPECT_EQ(Daemon::runToExit(directory.path()), 1);
    EXPECT_EQ(readText(directory / "probewarden.sock"), "#!/bin/sh\nprecious\n");
}

TEST(ProbeWarden, RealSmartctlAnswersForThisMachinesDisk)
{
    if (::geteuid() != 0 || ::access("/usr/sbin/smartctl", X_OK) != 0)
        GTEST_SKIP() << "needs root and smartmontools";
    auto under = blockDeviceUnder(std::filesystem::temp_directory_path());
    if (!under)
        GTEST_SKIP() << "the temporary folder is on no block device";
    const std::string disk = under->disk;
    TemporaryDirectory directory;
    Daemon daemon(directory.path(),
        { { "TALLOWIN_HELPER_SYSTEM_SMARTCTL_PATHS", "/usr/sbin/smartctl" }, { "TALLOWIN_SYSFS_ROOT", "/sys" } });
    const auto result = resultOf(fetch(daemon.connect().get(), 1, disk));
    EXPECT_EQ(result.commandDescription, "/usr/sbin/smartctl -j -x /dev/" + disk);
    const auto json = nlohmann::json::parse(result.jsonData.begin(), result.jsonData.end(), nullptr, false);
    ASSERT_FALSE(json.is_discarded());
    EXPECT_EQ(json["smartctl"]["exit_status"], result.terminationStatus);
    EXPECT_EQ(json["smartctl"]["argv"].back(), "/dev/" + disk);
}
