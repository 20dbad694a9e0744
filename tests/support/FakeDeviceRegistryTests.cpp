#include "support/FakeDeviceRegistry.h"

#include <gtest/gtest.h>

using namespace tallowin;
using tallowin::testing::FakeDeviceRegistry;

TEST(FakeDeviceRegistry, WalksParentsAndCountsHandles)
{
    FakeDeviceRegistry registry;
    auto disk = registry.add("block", {}, nullptr, 0x0fe00000);
    auto partition = registry.add("block", {}, disk);
    registry.setBSDName(partition, "vda1");
    EXPECT_EQ(registry.outstandingReferences(partition), 0);

    auto matched = registry.matchBSDName("vda1");
    ASSERT_TRUE(matched);
    ASSERT_EQ(matched->size(), 1u);
    EXPECT_EQ(registry.outstandingReferences(partition), 1);
    auto parent = registry.parent(matched->front());
    ASSERT_TRUE(parent);
    EXPECT_EQ(*parent, disk);
    EXPECT_EQ(serviceDescription(registry, disk), "block#0xfe00000");
    EXPECT_EQ(registry.parent(disk).error(), registryStatusNoParent);
    EXPECT_TRUE(registry.matchBSDName("sdz")->empty());

    registry.detach(partition);
    EXPECT_TRUE(registry.matchBSDName("vda1")->empty());
    EXPECT_FALSE(registry.properties(partition));
}
