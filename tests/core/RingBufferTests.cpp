#include "core/FixedRingBuffer.h"

#include <gtest/gtest.h>
#include <string>

using namespace tallowin;

TEST(FixedRingBuffer, OverwritesOldestOnceFull)
{
    EXPECT_THROW(FixedRingBuffer<int>(0), std::invalid_argument);
    FixedRingBuffer<std::string> buffer(3);
    EXPECT_TRUE(buffer.orderedElements().empty());
    EXPECT_EQ(buffer.append("a"), std::nullopt);
    EXPECT_EQ(buffer.append("b"), std::nullopt);
    EXPECT_EQ(buffer.append("c"), std::nullopt);
    EXPECT_EQ(buffer.head(), 0);
    EXPECT_EQ(buffer.append("d"), std::optional<std::string>("a"));
    EXPECT_EQ(buffer.orderedElements(), (std::vector<std::string> { "b", "c", "d" }));
    EXPECT_EQ(buffer.head(), 1);
    EXPECT_EQ(buffer.count(), 3);
}

TEST(FixedRingBuffer, RemoveAllOnWrappedBufferStartsAgainAtSlotZero)
{
    FixedRingBuffer<int> buffer(3);
    for (int i = 0; i < 5; ++i)
        buffer.append(i);
    ASSERT_EQ(buffer.head(), 2);
    buffer.removeAll();
    EXPECT_EQ(buffer.count(), 0);
    EXPECT_EQ(buffer.head(), 0);
    for (int slot = 0; slot < 3; ++slot)
        EXPECT_FALSE(buffer.storageSlot(slot).has_value());
    buffer.append(42);
    EXPECT_EQ(buffer.storageSlot(0), std::optional<int>(42));
    EXPECT_EQ(buffer.orderedElements(), std::vector<int> { 42 });
}
