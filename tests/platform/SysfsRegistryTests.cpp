#include "platform/SysfsRegistry.h"
#include "support/FakeSysfsTree.h"

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/sysmacros.h>
#include <thread>

namespace tallowin {
namespace {

using testing::FakeSysfsTree;

std::optional<std::uint64_t> numberOf(const RegistryDictionary& dictionary, std::string_view key)
{
    const auto* value = dictionary.find(key);
    return value && value->number() ? std::optional(value->number()->asUnsigned()) : std::nullopt;
}

// The four counters of a "Statistics" read; nothing unless it is a dictionary with all four.
std::optional<StatisticsSnapshot> countersOf(const Expected<std::optional<RegistryValue>, std::int32_t>& read)
{
    const auto* statistics = read && *read ? (*read)->dictionary() : nullptr;
    if (!statistics
        || statistics->keys()
            != std::vector<std::string> {
                "Bytes (Read)", "Bytes (Write)", "Operations (Read)", "Operations (Write)" })
        return std::nullopt;
    return StatisticsSnapshot { *numberOf(*statistics, "Bytes (Read)"),
        *numberOf(*statistics, "Bytes (Write)"), *numberOf(*statistics, "Operations (Read)"),
        *numberOf(*statistics, "Operations (Write)") };
}

TEST(BlockStatParsing, ReadsEveryKernelLayoutAndRejectsMalformedTruncatedAndOverflowingText)
{
    // 17 fields (5.5+), 15 (4.18+) and 11 (older kernels) all start with the same seven.
    for (const char* text : { "   37063     7831  3101010    18901    23301     9111  1643104     5463       "
                              " 0     5508    24785     5316       45   616968      379     1213       40\n",
             "37063 7831 3101010 18901 23301 9111 1643104 5463 0 5508 24785 0 0 0 0\n",
             "37063 7831 3101010 18901 23301 9111 1643104 5463 0 5508 24785" }) {
        EXPECT_EQ(
            parseBlockStat(text), (StatisticsSnapshot { 3101010ull * 512, 1643104ull * 512, 37063, 23301 }))
            << text;
    }
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
        tree.device("pci0000:00/0000:00:02.0/virtio1", "bus/virtio", "DRIVER=virtio_blk\n",
            { { "vendor", "0x1af4\n" }, { "device", "0x0002\n" } });
        tree.folder("pci0000:00/0000:00:02.0/virtio1/block");
        tree.block("pci0000:00/0000:00:02.0/virtio1/block/vda", 254, 0);
        tree.block("pci0000:00/0000:00:02.0/virtio1/block/vda/vda1", 254, 1,
            "1 0 2 0 3 0 4 0 0 0 0 0 0 0 0 0 0\n", true);
    }

