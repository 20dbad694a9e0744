#include "core/Formatting.h"
#include "support/EnvironmentGuard.h"

#include <cmath>
#include <gtest/gtest.h>

namespace tallowin::Formatting {
namespace {

constexpr auto english = Language::English;
constexpr auto chinese = Language::Chinese;
constexpr ByteUnits throughputUnits = ByteUnit::MB | ByteUnit::GB | ByteUnit::TB;
constexpr ByteUnits sizeUnits = ByteUnit::GB | ByteUnit::TB | ByteUnit::PB;

// Precision by unit, staying within the allowed units, half-to-even rounding, zero spelled out.
TEST(ByteCount, PrecisionUnitsRoundingAndZero)
{
    const struct {
        std::uint64_t bytes;
        ByteUnits units;
        Language language;
        const char* expected;
    } cases[] = {
        { 4096, ByteUnit::KB | ByteUnit::MB, english, "4 KB" },
        { 16777216, throughputUnits, english, "16.8 MB" },
        { 12345678901, sizeUnits, english, "12.35 GB" },
        { 999, ByteUnit::Bytes | ByteUnit::KB, english, "999 bytes" },
        { 1, ByteUnit::Bytes | ByteUnit::KB, english, "1 byte" },
        { 1, ByteUnit::Bytes | ByteUnit::KB, chinese, "1 字节" },
        { 2500000, sizeUnits, english, "0 GB" },
        { 250000000, sizeUnits, english, "0.25 GB" },
        { 1500000000000000000, throughputUnits, english, "1,500,000 TB" },
        { 999960000, throughputUnits, english, "1 GB" },
        { 999960000, ByteUnit::MB, english, "1,000 MB" },
        { 1250000, ByteUnit::MB, english, "1.2 MB" }, // half to even
        { 1250001, ByteUnit::MB, english, "1.3 MB" },
        { UINT64_MAX, sizeUnits, english, "18,446.74 PB" },
        { 0, throughputUnits, english, "Zero KB" },
        { 0, throughputUnits, chinese, "零 KB" },
    };
    for (const auto& c : cases)
        EXPECT_EQ(byteCount(c.bytes, c.units, c.language), c.expected) << c.bytes;
}

TEST(GroupedDecimal, GroupsThousandsRoundsAndClampsWholeBytes)
{
    EXPECT_EQ(wholeBytes(1999.99), 1999u);
    EXPECT_EQ(wholeBytes(-5), 0u);
    EXPECT_EQ(wholeBytes(std::nan("")), 0u);
    EXPECT_EQ(wholeBytes(1e300), 9223372036854775808u);
    EXPECT_EQ(groupedDecimal(1234567.891, 2), "1,234,567.89");
    EXPECT_EQ(groupedDecimal(0.125, 2), "0.12") << "half to even";
    EXPECT_EQ(groupedDecimal(0.135, 2), "0.14");
    EXPECT_EQ(groupedDecimal(999.96, 1), "1,000");
    EXPECT_EQ(groupedDecimal(-1234.5, 0), "-1,234");
    EXPECT_EQ(groupedDecimal(-0.001, 1), "0") << "no minus sign on a rounded zero";
    EXPECT_EQ(groupedInteger(-1234567), "-1,234,567");
}

TEST(Iops, PrecisionShrinksAsTheValueGrows)
{
    EXPECT_EQ(iops(0, english), "No data");
    EXPECT_EQ(iops(-1, chinese), "暂无数据");
    EXPECT_EQ(iops(8.456, english), "8.46");
    EXPECT_EQ(iops(123.45, english), "123.4") << "123.45 is exactly between, even digit kept";
    EXPECT_EQ(iops(123.46, english), "123.5");
    EXPECT_EQ(iops(12345.6, english), "12,346");
}

TEST(MediumDateTime, BothLocalesInTheCurrentTimeZone)
{
    testing::EnvironmentGuard utc("TZ", "UTC");
    WallClockTime morning = 1735787045.75; // 2025-01-02 03:04:05.75 UTC
    EXPECT_EQ(mediumDateTime(morning, english), "Jan 2, 2025, 3:04:05 AM");
    EXPECT_EQ(mediumDateTime(morning, chinese), "2025年1月2日 03:04:05");
    WallClockTime afternoon = 1735787045 + 12 * 3600 - 3 * 3600; // 12:04:05
    EXPECT_EQ(mediumDateTime(afternoon, english), "Jan 2, 2025, 12:04:05 PM");
    testing::EnvironmentGuard shanghai("TZ", "Asia/Shanghai");
    EXPECT_EQ(mediumDateTime(morning, chinese), "2025年1月2日 11:04:05");
}

TEST(Durations, PercentAndHoursMinutesSeconds)
{
    EXPECT_EQ(percent(0.425), "42.5%");
    EXPECT_EQ(percent(1.7), "100%");
    EXPECT_EQ(hoursMinutesSeconds(3725.5), "01:02:06");
    EXPECT_EQ(hoursMinutesSeconds(-3), "00:00:00");
    EXPECT_EQ(hoursMinutesSeconds(360000), "100:00:00");
}

}
}
