#pragma once

#include "core/MainQueue.h"

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <optional>
#include <string>

namespace tallowin::testing {

// Sets an environment variable for the lifetime of the guard and restores it after.
class ScopedEnvironment {
public:
    ScopedEnvironment(const char* name, const char* value)
        : m_name(name)
    {
        if (const char* previous = std::getenv(name))
            m_previous = previous;
        ::setenv(name, value, 1);
        ::tzset();
    }
    ~ScopedEnvironment()
    {
        if (m_previous)
            ::setenv(m_name.c_str(), m_previous->c_str(), 1);
        else
            ::unsetenv(m_name.c_str());
        ::tzset();
    }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    std::string m_name;
    std::optional<std::string> m_previous;
};

// Runs the main queue until the predicate holds. Polls as well, because some of what the
// predicate looks at changes on other threads without posting anything to the main queue.
inline bool driveUntil(
    EventLoopMainQueue& queue, const std::function<bool()>& predicate, std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (queue.runUntil(predicate, std::chrono::milliseconds(5)))
            return true;
    }
    return predicate();
}

// The language rule reads LANGUAGE first.
struct ScopedLanguage : ScopedEnvironment {
    explicit ScopedLanguage(const char* tag)
        : ScopedEnvironment("LANGUAGE", tag)
    { }
};

}
