#include "FakeBenchmarkFileSystem.h"
#include "benchmark/BenchmarkEngine.h"
#include "benchmark/BenchmarkHonesty.h"
#include "support/LanguageGuard.h"

#include <gtest/gtest.h>

namespace tallowin {
namespace {

using testing::EngineRun;
using testing::LanguageGuard;
using Phase = BenchmarkPhase;

std::vector<std::string> kindsOf(const PhaseHonesty& phase)
{
    std::vector<std::string> kinds;
    for (const auto& warning : phase.warnings)
        kinds.push_back(warning.kind);
    return kinds;
}

// A successful run: the honesty checks need a result to look at.
BenchmarkEngine::Result resultOf(testing::EngineRun& engine, std::uint64_t payload)
{
    auto result = engine.run(payload);
    EXPECT_TRUE(result);
    return result ? *result : BenchmarkEngine::Result {};
}

TEST(BenchmarkHonesty, DeviceCountersFlagOnlyThePhasesACacheAnswered)
{
    LanguageGuard english { "en_US" };
    const std::uint64_t payload = 3 * 16777216ull;
    const struct {
        const char* name;
        double readShare;
        double writeShare;
        std::vector<std::vector<std::string>> kinds; // random write, random read, sequential write, read
    } cases[] = {
        { "writes merged and amplified by the file system", 1.0, 3.0, { {}, {}, {}, {} } },
        { "just above the threshold", 0.91, 0.91, { {}, {}, {}, {} } },
        { "reads answered by the page cache", 0.1, 1.0, { {}, { "cache" }, {}, { "cache" } } },
        { "writes swallowed by a write-back cache", 1.0, 0.5, { { "cache" }, {}, { "cache" }, {} } },
    };
    for (const auto& scenario : cases) {
        SCOPED_TRACE(scenario.name);
        EngineRun engine;
        engine.readShare = scenario.readShare;
        engine.writeShare = scenario.writeShare;
        auto result = resultOf(engine, payload);
        ASSERT_EQ(result.honesty.phases.size(), 4u);
        for (std::size_t index = 0; index < 4; ++index)
            EXPECT_EQ(kindsOf(result.honesty.phases[index]), scenario.kinds[index]) << "phase " << index;

        const auto& sequentialRead = result.honesty.phases[3];
        EXPECT_EQ(sequentialRead.phase, Phase::sequentialRead);
        EXPECT_EQ(sequentialRead.countedBytes, payload);
        ASSERT_TRUE(sequentialRead.deviceTraffic);
        EXPECT_NEAR(
            double(sequentialRead.deviceTraffic->bytesRead), scenario.readShare * double(payload), 1.0)
            << "the device's bytes of the phase alone, not of the whole run";
        const auto& randomWrite = result.honesty.phases[0];
        EXPECT_GT(randomWrite.countedBytes, 0u);
        EXPECT_EQ(randomWrite.countedBytes % 4096, 0u);
        ASSERT_TRUE(randomWrite.deviceTraffic);
        EXPECT_LT(randomWrite.deviceTraffic->bytesWritten, 4 * randomWrite.countedBytes * scenario.writeShare)
            << "the random region's initial fill belongs to no phase";
    }
}

TEST(BenchmarkHonesty, UnreadableCountersGiveFiguresWithoutDeviceBytesOrCacheWarnings)
{
    EngineRun engine;
    engine.countersReadable = false;
    auto result = resultOf(engine, 16777216);
    ASSERT_EQ(result.honesty.phases.size(), 4u);
    for (const auto& phase : result.honesty.phases) {
        EXPECT_FALSE(phase.deviceTraffic);
        EXPECT_TRUE(phase.warnings.empty());
    }
}

// The ceilings of each connection class: the line rate less its line code (none at USB 2 speed,
// 8b/10b to USB 5 Gb/s and PCIe 5 GT/s, 128b/132b and 128b/130b above).
TEST(BenchmarkHonesty, ThroughputAboveEachLinksCeilingIsImpossible)
{
    using LinkKind = LinkFacts::Kind;
    auto facts = [](LinkKind kind, std::optional<double> usbMegabits, std::optional<double> lineGigabits,
                     std::optional<double> gigatransfers = {}, std::optional<int> width = {}) {
        LinkFacts made;
        made.kind = kind;
        made.usbMegabits = usbMegabits;
        made.lineGigabits = lineGigabits;
        made.pcieGigatransfers = gigatransfers;
        made.pcieWidth = width;
        return made;
    };
    const struct {
        LinkFacts facts;
        const char* link;
        double megabytesPerSecond;
    } cases[] = {
        { facts(LinkKind::usb, 480, {}), "USB 480 Mb/s", 60 },
        { facts(LinkKind::usb, 5000, {}), "USB 5 Gb/s", 500 },
        { facts(LinkKind::usb, 10000, {}), "USB 10 Gb/s", 1212.12 },
        { facts(LinkKind::pcie, {}, {}, 5, 4), "PCIe 5 GT/s x4", 2000 },
        { facts(LinkKind::pcie, {}, {}, 8, 2), "PCIe 8 GT/s x2", 1969.23 },
        { facts(LinkKind::sata, {}, 6), "SATA 6 Gb/s", 600 },
        { facts(LinkKind::sas, {}, 12), "SAS 12 Gb/s", 1200 },
        { facts(LinkKind::thunderbolt, {}, 40), "Thunderbolt 40 Gb/s", 4848.48 },
        // The PCIe tunnel is the narrower bound.
        { facts(LinkKind::thunderbolt, {}, 40, 8, 4), "PCIe 8 GT/s x4", 3938.46 },
    };
    LanguageGuard english { "en_US" };
    for (const auto& link : cases) {
        SCOPED_TRACE(link.link);
        auto ceiling = linkCeiling(link.facts);
        ASSERT_TRUE(ceiling);
        EXPECT_EQ(ceiling->link, link.link);
        EXPECT_NEAR(ceiling->bytesPerSecond / 1e6, link.megabytesPerSecond, 0.01);
        for (auto phase : { Phase::randomRead, Phase::sequentialWrite }) {
            auto above = phaseWarnings(phase, 1, ceiling->bytesPerSecond * 1.01, std::nullopt, ceiling);
            ASSERT_EQ(above.size(), 1u);
            EXPECT_EQ(above[0].kind, "link-ceiling");
            EXPECT_NE(above[0].message.find(link.link), std::string::npos) << above[0].message;
            EXPECT_TRUE(
                phaseWarnings(phase, 1, ceiling->bytesPerSecond * 0.99, std::nullopt, ceiling).empty());
        }
    }
    // Links that say nothing about a bound: no check at all.
    for (const auto& unbounded : { LinkFacts {}, facts(LinkKind::sata, {}, {}), facts(LinkKind::usb, {}, {}),
             facts(LinkKind::pcie, {}, {}, 8) })
        EXPECT_FALSE(linkCeiling(unbounded));
}

TEST(BenchmarkHonesty, EngineChecksEveryPhaseAgainstTheCeilingItWasGiven)
{
    EngineRun engine;
    // The fake file system is memory: far faster than a 12 Mb/s link.
    engine.ceiling = LinkCeiling { "USB 12 Mb/s", 1.5e6 };
    auto result = resultOf(engine, 16777216);
    ASSERT_EQ(result.honesty.linkCeiling, engine.ceiling);
    ASSERT_EQ(result.honesty.phases.size(), 4u);
    for (const auto& phase : result.honesty.phases)
        EXPECT_EQ(kindsOf(phase), std::vector<std::string> { "link-ceiling" }) << rawValue(phase.phase);
}

TEST(BenchmarkHonesty, WarningsSpeakTheUsersLanguage)
{
    LinkCeiling ceiling { "USB 480 Mb/s", 60e6 };
    StatisticsSnapshot cached { 1000, 500000000, 1, 1 };
    const struct {
        const char* language;
        const char* cache;
        const char* impossible;
    } languages[] = {
        { "en_US", "Served from a cache: the device read 1 KB of the 500 MB this phase read (0%)",
            "Impossible: 100 MB/s" },
        { "zh_CN", "由缓存提供：本阶段读取 500 MB，设备实际只读取 1 KB",
            "不可能：100 MB/秒 超过了 USB 480 Mb/s" },
    };
    for (const auto& language : languages) {
        SCOPED_TRACE(language.language);
        LanguageGuard guard { language.language };
        auto warnings = phaseWarnings(Phase::sequentialRead, 500000000, 100e6, cached, ceiling);
        ASSERT_EQ(warnings.size(), 2u);
        EXPECT_NE(warnings[0].message.find(language.cache), std::string::npos) << warnings[0].message;
        EXPECT_NE(warnings[1].message.find(language.impossible), std::string::npos) << warnings[1].message;
    }
}

}
}
