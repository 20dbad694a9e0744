#include "DaemonTestSupport.h"
#include "daemon/SmartctlHelper.h"

#include <future>

using namespace tallowin;
using namespace tallowin::testing;
using namespace std::chrono_literals;

namespace {

SmartctlCommandRunner::Configuration configurationFor(const TemporaryDirectory& directory)
{
    SmartctlCommandRunner::Configuration configuration;
    configuration.resourceDirectory = directory / "resources";
    configuration.timeout = 20s;
    configuration.environment = [](const char*) { return std::optional<std::string>(); };
    return configuration;
}

Expected<SmartctlExecutionResult, HelperError> fetch(SmartctlHelper& helper, std::string name)
{
    std::promise<Expected<SmartctlExecutionResult, HelperError>> promise;
    auto future = promise.get_future();
    int calls = 0;
    helper.fetchSMARTDataForBSDName(
        std::move(name), [&](Expected<SmartctlExecutionResult, HelperError> outcome) {
            ++calls;
            promise.set_value(std::move(outcome));
        });
    auto outcome = future.get();
    EXPECT_EQ(calls, 1);
    return outcome;
}

}

TEST(SmartctlHelper, HostileNamesNeverReachSmartctl)
{
    ScopedTestLogSink logs;
    TemporaryDirectory directory;
    writeRecordingSmartctl(directory / "resources/smartctl", "{}", 0);
    SmartctlHelper helper(configurationFor(directory));
    for (const std::string& name : std::vector<std::string> {
             "../etc/passwd", "sda/../../x", "", "-h", std::string(300, 'a'), std::string("sd\0a", 4) }) {
        auto outcome = fetch(helper, name);
        ASSERT_FALSE(outcome.has_value());
        EXPECT_EQ(outcome.error(), HelperError::invalidDeviceName());
    }
    EXPECT_FALSE(std::filesystem::exists(directory / "resources/calls"));
    EXPECT_TRUE(logs->contains(LogLevel::Error, "Propagating existing helper-domain NSError with code 5"));
    // The recorder works: a plain name does reach it.
    EXPECT_TRUE(fetch(helper, "sda").has_value());
    EXPECT_EQ(readText(directory / "resources/calls"), "-j -x /dev/sda\n");
}

TEST(SmartctlHelper, FailuresAreMappedToTheHelperDomain)
{
    ScopedTestLogSink logs;
    TemporaryDirectory directory;
    SmartctlHelper helper(configurationFor(directory));
    auto missing = fetch(helper, "sda");
    ASSERT_FALSE(missing.has_value());
    EXPECT_EQ(missing.error().domain, "com.tallowin.ProbeWarden.error");
    EXPECT_EQ(missing.error().code, 1);
    EXPECT_TRUE(logs->contains(LogLevel::Error,
        "Mapping SmartctlCommandRunnerError (smartctlNotFound) to NSError for XPC transport."));

    const HelperError foreign { "NSCocoaErrorDomain", 4097, "connection lost" };
    EXPECT_EQ(helper.mapErrorForTransport(foreign),
        (HelperError { "com.tallowin.ProbeWarden.error", 999, "connection lost" }));
    EXPECT_TRUE(logs->contains(LogLevel::Error,
        "Wrapping unknown error domain=NSCocoaErrorDomain code=4097 into helper-domain NSError."));
    const HelperError own { "com.tallowin.ProbeWarden.error", 42, "own" };
    EXPECT_EQ(helper.mapErrorForTransport(own), own);
    EXPECT_EQ(helper.helperVersion(), TALLOWIN_VERSION);
}

TEST(SmartctlHelper, NoMoreThanTheConfiguredNumberOfRunsAtOnce)
{
    TemporaryDirectory directory;
    const auto log = directory / "runs";
    writeScript(directory / "resources/smartctl",
        "echo start >> '" + log.string() + "'; sleep 0.2; echo end >> '" + log.string() + "'; printf '{}'");
    SmartctlHelper helper(configurationFor(directory), 2);
    std::vector<std::future<bool>> replies;
    std::vector<std::shared_ptr<std::promise<bool>>> promises;
    for (int i = 0; i < 6; ++i) {
        auto promise = std::make_shared<std::promise<bool>>();
        replies.push_back(promise->get_future());
        helper.fetchSMARTDataForBSDName(
            "sda", [promise](auto outcome) { promise->set_value(outcome.has_value()); });
    }
    for (auto& reply : replies)
        EXPECT_TRUE(reply.get());
    int running = 0;
    int most = 0;
    std::istringstream lines(readText(log));
    for (std::string line; std::getline(lines, line);) {
        running += line == "start" ? 1 : -1;
        most = std::max(most, running);
    }
    EXPECT_EQ(running, 0);
    EXPECT_EQ(most, 2);
}
