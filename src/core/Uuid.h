#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <string>

namespace tallowin {

// A random (version 4) UUID. Values compare byte by byte; a default-constructed UUID is the nil UUID.
struct Uuid {
    std::array<std::uint8_t, 16> bytes {};

    static Uuid random();
    // Upper-case canonical form, 8-4-4-4-12 hexadecimal digits.
    std::string toString() const;

    friend auto operator<=>(const Uuid&, const Uuid&) = default;
};

}
