#include "smart/FakeHelperDaemon.h"
#include "smart/FakeServiceManager.h"
#include "smart/SmartctlHelperClient.h"
#include "smart/TemporaryDirectory.h"

#include <atomic>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <thread>

using namespace tallowin;
using namespace std::chrono_literals;
using tallowin::testing::FakeHelperDaemon;
using tallowin::testing::SerialMainQueue;
using tallowin::testing::TemporaryDirectory;
using Protocol = SmartctlHelperProtocol;
using Action = FakeHelperDaemon::Action;

namespace {

std::string jsonOf(const SmartctlExecutionResult& result)
{
    return std::string(textView(result.jsonData));
}

class SmartctlHelperClientTest : public ::testing::Test {
protected:
    std::shared_ptr<SmartctlHelperClient> makeClient(std::chrono::milliseconds replyTimeout = 500ms,
        PrivilegedHelperManager::RuntimeEnvironment environment = {})
    {
        auto manager = PrivilegedHelperManager::create(
            { std::make_shared<DevelopmentServiceManager>(socketPath.string()), mainQueue,
                std::move(environment), &notifications });
        return SmartctlHelperClient::create(manager, { socketPath.string(), replyTimeout });
    }

    ScopedTestLogSink log;
    TemporaryDirectory directory;
    std::filesystem::path socketPath = directory / "probewarden.sock";
    std::shared_ptr<SerialMainQueue> mainQueue = std::make_shared<SerialMainQueue>();
    NotificationCenter notifications;
};

}

TEST_F(SmartctlHelperClientTest, ResultArrivesAndTheConnectionIsReused)
{
    std::vector<std::string> names;
    std::mutex namesMutex;
    FakeHelperDaemon daemon(socketPath, [&](const Protocol::FetchSMARTDataRequest& request, int) {
        std::lock_guard lock(namesMutex);
        names.push_back(request.bsdName);
        return Action { .reply
            = FakeHelperDaemon::result(request.id, R"({"smartctl":{"exit_status":4}})", 4) };
    });
    auto client = makeClient();
    auto result = client->fetchSMARTData("sda");
    ASSERT_TRUE(result);
    EXPECT_EQ(jsonOf(*result), R"({"smartctl":{"exit_status":4}})");
    EXPECT_EQ(result->terminationStatus, 4);
    EXPECT_EQ(result->commandDescription, "/usr/sbin/smartctl -j -x /dev/sda");
    EXPECT_TRUE(log->contains(LogLevel::Debug,
        "Received helper response containing 30 bytes of JSON for BSD name sda; exit status: 4"));
    EXPECT_TRUE(client->hasConnection());

    EXPECT_TRUE(client->fetchSMARTData("nvme0n1"));
    EXPECT_EQ(daemon.connectionsAccepted(), 1);
    EXPECT_EQ(names, (std::vector<std::string> { "sda", "nvme0n1" }));
}

TEST_F(SmartctlHelperClientTest, HelperErrorGivesNothingAndKeepsTheConnection)
{
    FakeHelperDaemon daemon(socketPath, [](const Protocol::FetchSMARTDataRequest& request, int) {
        return Action { .reply = Protocol::ErrorReply { request.id, HelperError::smartctlNotFound() } };
    });
    auto client = makeClient();
    auto failed = client->fetchSMARTDataExplained("sda");
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().kind, SmartctlHelperClient::FetchFailure::Kind::HelperReportedError);
    EXPECT_EQ(failed.error().helperError, HelperError::smartctlNotFound());
    EXPECT_TRUE(log->contains(LogLevel::Error,
        "Privileged helper domain error (code: 1) for BSD name sda: "
            + HelperError::smartctlNotFound().description));

    EXPECT_FALSE(client->fetchSMARTData("sda"));
    EXPECT_EQ(daemon.connectionsAccepted(), 1);
}

