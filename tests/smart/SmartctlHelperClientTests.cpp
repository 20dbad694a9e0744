#include "smart/FakeHelperDaemon.h"
#include "smart/FakeServiceManager.h"
#include "smart/SmartctlHelperClient.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace tallowin;
using namespace tallowin::testing;
using namespace std::chrono_literals;
using Protocol = SmartctlHelperProtocol;
using Action = FakeHelperDaemon::Action;
using Kind = SmartctlHelperClient::FetchFailure::Kind;

namespace {

std::string jsonOf(const std::optional<SmartctlExecutionResult>& result)
{
    return result ? std::string(textView(result->jsonData)) : "<nothing>";
}

// Answers every request at once with its device name as the JSON.
Action echo(const Protocol::FetchSMARTDataRequest& request, int)
{
    return { .reply = FakeHelperDaemon::result(request.id, request.bsdName) };
}

class SmartctlHelperClientTest : public ::testing::Test, protected HelperClientSetup {
protected:
    ScopedTestLogSink log;
};

}

TEST_F(SmartctlHelperClientTest, SilentDaemonGivesNothingAfterFiveSecondsAndTheNextFetchReconnects)
{
    FakeHelperDaemon daemon(socketPath, [](const Protocol::FetchSMARTDataRequest& request, int connection) {
        return connection == 0 ? Action {} : echo(request, connection);
    });
    auto client = makeClient();
    auto started = std::chrono::steady_clock::now();
    auto failed = client->fetchSMARTDataExplained("sda");
    EXPECT_GE(std::chrono::steady_clock::now() - started, 4900ms);
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().kind, Kind::TimedOut);
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
    EXPECT_EQ(jsonOf(client->fetchSMARTData("sda")), "current");
    // Once the late reply has been sent to the dropped connection, nothing changes either.
    std::this_thread::sleep_for(700ms);
    EXPECT_EQ(jsonOf(client->fetchSMARTData("sda")), "current");
}

// A refused connection (a socket file nobody listens on) is covered end to end, after a daemon crash.
TEST_F(SmartctlHelperClientTest, MissingSocketGivesNothingAtOnce)
{
    auto missing = makeClient(500ms)->fetchSMARTDataExplained("sda");
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().kind, Kind::NoConnection);
    EXPECT_NE(missing.error().detail.find(socketPath.string()), std::string::npos);
    EXPECT_TRUE(log->contains(LogLevel::Error,
        "Unable to create remote proxy for privileged helper when fetching SMART info for sda"));
}

TEST_F(SmartctlHelperClientTest, TwoThreadsFetchingAtOnceAreBothServed)
{
    FakeHelperDaemon daemon(socketPath, [](const Protocol::FetchSMARTDataRequest& request, int connection) {
        // The first name is answered last, so the replies cross on the connection.
        auto action = echo(request, connection);
        action.delay = request.bsdName == "sda" ? 300ms : 0ms;
        return action;
    });
    auto client = makeClient();
    ASSERT_TRUE(client->fetchSMARTData("warm-up"));
    std::optional<SmartctlExecutionResult> first, second;
    std::thread one([&] { first = client->fetchSMARTData("sda"); });
    std::this_thread::sleep_for(50ms);
    std::thread two([&] { second = client->fetchSMARTData("sdb"); });
    one.join();
    two.join();
    EXPECT_EQ(jsonOf(first), "sda");
    EXPECT_EQ(jsonOf(second), "sdb");
    EXPECT_EQ(daemon.connectionsAccepted(), 1);
}

TEST_F(SmartctlHelperClientTest, BrokenConnectionFailsItsRequestAndTheNextFetchReconnects)
{
    for (const bool undecodable : { true, false }) {
        std::filesystem::remove(socketPath);
        FakeHelperDaemon daemon(
            socketPath, [&](const Protocol::FetchSMARTDataRequest& request, int connection) {
                if (connection > 0)
                    return echo(request, connection);
                if (!undecodable)
                    return Action { .closeConnection = true };
                // A result without "standardError" must not decode, although "jsonData" is there.
                const auto payload = nlohmann::json::to_cbor(nlohmann::json { { "id", request.id },
                    { "result",
                        { { "jsonData", nlohmann::json::binary({ '{', '}' }) },
                            { "commandDescription", "x" } } } });
                return Action { .raw = Bytes(payload.begin(), payload.end()) };
            });
        const std::string logged = undecodable
            ? "Helper reported error for BSD name sda: The helper's reply could not be decoded"
            : "Helper connection interrupted; will retry on next request.";
        // A hang-up leaves the request to its time-out; nothing else may answer it.
        auto client = makeClient(undecodable ? 5000ms : 300ms);
        auto failed = client->fetchSMARTDataExplained("sda");
        ASSERT_FALSE(failed);
        if (undecodable) {
            EXPECT_EQ(failed.error().kind, Kind::HelperReportedError);
        }
        const auto messages = log->messages("SmartctlHelperClient");
        EXPECT_TRUE(std::any_of(messages.begin(), messages.end(), [&](const std::string& message) {
            return message.starts_with(logged);
        })) << ::testing::PrintToString(messages);
        EXPECT_FALSE(client->hasConnection());
        EXPECT_TRUE(client->fetchSMARTData("sda"));
        EXPECT_EQ(daemon.connectionsAccepted(), 2);
    }
    EXPECT_TRUE(
        log->contains(LogLevel::Debug, "Helper connection invalidated; will recreate on next request."));
}

TEST_F(SmartctlHelperClientTest, DisabledOperationsOrAFailedInstallationNeverConnect)
{
    FakeHelperDaemon daemon(socketPath, echo);
    auto disabled
        = makeClient(500ms, { false, { "Manual override: TALLOWIN_DISABLE_PRIVILEGED_OPERATIONS" } });
    auto failure = disabled->fetchSMARTDataExplained("sda");
    ASSERT_FALSE(failure);
    EXPECT_EQ(failure.error().kind, Kind::PrivilegedOperationsDisabled);
    EXPECT_TRUE(log->contains(LogLevel::Default,
        "Skipped privileged helper request for BSD name sda because the runtime policy has disabled "
        "privileged operations."));

    auto services = std::make_shared<FakeServiceManager>();
    services->registrationError = approvalDeclined();
    auto manager = PrivilegedHelperManager::create({ services, mainQueue, {}, &notifications });
    EXPECT_FALSE(
        SmartctlHelperClient::create(manager, { socketPath.string(), 500ms })->fetchSMARTData("sda"));
    EXPECT_TRUE(log->contains(
        LogLevel::Error, "Refusing to call helper because installation failed for BSD name sda"));
    EXPECT_EQ(daemon.connectionsAccepted(), 0);
}
