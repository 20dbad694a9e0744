#include "core/AlertMessage.h"
#include "core/Messages.h"
#include "core/MonitorError.h"
#include "core/Uuid.h"
#include "support/LanguageGuard.h"

#include <gtest/gtest.h>
#include <set>

using namespace tallowin;
using tallowin::testing::LanguageGuard;

// One representative per composition, where the parts' order or punctuation differs by language.
TEST(ComposedMessages, EnglishAndChineseVariantsOfMessagesAndMonitorErrors)
{
    auto matching = MonitorError::matchingFailed(static_cast<std::int32_t>(0xE00002BEu)); // signed status
    {
        LanguageGuard english("en_US");
        EXPECT_EQ(Messages::versionLine("1.2", "34"), "Version: 1.2 · Build: 34");
        EXPECT_EQ(
            Messages::chartExportSuccess("/a.csv", "/a.png"), "CSV saved to: /a.csv\nPNG saved to: /a.png");
        EXPECT_EQ(matching.localizedDescription(), "IOKit matching failed with code: -536870210.");
    }
    LanguageGuard chinese("zh_CN");
    EXPECT_EQ(Messages::versionLine("1.2", "34"), "版本：1.2 · 构建：34");
    EXPECT_EQ(Messages::randomPhaseSummary("4 KB", "1000"), "随机测试：块大小 4 KB，共 1000 次操作。");
    EXPECT_EQ(
        Messages::payloadWithAdjustment("1 TB", "10 GB"), "当前测试数据量：1 TB（预计自动调整为 10 GB）");
    EXPECT_EQ(Messages::smartSheetTitle("Data"), "Data 的 SMART 信息");
    EXPECT_EQ(matching.localizedDescription(), "IOKit 匹配失败，错误码：-536870210。");
}

// Temporary test files are named after random UUIDs, so these must not repeat.
TEST(Identity, AlertsWithTheSameTextDifferAndUuidsAreRandomVersionFour)
{
    AlertMessage first("Saved"), second("Saved");
    EXPECT_NE(first, second);
    std::set<Uuid> seen;
    for (int i = 0; i < 1000; ++i) {
        auto uuid = Uuid::random();
        EXPECT_EQ(uuid.bytes[6] >> 4, 4);
        EXPECT_EQ(uuid.bytes[8] & 0xC0, 0x80);
        seen.insert(uuid);
    }
    EXPECT_EQ(seen.size(), 1000u);
    Uuid fixed;
    fixed.bytes = { 0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF, 0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF };
    EXPECT_EQ(fixed.toString(), "01234567-89AB-CDEF-0123-456789ABCDEF");
}
