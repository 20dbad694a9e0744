// Cost of carrying one smartctl -x report across the wire: encoding the reply, framing it and
// decoding it strictly on the other side.
#include "helper_protocol/Frame.h"
#include "helper_protocol/SmartctlHelperProtocol.h"

#include <benchmark/benchmark.h>
#include <filesystem>
#include <fstream>
#include <iterator>

using namespace tallowin;

namespace {

Bytes fixture()
{
    std::ifstream file(
        std::filesystem::path(TALLOWIN_TEST_DATA_DIR) / "smartctl/ata-ssd-samsung-860evo-xall.json",
        std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(file), {});
}

const SmartctlHelperProtocol::Reply& sampleReply()
{
    static const SmartctlHelperProtocol::Reply reply = SmartctlHelperProtocol::ResultReply { 1,
        { fixture(), "/usr/sbin/smartctl -j -x /dev/sda", {}, 0 } };
    return reply;
}

void encodeReply(benchmark::State& state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(encodeFrame(SmartctlHelperProtocol::encode(sampleReply())));
    state.SetBytesProcessed(state.iterations()
        * static_cast<std::int64_t>(
            std::get<SmartctlHelperProtocol::ResultReply>(sampleReply()).result.jsonData.size()));
}
BENCHMARK(encodeReply);

void decodeReply(benchmark::State& state)
{
    const Bytes frame = encodeFrame(SmartctlHelperProtocol::encode(sampleReply()));
    for (auto _ : state) {
        FrameDecoder decoder;
        decoder.feed(frame);
        auto payload = decoder.next();
        benchmark::DoNotOptimize(SmartctlHelperProtocol::decodeReply(**payload));
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(frame.size()));
}
BENCHMARK(decodeReply);

}

BENCHMARK_MAIN();
