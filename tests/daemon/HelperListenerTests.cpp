#include "daemon/HelperListener.h"
#include "daemon/ListeningSocket.h"
#include "support/TemporaryDirectory.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <thread>

using namespace tallowin;
using namespace tallowin::testing;
using namespace std::chrono_literals;

// Refusals beyond a user's share are logged once per interval with a count, so the journal's
// rate limit does not drop the daemon's real records; the accepted connection is logged apart.
TEST(HelperListener, RefusalsAreLoggedAtABoundedRate)
{
    ScopedTestLogSink logs;
    TemporaryDirectory directory;
    const Logger logger("com.tallowin.ProbeWarden", "HelperMain");
    auto socket = ListeningSocket::bindStandalone(directory / "probewarden.sock", logger);
    ASSERT_TRUE(socket.has_value()) << socket.error();
    SmartctlCommandRunner::Configuration configuration;
    configuration.environment = [](const char*) { return std::nullopt; };
    SmartctlHelper helper(configuration, 1);
    HelperListener::Limits limits;
    limits.maxConnectionsPerUser = 1;
    HelperListener listener(socket->takeDescriptor(), helper, limits);
    std::thread loop([&] { listener.run(); });

    const auto path = (directory / "probewarden.sock").string();
    auto kept = connectUnixSocket(path);
    ASSERT_TRUE(kept.has_value());
    int refused = 0;
    for (int attempt = 0; attempt < 20; ++attempt) {
        auto extra = connectUnixSocket(path);
        ASSERT_TRUE(extra.has_value());
        pollfd entry { extra->get(), POLLRDHUP, 0 };
        if (::poll(&entry, 1, 5000) > 0 && (entry.revents & (POLLHUP | POLLRDHUP)))
            ++refused;
    }
    listener.stop();
    loop.join();
    helper.shutdown();

    EXPECT_EQ(refused, 20);
    int refusalLines = 0, incomingLines = 0;
    for (const auto& message : logs->messages("SmartctlHelper")) {
        refusalLines += message.rfind("Refused helper connection", 0) == 0;
        incomingLines += message.rfind("Incoming XPC connection received", 0) == 0;
    }
    EXPECT_EQ(refusalLines, 1);
    EXPECT_EQ(incomingLines, 1);
}
