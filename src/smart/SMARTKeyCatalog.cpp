#include "smart/SMARTKeyCatalog.h"

#include "core/Language.h"
#include "smart/SMARTKeyCatalogTable.h"

namespace tallowin {

std::string SMARTKeyDescriptor::localizedName() const
{
    return isEnglish() ? displayNameEnglish : displayNameChinese;
}

namespace SMARTKeyCatalog {

const Map& all()
{
    // A function-local static is built exactly once even when several threads ask first.
    static const Map catalog = [] {
        Map map;
        map.reserve(smartKeyCatalogRows.size());
        for (const auto& row : smartKeyCatalogRows)
            map.emplace(row.key, SMARTKeyDescriptor { row.key, row.chinese, row.english, row.shown });
        return map;
    }();
    return catalog;
}

std::string normalizedPath(std::string_view keyPath)
{
    std::string result;
    result.reserve(keyPath.size());
    std::size_t i = 0;
    while (i < keyPath.size()) {
        if (keyPath[i] == '[') {
            std::size_t j = i + 1;
            while (j < keyPath.size() && keyPath[j] >= '0' && keyPath[j] <= '9')
                ++j;
            if (j > i + 1 && j < keyPath.size() && keyPath[j] == ']') {
                result += "[]";
                i = j + 1;
                continue;
            }
        }
        result += keyPath[i];
        ++i;
    }
    return result;
}

const SMARTKeyDescriptor* descriptor(std::string_view keyPath)
{
    const auto& catalog = all();
    auto found = catalog.find(normalizedPath(keyPath));
    return found == catalog.end() ? nullptr : &found->second;
}

namespace {

bool isLowerOrDigit(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

bool isTrimmable(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

}

std::string fallbackName(std::string_view key)
{
    std::string spaced;
    spaced.reserve(key.size() + key.size() / 2);
    char previous = '\0';
    for (char c : key) {
        char current = c == '_' ? ' ' : c;
        // The look-behind sees the text after the underscores became spaces, so "a_B" has no
        // extra space while "aB" gets one.
        if (current >= 'A' && current <= 'Z' && isLowerOrDigit(previous))
            spaced += ' ';
        spaced += current;
        previous = current;
    }
    std::size_t begin = 0;
    std::size_t end = spaced.size();
    while (begin < end && isTrimmable(spaced[begin]))
        ++begin;
    while (end > begin && isTrimmable(spaced[end - 1]))
        --end;
    if (begin == end)
        return std::string(key);
    return spaced.substr(begin, end - begin);
}

}

}
