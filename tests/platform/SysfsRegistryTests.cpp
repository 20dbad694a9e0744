#include "platform/SysfsRegistry.h"
#include "support/FakeSysfsTree.h"

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <sys/sysmacros.h>
#include <thread>

namespace tallowin {
namespace {

using testing::FakeSysfsTree;

std::optional<StatisticsSnapshot> countersOf(const Expected<std::optional<RegistryValue>, std::int32_t>& read)
{
    const auto* statistics = read && *read ? (*read)->dictionary() : nullptr;
    return statistics ? statisticsFromDictionary(*statistics) : std::nullopt;
}

TEST(BlockStatParsing, ReadsEveryKernelLayoutAndRejectsMalformedTruncatedAndOverflowingText)
{
    // 17 fields (5.5+), 15 (4.18+) and 11 (older kernels) all start with the same seven.
    for (const char* text : { "   37063     7831  3101010    18901    23301     9111  1643104     5463       "
                              " 0     5508    24785     5316       45   616968      379     1213       40\n",
             "37063 7831 3101010 18901 23301 9111 1643104 5463 0 5508 24785 0 0 0 0\n",
             "37063 7831 3101010 18901 23301 9111 1643104 5463 0 5508 24785" })
        EXPECT_EQ(
            parseBlockStat(text), (StatisticsSnapshot { 3101010ull * 512, 1643104ull * 512, 37063, 23301 }))
            << text;
    for (const char* text : { "", "\n", "1 2 3 4 5 6", "1 2 3x 4 5 6 7", "1 2 -3 4 5 6 7",
             "1 2 99999999999999999999999 4 5 6 7" })
        EXPECT_FALSE(parseBlockStat(text)) << text;
    // A read that filled the whole buffer may have cut the seventh number.
    EXPECT_FALSE(parseBlockStat("1 2 3 4 5 6 7", true));
    EXPECT_TRUE(parseBlockStat("1 2 3 4 5 6 7 8", true));
}

class SysfsRegistryTree : public ::testing::Test {
protected:
    void SetUp() override
    {
        tree.device("pci0000:00", "");
        tree.device("pci0000:00/0000:00:02.0", "bus/pci", "DRIVER=virtio-pci\nPCI_ID=1AF4:1042\n",
            { { "vendor", "0x1af4\n" }, { "device", "0x1042\n" }, { "class", "0x018000\n" },
                { "config", std::string("\x00\x01\x02", 3) }, { "remove", "" } });
        tree.device("pci0000:00/0000:00:02.0/virtio1", "bus/virtio", "DRIVER=virtio_blk\n");
        tree.block(vda, 254, 0);
        tree.block(vda + "/vda1", 254, 1, "1 0 2 0 3 0 4 0 0 0 0 0 0 0 0 0 0\n", true);
    }

