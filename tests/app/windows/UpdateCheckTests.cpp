#include "app/windows/HttpSupport.h"
#include "app/windows/UpdateCheck.h"
#include "support/LanguageGuard.h"

#include <gtest/gtest.h>

#include <tuple>

namespace tallowin {
namespace {

TEST(VersionRule, ComparesPiecesAsIntegers)
{
    const std::tuple<const char*, const char*, bool> cases[] {
        // Numbers, not text: 10 > 9 although "1" < "9".
        { "1.10", "1.9", true }, { "1.9", "1.10", false }, { "2", "1.99.99", true }, { "1.2.3", "1.3", false },
        // Missing positions are 0 on that side.
        { "1.0.0", "1", false }, { "1", "1.0.0", false }, { "1.2.0.1", "1.2", true },
        // A piece that is no integer counts as 0.
        { "1.a", "1.0", false }, { "1.1", "1.a", true }, { "1.2beta", "1.1", false },
        // Empty pieces are dropped, not counted as 0 in their position.
        { "1..2", "1.1", true }, { ".2", "1", true }, { "", "0", false }, { "0.0.1", "", true },
        // A number too large for an integer does not parse, so it is 0.
        { "99999999999999999999", "1", false },
    };
    for (const auto& [remote, local, newer] : cases)
        EXPECT_EQ(isRemoteVersionNewer(remote, local), newer) << remote << " against " << local;
}

TEST(ProductDecoding, AcceptsOnlyWellTypedDocuments)
{
    const std::pair<const char*, bool> cases[] {
        { R"({"id":"x"})", true }, { R"({"id":"x","currentVersion":null,"downloadUrl":null})", true },
        { R"({"id":"x","extra":[1,2]})", true }, { R"({"currentVersion":"1.0"})", false }, { R"({"id":7})", false },
        { R"({"id":"x","currentVersion":2})", false }, { R"(["id","x"])", false }, { R"({"id":"x")", false },
        { "", false }, { "<html>gateway</html>", false },
    };
    for (const auto& [json, decodes] : cases)
        EXPECT_EQ(decodeProductDTO(json).has_value(), decodes) << json;
}

TEST(ProductAnswer, TrimsWhitespaceAroundVersionAndUrl)
{
    testing::LanguageGuard english("en_US");
    auto outcome = evaluateProductAnswer(200,
        R"({"id":"p","currentVersion":" \n 2.0.1\t","downloadUrl":"  https://x.test/T.deb\n"})", "2.0");
    ASSERT_TRUE(std::holds_alternative<UpdatePrompt>(outcome));
    EXPECT_EQ(std::get<UpdatePrompt>(outcome).version, "2.0.1");
    EXPECT_EQ(std::get<UpdatePrompt>(outcome).url, QUrl("https://x.test/T.deb"));
}

TEST(ProductAnswer, EachPromptIsANewQuestion)
{
    const char* body = R"({"id":"p","currentVersion":"3","downloadUrl":"https://x.test/T.deb"})";
    EXPECT_NE(std::get<UpdatePrompt>(evaluateProductAnswer(200, body, "2")),
        std::get<UpdatePrompt>(evaluateProductAnswer(200, body, "2")));
}

TEST(ProductUrl, RefusesWhatIsNoWebAddress)
{
    EXPECT_EQ(productUrl("http://127.0.0.1:8765", "abc"), QUrl("http://127.0.0.1:8765/api/products/abc"));
    for (const char* base : { "", "127.0.0.1:8765", "http://exa mple.com", "ftp://example.com" })
        EXPECT_FALSE(productUrl(base, "abc")) << base;
}

TEST(DownloadFileName, StaysInsideTheFolder)
{
    const std::tuple<const char*, const char*, const char*> cases[] {
        { "", "https://x.test/files/Tallowin%202.0.deb?token=1", "Tallowin 2.0.deb" },
        { R"(attachment; filename="Tallowin 2.deb")", "https://x.test/get", "Tallowin 2.deb" },
        { "attachment; filename=plain.deb", "https://x.test/get", "plain.deb" },
        { R"(attachment; filename="fallback.deb"; filename*=UTF-8''%E6%96%B0%E7%89%88.deb)", "https://x.test/get",
            "新版.deb" },
        { R"(attachment; filename="q\"uote.deb")", "https://x.test/get", "q\"uote.deb" },
        // A name with folders must not climb out of the Downloads folder.
        { R"(attachment; filename="../../.bashrc")", "https://x.test/get", ".bashrc" },
        { R"(attachment; filename="..")", "https://x.test/a.deb", "a.deb" },
        { R"(attachment; filename=C:\evil\x.deb)", "https://x.test/a.deb", "x.deb" },
        { "inline", "https://x.test/", "download" },
    };
    for (const auto& [disposition, url, name] : cases) {
        EXPECT_EQ(suggestedFileName(QByteArray(disposition), QUrl(QString::fromUtf8(url))), QString::fromUtf8(name))
            << disposition << " " << url;
    }
}

}
}
