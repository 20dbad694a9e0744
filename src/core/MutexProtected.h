#pragma once

#include <mutex>
#include <type_traits>
#include <utility>

namespace tallowin {

// A value reachable only through its lock: withLocked() runs a function on the value while the
// mutex is held. The function's result is returned by value, never as a reference into the
// value, so nothing of the state leaks out of the lock.
template<typename T> class MutexProtected {
public:
    MutexProtected() = default;
    template<typename... Args>
    explicit MutexProtected(std::in_place_t, Args&&... args)
        : m_value(std::forward<Args>(args)...)
    { }
    MutexProtected(const MutexProtected&) = delete;
    MutexProtected& operator=(const MutexProtected&) = delete;

    template<typename Function> auto withLocked(Function&& function)
    {
        static_assert(!std::is_reference_v<std::invoke_result_t<Function, T&>>,
            "a reference to the protected value must not outlive the lock");
        std::lock_guard lock(m_mutex);
        return std::forward<Function>(function)(m_value);
    }

    template<typename Function> auto withLocked(Function&& function) const
    {
        static_assert(!std::is_reference_v<std::invoke_result_t<Function, const T&>>,
            "a reference to the protected value must not outlive the lock");
        std::lock_guard lock(m_mutex);
        return std::forward<Function>(function)(m_value);
    }

private:
    mutable std::mutex m_mutex;
    T m_value {};
};

}
