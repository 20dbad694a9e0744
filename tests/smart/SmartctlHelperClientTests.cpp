// The helper client against a scripted fake daemon, and against the real daemon program (in
// standalone mode, with a fake smartctl).
#include "smart/FakeHelperDaemon.h"
#include "support/FakeSmartctl.h"
#include "support/ProbeWardenProcess.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace tallowin;
using namespace tallowin::testing;
using namespace std::chrono_literals;
using Protocol = SmartctlHelperProtocol;
using Request = Protocol::FetchSMARTDataRequest;
using Kind = SmartctlHelperClient::FetchFailure::Kind;

namespace {

using Action = FakeHelperDaemon::Action;

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

TEST_F(SmartctlHelperClientTest, LateAndStrayRepliesNeverAnswerAnotherRequest)
{
    std::atomic<Protocol::RequestId> firstId { 0 };
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
    std::optional<Request> held;
    FakeHelperDaemon daemon(socketPath, [&](const Request& request, int connection) {
        if (request.bsdName == "warm-up")
            return echo(request, connection);
        if (!held) { // the first is answered after the second: the replies cross
            held = request;
            return Action {};
        }
        auto action = echo(request, connection);
        action.frames.push_back(echo(*held, connection).frames.front());
        return action;
    });
    auto client = makeClient();
    ASSERT_TRUE(client->fetchSMARTData("warm-up"));
    std::optional<SmartctlExecutionResult> first, second;
    std::thread one([&] { first = client->fetchSMARTData("sda"); });
    std::thread two([&] { second = client->fetchSMARTData("sdb"); });
    one.join();
    two.join();
    EXPECT_EQ(jsonOf(first), "sda");
    EXPECT_EQ(jsonOf(second), "sdb");
    EXPECT_EQ(daemon.connectionsAccepted(), 1);
}

// The first connection is silent, hangs up or answers with a result that cannot be decoded: the
// request fails (a hang-up is left to its time-out; nothing else may answer it), and the next
// fetch reconnects.
TEST_F(SmartctlHelperClientTest, SilentOrBrokenConnectionFailsItsRequestAndTheNextFetchReconnects)
{
    // A result without "standardError" must not decode, although "jsonData" is there.
    const auto undecodable = [](Protocol::RequestId id) {
        return nlohmann::json::to_cbor(nlohmann::json { { "id", id },
            { "result",
                { { "jsonData", nlohmann::json::binary({ '{', '}' }) }, { "commandDescription", "x" } } } });
    };
    for (const auto& [first, kind] : std::vector<std::pair<std::string, Kind>> { { "silent", Kind::TimedOut },
             { "hang-up", Kind::TimedOut }, { "undecodable", Kind::HelperReportedError } }) {
        SCOPED_TRACE(first);
        std::filesystem::remove(socketPath);
        FakeHelperDaemon daemon(socketPath, [&](const Request& request, int connection) {
            if (connection > 0)
                return echo(request, connection);
            if (first == "undecodable")
                return Action { .frames = { undecodable(request.id) } };
            return Action { .closeConnection = first == "hang-up" };
        });
        // Where nothing at all comes back, the application's own five seconds apply.
        auto client = makeClient(first == "hang-up" ? 300ms : SmartctlHelperClient::defaultReplyTimeout);
        const auto started = std::chrono::steady_clock::now();
        auto failed = client->fetchSMARTDataExplained("sda");
        ASSERT_FALSE(failed);
        EXPECT_EQ(failed.error().kind, kind);
        if (first == "silent") {
            EXPECT_GE(std::chrono::steady_clock::now() - started, 4900ms);
        }
        EXPECT_FALSE(client->hasConnection());
        EXPECT_TRUE(client->fetchSMARTData("sda"));
        EXPECT_EQ(daemon.connectionsAccepted(), 2);
    }
}

// Through the real daemon: smartctl's output arrives byte for byte with its status, and a helper
// error gives nothing but leaves the connection in use.
TEST_F(SmartctlHelperClientTest, RealDaemonPassesSmartctlsOutputOnOrItsError)
{
    const auto report = std::filesystem::path(TALLOWIN_TEST_DATA_DIR) / "smartctl/nvme-samsung-970evo-xall.json";
    writeScript(directory / "resources/smartctl",
        "case \"$*\" in *sda*) exit 2;; esac\ncat '" + report.string() + "'\necho 'warning' >&2\nexit 4");
    ProbeWardenProcess daemon(directory.path());
    auto client = makeClient();
    auto result = client->fetchSMARTData("nvme0n1");
    ASSERT_TRUE(result);
    EXPECT_EQ(textView(result->jsonData), readText(report));
    EXPECT_EQ(textView(result->standardError), "warning\n");
    EXPECT_EQ(result->terminationStatus, 4);
    EXPECT_TRUE(result->commandDescription.ends_with("smartctl -j -x /dev/nvme0n1")) << result->commandDescription;

    auto failed = client->fetchSMARTDataExplained("sda");
    ASSERT_FALSE(failed);
    ASSERT_TRUE(failed.error().helperError);
    EXPECT_TRUE(failed.error().helperError->is(HelperError::Code::emptyOutput));
    EXPECT_TRUE(client->hasConnection());
    EXPECT_FALSE(client->fetchSMARTData("sda"));
    EXPECT_TRUE(client->fetchSMARTData("nvme0n1"));
}
