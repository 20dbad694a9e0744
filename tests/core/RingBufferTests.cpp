#include "core/FixedRingBuffer.h"

#include <gtest/gtest.h>
#include <string>

using namespace tallowin;

TEST(FixedRingBuffer, OverwritesOldestOnceFullAndRemoveAllStartsAgainAtSlotZero)
{
    EXPECT_THROW(FixedRingBuffer<int>(0), std::invalid_argument);
    FixedRingBuffer<std::string> buffer(3);
    EXPECT_TRUE(buffer.orderedElements().empty());
    for (const char* text : { "a", "b", "c" })
        EXPECT_EQ(buffer.append(text), std::nullopt);
    EXPECT_EQ(buffer.head(), 0);
    EXPECT_EQ(buffer.append("d"), std::optional<std::string>("a"));
    EXPECT_EQ(buffer.orderedElements(), (std::vector<std::string> { "b", "c", "d" }));
    EXPECT_EQ(buffer.head(), 1);
    EXPECT_EQ(buffer.count(), 3);
    buffer.append("e");
    ASSERT_EQ(buffer.head(), 2);
    buffer.removeAll();
    EXPECT_EQ(buffer.count(), 0);
    EXPECT_EQ(buffer.head(), 0);
    for (int slot = 0; slot < 3; ++slot)
        EXPECT_FALSE(buffer.storageSlot(slot).has_value());
    buffer.append("f");
    EXPECT_EQ(buffer.storageSlot(0), std::optional<std::string>("f"));
    EXPECT_EQ(buffer.orderedElements(), std::vector<std::string> { "f" });
}
