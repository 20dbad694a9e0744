#include "core/Formatting.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <ctime>
#include <fmt/format.h>
#include <limits>

namespace tallowin::Formatting {

namespace {

struct UnitInfo {
    ByteUnit unit;
    std::uint64_t factor;
    int fractionDigits;
    const char* name;
};

constexpr std::array<UnitInfo, 6> units { {
    { ByteUnit::Bytes, 1, 0, "bytes" },
    { ByteUnit::KB, 1'000, 0, "KB" },
    { ByteUnit::MB, 1'000'000, 1, "MB" },
    { ByteUnit::GB, 1'000'000'000, 2, "GB" },
    { ByteUnit::TB, 1'000'000'000'000, 2, "TB" },
    { ByteUnit::PB, 1'000'000'000'000'000, 2, "PB" },
} };

std::string groupDigits(std::string_view digits)
{
    std::string grouped;
    grouped.reserve(digits.size() + digits.size() / 3);
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0)
            grouped.push_back(',');
        grouped.push_back(digits[i]);
    }
    return grouped;
}

// Joins an integer part and fraction digits, dropping the fraction's trailing zeros.
std::string joinNumber(std::string_view integerDigits, std::string fraction)
{
    while (!fraction.empty() && fraction.back() == '0')
        fraction.pop_back();
    std::string text = groupDigits(integerDigits);
    if (!fraction.empty())
        text += "." + fraction;
    return text;
}

__extension__ typedef unsigned __int128 Wide;

std::string wideToString(Wide value)
{
    if (value == 0)
        return "0";
    std::string digits;
    while (value > 0) {
        digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(value % 10)));
        value /= 10;
    }
    return digits;
}

Wide power10(int exponent)
{
    Wide value = 1;
    for (int i = 0; i < exponent; ++i)
        value *= 10;
    return value;
}

// bytes × 10^digits ÷ factor, rounded half to even.
Wide scaledRounded(std::uint64_t bytes, std::uint64_t factor, int digits)
{
    Wide numerator = Wide(bytes) * power10(digits);
    Wide quotient = numerator / factor;
    Wide remainder = numerator % factor;
    Wide twice = remainder * 2;
    if (twice > factor || (twice == factor && quotient % 2 == 1))
        ++quotient;
    return quotient;
}

}

std::string byteCount(std::uint64_t bytes, ByteUnits allowed, Language language)
{
    bool english = language == Language::English;
    if (bytes == 0)
        return english ? "Zero KB" : "零 KB";
    if (allowed.mask == 0)
        allowed = ByteUnit::Bytes | ByteUnit::KB | ByteUnit::MB | ByteUnit::GB | ByteUnit::TB | ByteUnit::PB;

    // The largest allowed unit the count reaches, else the smallest allowed one.
    std::size_t chosen = units.size();
    std::size_t smallest = units.size();
    for (std::size_t i = 0; i < units.size(); ++i) {
        if (!allowed.contains(units[i].unit))
            continue;
        if (smallest == units.size())
            smallest = i;
        if (bytes >= units[i].factor)
            chosen = i;
    }
    if (chosen == units.size())
        chosen = smallest;

    Wide scaled = scaledRounded(bytes, units[chosen].factor, units[chosen].fractionDigits);
    // Rounding can reach 1000 of a unit ("1,000 MB"); the next allowed unit reads better then.
    if (scaled >= 1000 * power10(units[chosen].fractionDigits)) {
        for (std::size_t next = chosen + 1; next < units.size(); ++next) {
            if (allowed.contains(units[next].unit)) {
                chosen = next;
                scaled = scaledRounded(bytes, units[chosen].factor, units[chosen].fractionDigits);
                break;
            }
        }
    }

    const auto& unit = units[chosen];
    Wide divisor = power10(unit.fractionDigits);
    std::string integerDigits = wideToString(scaled / divisor);
    std::string fraction;
    if (unit.fractionDigits > 0) {
        fraction = wideToString(scaled % divisor);
        fraction.insert(
            fraction.begin(), static_cast<std::size_t>(unit.fractionDigits) - fraction.size(), '0');
    }
    std::string number = joinNumber(integerDigits, std::move(fraction));
    std::string name = unit.name;
    if (unit.unit == ByteUnit::Bytes)
        name = english ? (bytes == 1 ? "byte" : "bytes") : "字节";
    return number + " " + name;
}

std::uint64_t wholeBytes(double bytes)
{
    if (!std::isfinite(bytes) || bytes <= 0)
        return 0;
    // 2^63 keeps the conversion exact and defined.
    constexpr double cap = 9223372036854775808.0;
    if (bytes >= cap)
        return static_cast<std::uint64_t>(cap);
    return static_cast<std::uint64_t>(bytes);
}

