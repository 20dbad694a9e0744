#pragma once

#include <cstdlib>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tallowin::testing {

// Sets the preferred language for the lifetime of the guard and restores the environment after.
class LanguageGuard {
public:
    explicit LanguageGuard(const char* language)
    {
        for (const char* name : { "LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG" }) {
            if (const char* value = std::getenv(name))
                m_saved.emplace_back(name, std::string(value));
            else
                m_saved.emplace_back(name, std::nullopt);
            ::unsetenv(name);
        }
        ::setenv("LANGUAGE", language, 1);
    }
    ~LanguageGuard()
    {
        for (const auto& [name, value] : m_saved) {
            if (value)
                ::setenv(name.c_str(), value->c_str(), 1);
            else
                ::unsetenv(name.c_str());
        }
    }
    LanguageGuard(const LanguageGuard&) = delete;
    LanguageGuard& operator=(const LanguageGuard&) = delete;

private:
    std::vector<std::pair<std::string, std::optional<std::string>>> m_saved;
};

}