TEST_F(SmartctlHelperClientTest, SilentDaemonGivesNothingAfterFiveSecondsAndTheNextFetchReconnects)
{
    FakeHelperDaemon daemon(socketPath, [](const Protocol::FetchSMARTDataRequest& request, int connection) {
        if (connection == 0)
            return Action {};
        return Action { .reply = FakeHelperDaemon::result(request.id, "{}") };
    });
    auto client = makeClient(SmartctlHelperClient::defaultReplyTimeout);
    auto started = std::chrono::steady_clock::now();
    auto failed = client->fetchSMARTDataExplained("sda");
    auto waited = std::chrono::steady_clock::now() - started;
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().kind, SmartctlHelperClient::FetchFailure::Kind::TimedOut);
    EXPECT_GE(waited, 4900ms);
    EXPECT_TRUE(log->contains(
        LogLevel::Error, "Timed out waiting for helper response when fetching SMART info for BSD name sda"));
    EXPECT_FALSE(client->hasConnection());

    EXPECT_TRUE(client->fetchSMARTData("sda"));
    EXPECT_EQ(daemon.connectionsAccepted(), 2);
}

TEST_F(SmartctlHelperClientTest, LateAndStrayRepliesNeverAnswerAnotherRequest)
{
    std::atomic<Protocol::RequestId> firstId { 0 };
    FakeHelperDaemon daemon(socketPath, [&](const Protocol::FetchSMARTDataRequest& request, int connection) {
        if (connection == 0) {
            firstId = request.id;
            return Action { .delay = 800ms, .reply = FakeHelperDaemon::result(request.id, "late") };
        }
        // The old request's answer comes first on the new connection, then the right one.
        return Action { .stray = FakeHelperDaemon::result(firstId.load(), "stray"),
            .reply = FakeHelperDaemon::result(request.id, "current") };
    });
    auto client = makeClient(300ms);
    EXPECT_FALSE(client->fetchSMARTData("sda"));
    auto second = client->fetchSMARTData("sda");
    ASSERT_TRUE(second);
    EXPECT_EQ(jsonOf(*second), "current");
    // Once the late reply has been sent to the dropped connection, nothing changes either.
    std::this_thread::sleep_for(700ms);
    auto third = client->fetchSMARTData("sda");
    ASSERT_TRUE(third);
    EXPECT_EQ(jsonOf(*third), "current");
}

TEST_F(SmartctlHelperClientTest, MissingSocketOrRefusedConnectionGivesNothingAtOnce)
{
    auto client = makeClient();
    auto missing = client->fetchSMARTDataExplained("sda");
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().kind, SmartctlHelperClient::FetchFailure::Kind::NoConnection);
    EXPECT_NE(missing.error().detail.find(socketPath.string()), std::string::npos);
    EXPECT_TRUE(log->contains(LogLevel::Error,
        "Unable to create remote proxy for privileged helper when fetching SMART info for sda"));

    // A socket file that nobody listens on any more, as a crashed daemon leaves behind.
    {
        FileDescriptor stale(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_un address {};
        address.sun_family = AF_UNIX;
        socketPath.string().copy(address.sun_path, sizeof(address.sun_path) - 1);
        ASSERT_EQ(::bind(stale.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    }
    auto refused = client->fetchSMARTDataExplained("sda");
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().kind, SmartctlHelperClient::FetchFailure::Kind::NoConnection);
    EXPECT_FALSE(client->hasConnection());
}

TEST_F(SmartctlHelperClientTest, TwoThreadsFetchingAtOnceAreBothServed)
{
    FakeHelperDaemon daemon(socketPath, [](const Protocol::FetchSMARTDataRequest& request, int) {
        // The first name is answered last, so the replies cross on the connection.
        auto delay = request.bsdName == "sda" ? 300ms : 0ms;
        return Action { .delay = delay, .reply = FakeHelperDaemon::result(request.id, request.bsdName) };
    });
    auto client = makeClient(5s);
    ASSERT_TRUE(client->fetchSMARTData("warm-up"));
    std::optional<SmartctlExecutionResult> first, second;
    std::thread one([&] { first = client->fetchSMARTData("sda"); });
    std::this_thread::sleep_for(50ms);
    std::thread two([&] { second = client->fetchSMARTData("sdb"); });
    one.join();
    two.join();
    ASSERT_TRUE(first);
    ASSERT_TRUE(second);
    EXPECT_EQ(jsonOf(*first), "sda");
    EXPECT_EQ(jsonOf(*second), "sdb");
    EXPECT_EQ(daemon.connectionsAccepted(), 1);
}

TEST_F(SmartctlHelperClientTest, UndecodableReplyFailsItsRequestAndDropsTheConnection)
{
    FakeHelperDaemon daemon(socketPath, [](const Protocol::FetchSMARTDataRequest& request, int connection) {
        if (connection > 0)
            return Action { .reply = FakeHelperDaemon::result(request.id, "{}") };
        // A result without "standardError" must not decode, although "jsonData" is there.
        nlohmann::json reply = { { "id", request.id },
            { "result",
                { { "jsonData", nlohmann::json::binary({ '{', '}' }) },
                    { "commandDescription", "smartctl" } } } };
        auto payload = nlohmann::json::to_cbor(reply);
        return Action { .raw = Bytes(payload.begin(), payload.end()) };
    });
    auto client = makeClient(5s);
    auto failed = client->fetchSMARTDataExplained("sda");
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().kind, SmartctlHelperClient::FetchFailure::Kind::HelperReportedError);
    auto messages = log->messages("SmartctlHelperClient");
    EXPECT_TRUE(std::any_of(messages.begin(), messages.end(), [](const std::string& message) {
        return message.starts_with(
            "Helper reported error for BSD name sda: The helper's reply could not be decoded");
    }));
    EXPECT_FALSE(client->hasConnection());
    EXPECT_TRUE(client->fetchSMARTData("sda"));
    EXPECT_EQ(daemon.connectionsAccepted(), 2);
}

