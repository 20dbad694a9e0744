// What the application pays per SMART fetch on top of smartctl itself: the manager's cached
// check (a hop to the main queue from the refresh thread), the request, the reply's trip over
// the socket and its strict decoding, against an in-process daemon that answers at once.
#include "smart/FakeHelperDaemon.h"
#include "smart/SmartctlHelperClient.h"

#include <benchmark/benchmark.h>
#include <fstream>
#include <iterator>
#include <sstream>

using namespace tallowin;
using tallowin::testing::FakeHelperDaemon;
using tallowin::testing::SerialMainQueue;

namespace {

std::string fixture()
{
    std::ifstream file(
        std::filesystem::path(TALLOWIN_TEST_DATA_DIR) / "smartctl/ata-ssd-samsung-860evo-xall.json");
    std::ostringstream contents;
    contents << file.rdbuf();
    return contents.str();
}

struct Setup : tallowin::testing::HelperClientSetup {
    FakeHelperDaemon daemon { socketPath,
        [json = fixture()](const SmartctlHelperProtocol::FetchSMARTDataRequest& request, int) {
            return FakeHelperDaemon::Action { .frames = { FakeHelperDaemon::result(request.id, json) } };
        } };
    std::shared_ptr<SmartctlHelperClient> client = makeClient();
};

void fetchRoundTrip(benchmark::State& state)
{
    setLogSink(makeStderrLogSink(LogLevel::Error));
    Setup setup;
    std::size_t bytes = 0;
    for (auto _ : state) {
        auto result = setup.client->fetchSMARTData("sda");
        if (!result) {
            state.SkipWithError("no result");
            break;
        }
        bytes += result->jsonData.size();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}
BENCHMARK(fetchRoundTrip)->Unit(benchmark::kMicrosecond);

void cachedInstallationCheck(benchmark::State& state)
{
    auto mainQueue = std::make_shared<SerialMainQueue>();
    NotificationCenter notifications;
    auto manager = PrivilegedHelperManager::create(
        { std::make_shared<DevelopmentServiceManager>("/tmp/unused.sock"), mainQueue, {}, &notifications });
    manager->ensureHelperInstalledIfNeeded();
    for (auto _ : state)
        benchmark::DoNotOptimize(manager->ensureHelperInstalledIfNeeded());
}
BENCHMARK(cachedInstallationCheck)->Unit(benchmark::kMicrosecond);

}

BENCHMARK_MAIN();