    FakeSysfsTree tree;
    SysfsRegistry registry { tree.rootString(), HardwareIdDatabase::empty() };
};

TEST_F(SysfsRegistryTree, MatchesBlockNamesAndWalksParentsThatHaveUevent)
{
    auto matches = registry.matchBSDName("vda1");
    ASSERT_TRUE(matches);
    ASSERT_EQ(matches->size(), 1u);
    auto partition = matches->front();
    EXPECT_EQ(registry.className(partition), "block");
    EXPECT_EQ(registry.registryEntryID(partition), makedev(254, 1));

    // vda1 → vda → virtio1 (the `block` folder has no uevent) → 0000:00:02.0 → pci0000:00.
    std::vector<std::string> chain;
    RegistryObjectRef current = partition;
    while (true) {
        auto parent = registry.parent(current);
        if (!parent) {
            EXPECT_EQ(parent.error(), registryStatusNoParent);
            break;
        }
        current = *parent;
        chain.push_back(std::filesystem::path(SysfsRegistry::pathOf(current)).filename().string() + "/"
            + registry.className(current).value_or("-"));
    }
    EXPECT_EQ(chain,
        (std::vector<std::string> { "vda/block", "virtio1/virtio", "0000:00:02.0/pci", "pci0000:00/-" }));
    // Objects without a device number are told apart by their directory.
    EXPECT_TRUE(registry.registryEntryID(current));
}

TEST_F(SysfsRegistryTree, RefusesNamesThatAreNotDeviceNamesAndFindsNothingForUnknownOnes)
{
    for (const char* name : { "", ".", "..", "../vda", "vda/../vda", "a/b" }) {
        auto matches = registry.matchBSDName(name);
        ASSERT_FALSE(matches) << name;
        EXPECT_EQ(matches.error().kind, RegistryMatchingFailure::Kind::requestNotCreated);
    }
    auto unknown = registry.matchBSDName("sdz");
    ASSERT_TRUE(unknown);
    EXPECT_TRUE(unknown->empty());
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
    FakeSysfsTree::write(
        tree.devicePath("pci0000:00/0000:00:02.0/virtio1/block/vda/stat"), "7 0 9 0 11 0 13 0 0 0 0\n");
    auto second = registry.property(disk, "Statistics");
    EXPECT_EQ(countersOf(second), (StatisticsSnapshot { 9 * 512, 13 * 512, 7, 11 }));
    auto all = registry.properties(disk);
    ASSERT_TRUE(all && all->find("Statistics") && second && *second);
    EXPECT_EQ(*all->find("Statistics"), **second);
}

TEST_F(SysfsRegistryTree, ReportsMissingAndMalformedStatFilesAsErrorsNeverAsNumbers)
{
    auto disk = registry.matchBSDName("vda")->front();
    auto statFile = tree.devicePath("pci0000:00/0000:00:02.0/virtio1/block/vda/stat");

    FakeSysfsTree::write(statFile, "garbage that is not a stat line\n");
    auto malformed = registry.property(disk, "Statistics");
    ASSERT_FALSE(malformed);
    EXPECT_EQ(malformed.error(), EIO);
    auto properties = registry.properties(disk);
    ASSERT_TRUE(properties);
    EXPECT_EQ(properties->find("Statistics"), nullptr);

    // A device whose stat file is gone before the first read.
    auto partition = registry.matchBSDName("vda1")->front();
    std::filesystem::remove(tree.devicePath("pci0000:00/0000:00:02.0/virtio1/block/vda/vda1/stat"));
    auto gone = registry.property(partition, "Statistics");
    ASSERT_FALSE(gone);
    EXPECT_EQ(gone.error(), ENOENT);
    EXPECT_TRUE(registry.properties(partition));

    // A stat that cannot be read (root reads everything, so a directory stands in for it).
    std::filesystem::remove(statFile);
    std::filesystem::create_directory(statFile);
    auto freshDisk = registry.matchBSDName("vda")->front();
    auto unreadable = registry.property(freshDisk, "Statistics");
    ASSERT_FALSE(unreadable);
    EXPECT_EQ(unreadable.error(), EISDIR);
    EXPECT_TRUE(registry.properties(freshDisk));

    // Objects that are not block devices simply have no statistics.
    auto virtio = registry.parent(*registry.parent(partition));
    auto none = registry.property(*virtio, "Statistics");
    ASSERT_TRUE(none);
    EXPECT_FALSE(*none);
}

TEST_F(SysfsRegistryTree, DeviceDirectoryThatDisappearsFailsPropertyReads)
{
    auto partition = registry.matchBSDName("vda1")->front();
    std::filesystem::remove_all(tree.devicePath("pci0000:00/0000:00:02.0/virtio1/block/vda/vda1"));
    auto properties = registry.properties(partition);
    ASSERT_FALSE(properties);
    EXPECT_EQ(properties.error(), ENOENT);
    EXPECT_FALSE(registry.property(partition, "Statistics"));
    EXPECT_TRUE(registry.matchBSDName("vda1")->empty());
}

TEST_F(SysfsRegistryTree, TranslatesHexIdentifiersAndSkipsBinaryOrActingAttributes)
{
    auto disk = registry.matchBSDName("vda")->front();
    auto pci = *registry.parent(*registry.parent(disk));
    auto properties = registry.properties(pci);
    ASSERT_TRUE(properties);
    // "0x1af4" must never be taken for a vendor name.
    EXPECT_EQ(properties->find("vendor"), nullptr);
    EXPECT_EQ(numberOf(*properties, "vendor-id"), 0x1af4u);
    EXPECT_EQ(numberOf(*properties, "device-id"), 0x1042u);
    EXPECT_EQ(properties->find("config"), nullptr);
    EXPECT_EQ(properties->find("remove"), nullptr);
    for (auto [key, text] : { std::pair { "DRIVER", "virtio-pci" }, { "class", "0x018000" } })
        EXPECT_TRUE(properties->find(key) && *properties->find(key) == RegistryValue(text)) << key;
}

}
}
