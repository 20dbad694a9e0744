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