std::string groupedDecimal(double value, int maximumFractionDigits)
{
    if (!std::isfinite(value))
        return fmt::format("{:.0f}", value);
    bool negative = std::signbit(value);
    value = std::fabs(value);

    std::array<char, 400> buffer {};
    auto [end, error]
        = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value, std::chars_format::fixed);
    if (error != std::errc {})
        return fmt::format("{:.0f}", negative ? -value : value);
    std::string text(buffer.data(), end);
    auto point = text.find('.');
    std::string integerDigits = text.substr(0, point);
    std::string fraction = point == std::string::npos ? std::string() : text.substr(point + 1);

    auto keep = static_cast<std::size_t>(std::max(maximumFractionDigits, 0));
    if (fraction.size() > keep) {
        char first = fraction[keep];
        bool restNonZero = fraction.find_first_not_of('0', keep + 1) != std::string::npos;
        std::string digits = integerDigits + fraction.substr(0, keep);
        bool lastOdd = (digits.back() - '0') % 2 == 1;
        bool roundUp = first > '5' || (first == '5' && (restNonZero || lastOdd));
        if (roundUp) {
            std::size_t i = digits.size();
            while (i > 0) {
                --i;
                if (digits[i] == '9') {
                    digits[i] = '0';
                } else {
                    ++digits[i];
                    break;
                }
                if (i == 0)
                    digits.insert(digits.begin(), '1');
            }
        }
        integerDigits = digits.substr(0, digits.size() - keep);
        fraction = digits.substr(digits.size() - keep);
    }
    std::string number = joinNumber(integerDigits, std::move(fraction));
    if (negative && number.find_first_not_of("0.,") != std::string::npos)
        number.insert(number.begin(), '-');
    return number;
}

std::string groupedInteger(std::int64_t value)
{
    std::string digits = std::to_string(value);
    if (value >= 0)
        return groupDigits(digits);
    // Appending to a one-character string rather than `"-" + text`: GCC 12 reports a false
    // -Wrestrict overlap for the latter in optimised builds.
    std::string negative(1, '-');
    negative += groupDigits(std::string_view(digits).substr(1));
    return negative;
}

std::string iops(double value, Language language)
{
    if (!(value > 0))
        return language == Language::English ? "No data" : "暂无数据";
    int digits = value < 10 ? 2 : value < 1000 ? 1 : 0;
    return groupedDecimal(value, digits);
}

std::string mediumDateTime(WallClockTime time, Language language)
{
    auto seconds = static_cast<std::time_t>(std::floor(time));
    std::tm local {};
    localtime_r(&seconds, &local);
    if (language == Language::English) {
        static constexpr std::array<const char*, 12> months { "Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul",
            "Aug", "Sep", "Oct", "Nov", "Dec" };
        int hour12 = local.tm_hour % 12 == 0 ? 12 : local.tm_hour % 12;
        return fmt::format("{} {}, {}, {}:{:02}:{:02} {}", months[static_cast<std::size_t>(local.tm_mon)],
            local.tm_mday, local.tm_year + 1900, hour12, local.tm_min, local.tm_sec,
            local.tm_hour < 12 ? "AM" : "PM");
    }
    return fmt::format("{}年{}月{}日 {:02}:{:02}:{:02}", local.tm_year + 1900, local.tm_mon + 1,
        local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
}

std::string percent(double fraction)
{
    if (std::isnan(fraction))
        return "0%";
    return groupedDecimal(std::clamp(fraction, 0.0, 1.0) * 100, 1) + "%";
}

std::string hoursMinutesSeconds(double seconds)
{
    double rounded = std::isfinite(seconds) ? std::max(std::round(seconds), 0.0) : 0.0;
    auto total = static_cast<std::int64_t>(std::min(rounded, 9.0e15));
    return fmt::format("{:02}:{:02}:{:02}", total / 3600, total % 3600 / 60, total % 60);
}

std::string shortestDouble(double value)
{
    std::array<char, 64> buffer {};
    auto [end, error] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
    if (error != std::errc {})
        return fmt::format("{}", value);
    std::string text(buffer.data(), end);
    if (text.find_first_of(".eEn") == std::string::npos)
        text += ".0";
    return text;
}

std::string_view trimmed(std::string_view text)
{
    constexpr std::string_view whitespace = " \t\r\n\v\f";
    auto begin = text.find_first_not_of(whitespace);
    if (begin == std::string_view::npos)
        return {};
    return text.substr(begin, text.find_last_not_of(whitespace) - begin + 1);
}

}
