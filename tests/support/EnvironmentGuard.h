#pragma once

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

namespace tallowin::testing {

// Sets one environment variable for the lifetime of the guard and restores it after. The time
// zone is read again both times, so TZ can be set this way too.
class EnvironmentGuard {
public:
    EnvironmentGuard(const char* name, const char* value)
        : m_name(name)
    {
        if (const char* previous = std::getenv(name))
            m_previous = previous;
        ::setenv(name, value, 1);
        ::tzset();
    }
    ~EnvironmentGuard()
    {
        if (m_previous)
            ::setenv(m_name.c_str(), m_previous->c_str(), 1);
        else
            ::unsetenv(m_name.c_str());
        ::tzset();
    }
    EnvironmentGuard(const EnvironmentGuard&) = delete;
    EnvironmentGuard& operator=(const EnvironmentGuard&) = delete;

private:
    std::string m_name;
    std::optional<std::string> m_previous;
};

}
