#include "platform/RegistryValue.h"

#include <algorithm>

namespace tallowin {

bool RegistryNumber::isFinite() const
{
    if (auto* real = std::get_if<double>(&value))
        return std::isfinite(*real);
    return true;
}

double RegistryNumber::asDouble() const
{
    return std::visit([](auto number) { return static_cast<double>(number); }, value);
}

std::uint64_t RegistryNumber::asUnsigned() const
{
    return std::visit(
        [](auto number) -> std::uint64_t {
            using T = decltype(number);
            if constexpr (std::is_same_v<T, double>) {
                if (!std::isfinite(number))
                    return 0;
                if (number < 0)
                    return static_cast<std::uint64_t>(static_cast<std::int64_t>(std::max(number, -9.2e18)));
                return number >= 1.8e19 ? UINT64_MAX : static_cast<std::uint64_t>(number);
            } else {
                return static_cast<std::uint64_t>(number);
            }
        },
        value);
}

std::int64_t RegistryNumber::asInteger() const
{
    return std::visit(
        [](auto number) -> std::int64_t {
            using T = decltype(number);
            if constexpr (std::is_same_v<T, double>) {
                if (!std::isfinite(number))
                    return 0;
                return static_cast<std::int64_t>(std::clamp(number, -9.2e18, 9.2e18));
            } else {
                return static_cast<std::int64_t>(number);
            }
        },
        value);
}

const RegistryValue* RegistryDictionary::find(std::string_view key) const
{
    auto found = std::find(m_keys.begin(), m_keys.end(), key);
    if (found == m_keys.end())
        return nullptr;
    return &m_values[static_cast<std::size_t>(found - m_keys.begin())];
}

void RegistryDictionary::set(std::string key, RegistryValue value)
{
    auto found = std::find(m_keys.begin(), m_keys.end(), key);
    if (found != m_keys.end()) {
        m_values[static_cast<std::size_t>(found - m_keys.begin())] = std::move(value);
        return;
    }
    m_keys.push_back(std::move(key));
    m_values.push_back(std::move(value));
}

bool RegistryDictionary::remove(std::string_view key)
{
    auto found = std::find(m_keys.begin(), m_keys.end(), key);
    if (found == m_keys.end())
        return false;
    auto index = found - m_keys.begin();
    m_keys.erase(found);
    m_values.erase(m_values.begin() + index);
    return true;
}

}