    const std::string vda = "pci0000:00/0000:00:02.0/virtio1/block/vda";
    FakeSysfsTree tree;
    SysfsRegistry registry { tree.rootString(), HardwareIdDatabase::empty() };
};

TEST_F(SysfsRegistryTree, MatchesOnlyDeviceNamesAndWalksParentsThatHaveUevent)
{
    auto matches = registry.matchBSDName("vda1");
    ASSERT_TRUE(matches);
    ASSERT_EQ(matches->size(), 1u);
    RegistryObjectRef current = matches->front();
    EXPECT_EQ(registry.className(current), "block");
    EXPECT_EQ(registry.registryEntryID(current), makedev(254, 1));

    // vda1 → vda → virtio1 (the `block` folder has no uevent) → 0000:00:02.0 → pci0000:00.
    std::vector<std::string> chain;
    for (auto parent = registry.parent(current); parent; parent = registry.parent(current)) {
        current = *parent;
        chain.push_back(std::filesystem::path(SysfsRegistry::pathOf(current)).filename().string() + "/"
            + registry.className(current).value_or("-"));
    }
    EXPECT_EQ(registry.parent(current).error(), registryStatusNoParent);
    EXPECT_EQ(chain,
        (std::vector<std::string> { "vda/block", "virtio1/virtio", "0000:00:02.0/pci", "pci0000:00/-" }));
    // Objects without a device number are told apart by their directory.
    EXPECT_TRUE(registry.registryEntryID(current));

    for (const char* name : { "", ".", "..", "../vda", "vda/../vda", "a/b" })
        EXPECT_EQ(registry.matchBSDName(name).error().kind, RegistryMatchingFailure::Kind::requestNotCreated)
            << name;
    EXPECT_TRUE(registry.matchBSDName("sdz")->empty());
}

TEST_F(SysfsRegistryTree, SynthesisesStatisticsFromTheStatFileOnEveryReadAndFromSeveralThreads)
{
    // The first reads come from several threads at once and must share one kept-open descriptor.
    auto disk = registry.matchBSDName("vda")->front();
    const StatisticsSnapshot expected { 800 * 512, 400 * 512, 100, 50 };
    std::atomic<int> successes { 0 };
    std::vector<std::thread> readers;
    for (int i = 0; i < 4; ++i)
        readers.emplace_back([&] {
            for (int k = 0; k < 200; ++k)
                successes += countersOf(registry.property(disk, "Statistics")) == expected ? 1 : 0;
        });
    for (auto& reader : readers)
        reader.join();
    EXPECT_EQ(successes, 800);

    // The kept-open descriptor sees new counters (the kernel rewrites the same file).
    FakeSysfsTree::write(tree.devicePath(vda + "/stat"), "7 0 9 0 11 0 13 0 0 0 0\n");
    auto second = registry.property(disk, "Statistics");
    EXPECT_EQ(countersOf(second), (StatisticsSnapshot { 9 * 512, 13 * 512, 7, 11 }));
    auto all = registry.properties(disk);
    ASSERT_TRUE(all && all->find("Statistics") && second && *second);
    EXPECT_EQ(*all->find("Statistics"), **second);
}

TEST_F(SysfsRegistryTree, BrokenStatFilesAndVanishedDevicesAreErrorsNeverNumbers)
{
    auto stat = [&](const std::string& below) { return tree.devicePath(vda + below + "/stat"); };
    // Each object is matched after the damage, so its first read meets it; root reads
    // everything, so a directory stands in for a stat that cannot be read.
    for (auto [name, damage, error] :
        std::initializer_list<std::tuple<const char*, std::function<void()>, int>> {
            { "vda1", [&] { std::filesystem::remove(stat("/vda1")); }, ENOENT },
            { "vda", [&] { FakeSysfsTree::write(stat(""), "garbage that is not a stat line\n"); }, EIO },
            { "vda",
                [&] {
                    std::filesystem::remove(stat(""));
                    std::filesystem::create_directory(stat(""));
                },
                EISDIR } }) {
        damage();
        auto object = registry.matchBSDName(name)->front();
        EXPECT_EQ(registry.property(object, "Statistics").error(), error) << name;
        auto properties = registry.properties(object);
        ASSERT_TRUE(properties) << name;
        EXPECT_EQ(properties->find("Statistics"), nullptr) << name;
    }
    // Objects that are not block devices simply have no statistics.
    auto partition = registry.matchBSDName("vda1")->front();
    auto virtio = registry.parent(*registry.parent(partition));
    auto none = registry.property(*virtio, "Statistics");
    EXPECT_TRUE(none && !*none);

    std::filesystem::remove_all(tree.devicePath(vda + "/vda1"));
    EXPECT_EQ(registry.properties(partition).error(), ENOENT);
    EXPECT_FALSE(registry.property(partition, "Statistics"));
    EXPECT_TRUE(registry.matchBSDName("vda1")->empty());
}

// Hex identifiers become numbers (a classified drive shows the names they look up); files that
// are binary or act when read are never properties.
TEST_F(SysfsRegistryTree, TranslatesHexIdentifiersAndSkipsBinaryOrActingAttributes)
{
    auto properties
        = registry.properties(*registry.parent(*registry.parent(registry.matchBSDName("vda")->front())));
    ASSERT_TRUE(properties);
    for (const char* key : { "vendor", "config", "remove" })
        EXPECT_EQ(properties->find(key), nullptr) << key;
    const auto* vendor = properties->find("vendor-id");
    EXPECT_TRUE(vendor && vendor->number() && vendor->number()->asUnsigned() == 0x1af4u);
    for (auto [key, text] : { std::pair { "DRIVER", "virtio-pci" }, { "class", "0x018000" } })
        EXPECT_TRUE(properties->find(key) && *properties->find(key) == RegistryValue(text)) << key;
}

}
}
