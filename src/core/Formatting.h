#pragma once

#include "core/Language.h"
#include "core/Records.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace tallowin::Formatting {

// Units of a byte count in decimal multiples (1 KB = 1000 bytes), as a set of flags so that a
// caller names exactly the units a figure may be shown in.
enum class ByteUnit : unsigned {
    Bytes = 1u << 0,
    KB = 1u << 1,
    MB = 1u << 2,
    GB = 1u << 3,
    TB = 1u << 4,
    PB = 1u << 5,
};

struct ByteUnits {
    unsigned mask { 0 };
    constexpr ByteUnits() = default;
    constexpr ByteUnits(ByteUnit unit)
        : mask(static_cast<unsigned>(unit))
    { }
    constexpr bool contains(ByteUnit unit) const { return (mask & static_cast<unsigned>(unit)) != 0; }
    friend constexpr ByteUnits operator|(ByteUnits a, ByteUnits b)
    {
        ByteUnits units;
        units.mask = a.mask | b.mask;
        return units;
    }
    friend constexpr bool operator==(ByteUnits, ByteUnits) = default;
};

constexpr ByteUnits operator|(ByteUnit a, ByteUnit b)
{
    return ByteUnits(a) | ByteUnits(b);
}

// A byte count with its unit ("16.8 MB", "12.35 GB", "4 KB", "1,500 TB"). The unit is the largest
// allowed one the count reaches, or the smallest allowed one when it reaches none. The precision
// adapts to the unit: no fraction digits for bytes and KB, one for MB, two from GB up; trailing
// zeros are dropped and thousands are grouped. Zero is spelled out ("Zero KB" / "零 KB").
std::string byteCount(std::uint64_t bytes, ByteUnits allowed, Language);

// A throughput in bytes per second: truncated toward zero to whole bytes (negative and
// non-finite values count as 0, huge ones are capped) and shown as a byte count.
std::uint64_t wholeBytes(double bytes);

// A decimal number with thousands grouped by "," and at most `maximumFractionDigits` fraction
// digits, rounded half to even on the number's shortest decimal form; trailing zeros dropped.
// The en_US_POSIX and zh_CN configurations write numbers the same way.
std::string groupedDecimal(double value, int maximumFractionDigits);
std::string groupedInteger(std::int64_t value);

// Operations per second: "No data" / "暂无数据" for a value not above 0; otherwise grouped with
// at most 2 fraction digits below 10, at most 1 below 1000 and none from 1000 up.
std::string iops(double value, Language);

// The medium date and time styles in the system's current time zone:
// en_US_POSIX "Jan 2, 2025, 3:04:05 AM", zh_CN "2025年1月2日 03:04:05".
std::string mediumDateTime(WallClockTime, Language);

// A fraction (clamped to 0 … 1) as a percentage with at most one fraction digit: "42.5%".
std::string percent(double fraction);

// Seconds, rounded, as "%02d:%02d:%02d" of hours, minutes and seconds; hours are not limited to
// two digits and negative durations count as 0.
std::string hoursMinutesSeconds(double seconds);

// The shortest decimal text that reads back as the same double, always with a decimal point
// ("50.0", "983.3333333333334").
std::string shortestDouble(double value);

// The text without leading and trailing white space.
std::string_view trimmed(std::string_view text);

}
