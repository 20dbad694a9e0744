#include "core/Language.h"
#include "support/LanguageGuard.h"

#include <gtest/gtest.h>
#include <map>

using namespace tallowin;

namespace {

EnvironmentLookup environmentOf(std::map<std::string, std::string> variables)
{
    return [variables = std::move(variables)](const char* name) -> std::optional<std::string> {
        if (auto found = variables.find(name); found != variables.end())
            return found->second;
        return std::nullopt;
    };
}

}

TEST(LanguageRule, FirstPreferenceDecides)
{
    EXPECT_EQ(languageFor({ "zh-Hant-TW", "en" }), Language::Chinese);
    EXPECT_EQ(languageFor({ "en-GB", "zh-Hans" }), Language::English);
    EXPECT_EQ(languageFor({}), Language::English);
    EXPECT_EQ(languageFor({ "ZH-HANS" }), Language::Chinese);
    EXPECT_EQ(languageFor({ "fr-FR" }), Language::English);
}

TEST(LanguageRule, PreferencesFollowGettextOrder)
{
    EXPECT_EQ(preferredLanguages(environmentOf({ { "LANGUAGE", "zh_CN:en_US" }, { "LANG", "de_DE.UTF-8" } })),
        (std::vector<std::string> { "zh-CN", "en-US", "de-DE" }));
    // LC_ALL overrides LC_MESSAGES, which overrides LANG; only the first set one counts.
    EXPECT_EQ(
        preferredLanguages(environmentOf({ { "LC_ALL", "zh_TW.UTF-8@radical" }, { "LANG", "en_US.UTF-8" } })),
        (std::vector<std::string> { "zh-TW" }));
    EXPECT_EQ(
        preferredLanguages(environmentOf({ { "LC_MESSAGES", "zh_CN.UTF-8" }, { "LANG", "en_US.UTF-8" } })),
        (std::vector<std::string> { "zh-CN" }));
    // An empty LC_ALL is not set; C and POSIX are no preference at all.
    EXPECT_EQ(preferredLanguages(environmentOf({ { "LC_ALL", "" }, { "LANG", "zh_CN.UTF-8" } })),
        (std::vector<std::string> { "zh-CN" }));
    EXPECT_TRUE(preferredLanguages(environmentOf({ { "LANG", "C.UTF-8" } })).empty());
    EXPECT_TRUE(preferredLanguages(environmentOf({ { "LANGUAGE", "::" }, { "LC_ALL", "POSIX" } })).empty());
}

TEST(LanguageRule, CurrentLanguageReadsTheEnvironmentOnEveryCall)
{
    tallowin::testing::LanguageGuard cleared("");
    setenv("LANG", "zh_CN.UTF-8", 1);
    EXPECT_EQ(localized("Hello", "你好"), "你好");
    setenv("LANG", "en_US.UTF-8", 1);
    EXPECT_EQ(localized("Hello", "你好"), "Hello");
    unsetenv("LANG");
    EXPECT_TRUE(isEnglish());
}