TEST_F(SmartctlHelperClientTest, DaemonHangingUpIsAnInterruptionAndTheNextFetchReconnects)
{
    FakeHelperDaemon daemon(socketPath, [](const Protocol::FetchSMARTDataRequest& request, int connection) {
        if (connection == 0)
            return Action { .closeConnection = true };
        return Action { .reply = FakeHelperDaemon::result(request.id, "{}") };
    });
    auto client = makeClient(300ms);
    EXPECT_FALSE(client->fetchSMARTData("sda"));
    EXPECT_TRUE(log->contains(LogLevel::Error, "Helper connection interrupted; will retry on next request."));
    EXPECT_TRUE(
        log->contains(LogLevel::Debug, "Helper connection invalidated; will recreate on next request."));
    EXPECT_TRUE(client->fetchSMARTData("sda"));
    EXPECT_EQ(daemon.connectionsAccepted(), 2);
}

TEST_F(SmartctlHelperClientTest, DisabledOperationsOrAFailedInstallationNeverConnect)
{
    FakeHelperDaemon daemon(socketPath, [](const Protocol::FetchSMARTDataRequest& request, int) {
        return Action { .reply = FakeHelperDaemon::result(request.id, "{}") };
    });
    auto disabled
        = makeClient(500ms, { false, { "Manual override: TALLOWIN_DISABLE_PRIVILEGED_OPERATIONS" } });
    auto failure = disabled->fetchSMARTDataExplained("sda");
    ASSERT_FALSE(failure);
    EXPECT_EQ(failure.error().kind, SmartctlHelperClient::FetchFailure::Kind::PrivilegedOperationsDisabled);
    EXPECT_TRUE(log->contains(LogLevel::Default,
        "Skipped privileged helper request for BSD name sda because the runtime policy has disabled "
        "privileged "
        "operations."));

    auto services = std::make_shared<tallowin::testing::FakeServiceManager>();
    services->registrationError = tallowin::testing::approvalDeclined();
    auto manager = PrivilegedHelperManager::create({ services, mainQueue, {}, &notifications });
    auto refused = SmartctlHelperClient::create(manager, { socketPath.string(), 500ms });
    EXPECT_FALSE(refused->fetchSMARTData("sda"));
    EXPECT_TRUE(log->contains(
        LogLevel::Error, "Refusing to call helper because installation failed for BSD name sda"));
    EXPECT_EQ(daemon.connectionsAccepted(), 0);
}
