#pragma once

#include <cassert>
#include <type_traits>
#include <utility>
#include <variant>

namespace tallowin {

// A value or the error that prevented it. A small stand-in for C++23's std::expected,
// which our compiler does not provide in C++20 mode; the names follow the standard so the
// switch is mechanical later.
template<typename E> class Unexpected {
public:
    explicit Unexpected(E error)
        : m_error(std::move(error))
    { }
    E& error() & { return m_error; }
    E&& error() && { return std::move(m_error); }

private:
    E m_error;
};

template<typename E> Unexpected(E) -> Unexpected<E>;

template<typename T, typename E> class [[nodiscard]] Expected {
public:
    using value_type = T;
    using error_type = E;

    template<typename U = T>
    requires std::is_constructible_v<T, U&&> Expected(U&& value)
        : m_storage(std::in_place_index<0>, std::forward<U>(value))
    { }
    template<typename G>
    Expected(Unexpected<G> unexpected)
        : m_storage(std::in_place_index<1>, std::move(unexpected).error())
    { }

    bool has_value() const { return m_storage.index() == 0; }
    explicit operator bool() const { return has_value(); }

    T& value() &
    {
        assert(has_value());
        return std::get<0>(m_storage);
    }
    const T& value() const&
    {
        assert(has_value());
        return std::get<0>(m_storage);
    }
    T&& value() &&
    {
        assert(has_value());
        return std::get<0>(std::move(m_storage));
    }
    const E& error() const&
    {
        assert(!has_value());
        return std::get<1>(m_storage);
    }
    E&& error() &&
    {
        assert(!has_value());
        return std::get<1>(std::move(m_storage));
    }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }

    template<typename U> T value_or(U&& fallback) const&
    {
        return has_value() ? value() : static_cast<T>(std::forward<U>(fallback));
    }

    friend bool operator==(const Expected&, const Expected&) = default;

private:
    std::variant<T, E> m_storage;
};

template<typename E> class [[nodiscard]] Expected<void, E> {
public:
    Expected() = default;
    template<typename G>
    Expected(Unexpected<G> unexpected)
        : m_error(std::move(unexpected).error())
        , m_failed(true)
    { }
    bool has_value() const { return !m_failed; }
    explicit operator bool() const { return has_value(); }
    const E& error() const&
    {
        assert(m_failed);
        return m_error;
    }

private:
    E m_error {};
    bool m_failed { false };
};

}
