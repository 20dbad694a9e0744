#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tallowin {

enum class Language {
    English,
    Chinese,
};

// Looks up one environment variable; the default reads the process environment.
using EnvironmentLookup = std::function<std::optional<std::string>(const char* name)>;
std::optional<std::string> processEnvironment(const char* name);

// The user's preferred languages as language tags ("zh-CN", "en-GB"), most preferred first,
// in gettext's order: every entry of LANGUAGE (colon-separated), then the first set of LC_ALL,
// LC_MESSAGES, LANG. Encodings and modifiers are dropped; "C" and "POSIX" are no preference.
std::vector<std::string> preferredLanguages(const EnvironmentLookup& = processEnvironment);

// The language rule: Chinese when the first preferred language, lower-cased, contains "zh";
// English otherwise, including when there is no preference at all. Evaluated anew on every
// call so that every text follows the environment of the moment.
Language languageFor(const std::vector<std::string>& preferredLanguages);
Language currentLanguage();
inline bool isEnglish()
{
    return currentLanguage() == Language::English;
}

// The member of a text pair that the language rule chooses.
inline std::string localized(std::string_view english, std::string_view chinese)
{
    return std::string(isEnglish() ? english : chinese);
}

}
