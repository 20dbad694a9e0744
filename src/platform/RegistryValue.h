#pragma once

#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace tallowin {

class RegistryValue;

// A number as a device registry stores it: an integer (signed or unsigned) or a real.
// Counters stay exact 64-bit integers; a real is only produced from fractional text.
struct RegistryNumber {
    std::variant<std::int64_t, std::uint64_t, double> value;

    bool isFinite() const;
    double asDouble() const;
    // The integer value; a real is truncated towards zero, a negative number wraps.
    std::uint64_t asUnsigned() const;
    std::int64_t asInteger() const;

    friend bool operator==(const RegistryNumber&, const RegistryNumber&) = default;
};

using RegistryData = std::vector<std::uint8_t>;
using RegistryArray = std::vector<RegistryValue>;

// A string-keyed dictionary that keeps its keys in insertion order, which is the order in
// which "available keys" are listed in log lines.
class RegistryDictionary {
public:
    const RegistryValue* find(std::string_view key) const;
    // Adds the key, or replaces the value of a key already present (keeping its place).
    void set(std::string key, RegistryValue value);
    bool remove(std::string_view key);

    std::size_t size() const { return m_keys.size(); }
    bool empty() const { return m_keys.empty(); }
    const std::vector<std::string>& keys() const { return m_keys; }
    const std::string& keyAt(std::size_t index) const { return m_keys[index]; }
    const RegistryValue& valueAt(std::size_t index) const { return m_values[index]; }

    friend bool operator==(const RegistryDictionary&, const RegistryDictionary&) = default;

private:
    std::vector<std::string> m_keys;
    std::vector<RegistryValue> m_values;
};

class RegistryValue {
public:
    using Storage
        = std::variant<RegistryNumber, std::string, RegistryData, RegistryDictionary, RegistryArray, bool>;

    RegistryValue(RegistryNumber number)
        : m_storage(std::move(number))
    { }
    RegistryValue(std::int64_t number)
        : m_storage(RegistryNumber { number })
    { }
    RegistryValue(std::uint64_t number)
        : m_storage(RegistryNumber { number })
    { }
    RegistryValue(int number)
        : m_storage(RegistryNumber { std::int64_t { number } })
    { }
    RegistryValue(double number)
        : m_storage(RegistryNumber { number })
    { }
    RegistryValue(std::string text)
        : m_storage(std::move(text))
    { }
    RegistryValue(const char* text)
        : m_storage(std::string(text))
    { }
    RegistryValue(RegistryData data)
        : m_storage(std::move(data))
    { }
    RegistryValue(RegistryDictionary dictionary)
        : m_storage(std::move(dictionary))
    { }
    RegistryValue(RegistryArray array)
        : m_storage(std::move(array))
    { }
    RegistryValue(bool flag)
        : m_storage(flag)
    { }

    const RegistryNumber* number() const { return std::get_if<RegistryNumber>(&m_storage); }
    const std::string* text() const { return std::get_if<std::string>(&m_storage); }
    const RegistryData* data() const { return std::get_if<RegistryData>(&m_storage); }
    const RegistryDictionary* dictionary() const { return std::get_if<RegistryDictionary>(&m_storage); }
    const RegistryArray* array() const { return std::get_if<RegistryArray>(&m_storage); }
    const bool* boolean() const { return std::get_if<bool>(&m_storage); }
    const Storage& storage() const { return m_storage; }

    friend bool operator==(const RegistryValue&, const RegistryValue&) = default;

private:
    Storage m_storage;
};

}
