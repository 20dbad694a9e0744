#include "smart/FakeHelperDaemon.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace tallowin;
using namespace tallowin::testing;
using namespace std::chrono_literals;
using Request = SmartctlHelperProtocol::FetchSMARTDataRequest;
using Action = FakeHelperDaemon::Action;
using Kind = SmartctlHelperClient::FetchFailure::Kind;

namespace {

std::string jsonOf(const std::optional<SmartctlExecutionResult>& result)
{
    return result ? std::string(textView(result->jsonData)) : "<nothing>";
}

// Answers every request at once with its device name as the JSON.
Action echo(const Request& request, int)
{
    return { .frames = { FakeHelperDaemon::result(request.id, request.bsdName) } };
}

class SmartctlHelperClientTest : public ::testing::Test, protected HelperClientSetup { };

}

TEST_F(SmartctlHelperClientTest, SilentDaemonGivesNothingAfterFiveSecondsAndTheNextFetchReconnects)
{
    FakeHelperDaemon daemon(socketPath, [](const Request& request, int connection) {
        return connection == 0 ? Action {} : echo(request, connection);
    });
    auto client = makeClient();
    auto started = std::chrono::steady_clock::now();
    auto failed = client->fetchSMARTDataExplained("sda");
    EXPECT_GE(std::chrono::steady_clock::now() - started, 4900ms);
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().kind, Kind::TimedOut);
    EXPECT_FALSE(client->hasConnection());
    EXPECT_TRUE(client->fetchSMARTData("sda"));
    EXPECT_EQ(daemon.connectionsAccepted(), 2);
}

TEST_F(SmartctlHelperClientTest, LateAndStrayRepliesNeverAnswerAnotherRequest)
{
    std::atomic<SmartctlHelperProtocol::RequestId> firstId { 0 };
    FakeHelperDaemon daemon(socketPath, [&](const Request& request, int connection) {
        if (connection == 0) {
            firstId = request.id;
            return Action { .delay = 800ms, .frames = { FakeHelperDaemon::result(request.id, "late") } };
        }
        // The old request's answer comes first on the new connection, then the right one.
        return Action { .frames = { FakeHelperDaemon::result(firstId.load(), "stray"),
                            FakeHelperDaemon::result(request.id, "current") } };
    });
    auto client = makeClient(300ms);
    EXPECT_FALSE(client->fetchSMARTData("sda"));
    EXPECT_EQ(jsonOf(client->fetchSMARTData("sda")), "current");
    std::this_thread::sleep_for(700ms); // the late reply reaches the dropped connection meanwhile
    EXPECT_EQ(jsonOf(client->fetchSMARTData("sda")), "current");
}

TEST_F(SmartctlHelperClientTest, MissingSocketGivesNothingAtOnce)
{
    auto missing = makeClient(500ms)->fetchSMARTDataExplained("sda");
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().kind, Kind::NoConnection);
    EXPECT_NE(missing.error().detail.find(socketPath.string()), std::string::npos);
}

TEST_F(SmartctlHelperClientTest, TwoThreadsFetchingAtOnceAreBothServed)
{
    FakeHelperDaemon daemon(socketPath, [](const Request& request, int connection) {
        auto action = echo(request, connection); // the first name is answered last: replies cross
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
        FakeHelperDaemon daemon(socketPath, [&](const Request& request, int connection) {
            if (connection > 0)
                return echo(request, connection);
            if (!undecodable)
                return Action { .closeConnection = true };
            // A result without "standardError" must not decode, although "jsonData" is there.
            return Action { .frames = { nlohmann::json::to_cbor(nlohmann::json { { "id", request.id },
                                { "result",
                                    { { "jsonData", nlohmann::json::binary({ '{', '}' }) },
                                        { "commandDescription", "x" } } } }) } };
        });
        // A hang-up leaves the request to its time-out; nothing else may answer it.
        auto client = makeClient(undecodable ? 5000ms : 300ms);
        auto failed = client->fetchSMARTDataExplained("sda");
        ASSERT_FALSE(failed);
        EXPECT_EQ(failed.error().kind, undecodable ? Kind::HelperReportedError : Kind::TimedOut);
        EXPECT_FALSE(client->hasConnection());
        EXPECT_TRUE(client->fetchSMARTData("sda"));
        EXPECT_EQ(daemon.connectionsAccepted(), 2);
    }
}
