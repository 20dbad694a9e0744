#pragma once

#include <string>
#include <string_view>
#include <unordered_map>

namespace tallowin {

// One row of the catalogue: a key path of smartctl's JSON in catalogue form (object keys joined
// by ".", "[]" after an array's key for any of its elements), its names in both languages, and
// whether a value found there is shown.
struct SMARTKeyDescriptor {
    std::string key;
    std::string displayNameChinese;
    std::string displayNameEnglish;
    bool shouldDisplay { false };

    // The name in the interface language of the moment.
    std::string localizedName() const;

    friend bool operator==(const SMARTKeyDescriptor&, const SMARTKeyDescriptor&) = default;
};

// The fixed dictionary of smartctl key paths. Built on first use from any thread and only read
// after that, so lookups need no lock.
namespace SMARTKeyCatalog {

using Map = std::unordered_map<std::string, SMARTKeyDescriptor>;

const Map& all();

// The row for a key path with real array positions ("table[3].raw.value"): every "[digits]"
// becomes "[]" before the exact, case-sensitive lookup. Null when no row names the path.
const SMARTKeyDescriptor* descriptor(std::string_view keyPath);

// The path in catalogue form: every "[" digits "]" replaced by "[]".
std::string normalizedPath(std::string_view keyPath);

// The name of a key the catalogue may not know: "_" becomes a space, a space goes before an
// upper-case letter that follows a lower-case letter or a digit, and the ends are trimmed.
// Letter case is kept. A key with nothing left is its own name.
std::string fallbackName(std::string_view key);

}

}
