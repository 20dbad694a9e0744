#include "core/Language.h"

#include <algorithm>
#include <cstdlib>

namespace tallowin {

std::optional<std::string> processEnvironment(const char* name)
{
    if (const char* value = std::getenv(name))
        return std::string(value);
    return std::nullopt;
}

namespace {

// "zh_CN.UTF-8@latin" -> "zh-CN"; "C", "POSIX" and "C.UTF-8" -> nothing.
std::optional<std::string> languageTagFromLocaleName(std::string_view name)
{
    if (auto cut = name.find_first_of(".@"); cut != std::string_view::npos)
        name = name.substr(0, cut);
    if (name.empty() || name == "C" || name == "POSIX")
        return std::nullopt;
    std::string tag(name);
    std::replace(tag.begin(), tag.end(), '_', '-');
    return tag;
}

}

std::vector<std::string> preferredLanguages(const EnvironmentLookup& environment)
{
    std::vector<std::string> languages;
    if (auto list = environment("LANGUAGE")) {
        std::string_view rest = *list;
        while (!rest.empty()) {
            auto colon = rest.find(':');
            if (auto tag = languageTagFromLocaleName(rest.substr(0, colon)))
                languages.push_back(std::move(*tag));
            rest = colon == std::string_view::npos ? std::string_view {} : rest.substr(colon + 1);
        }
    }
    for (const char* variable : { "LC_ALL", "LC_MESSAGES", "LANG" }) {
        auto value = environment(variable);
        if (!value || value->empty())
            continue;
        if (auto tag = languageTagFromLocaleName(*value))
            languages.push_back(std::move(*tag));
        break;
    }
    return languages;
}

Language languageFor(const std::vector<std::string>& preferred)
{
    std::string first = preferred.empty() ? std::string("en") : preferred.front();
    std::transform(first.begin(), first.end(), first.begin(),
        [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return first.find("zh") != std::string::npos ? Language::Chinese : Language::English;
}

Language currentLanguage()
{
    return languageFor(preferredLanguages());
}

}
