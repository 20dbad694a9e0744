#pragma once

#include <array>

namespace tallowin {

// One catalogue row as data: the key path, the English and the Chinese name, whether it is shown.
struct SMARTKeyCatalogRow {
    const char* key;
    const char* english;
    const char* chinese;
    bool shown;
};

extern const std::array<SMARTKeyCatalogRow, 177> smartKeyCatalogRows;

}
