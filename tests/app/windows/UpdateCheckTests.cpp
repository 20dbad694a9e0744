#include "app/windows/HttpSupport.h"
#include "app/windows/UpdateCheck.h"
#include "support/LanguageGuard.h"

#include <gtest/gtest.h>

namespace tallowin {
namespace {

struct VersionCase {
    const char* remote;
    const char* local;
    bool newer;
};

class VersionRule : public ::testing::TestWithParam<VersionCase> { };

TEST_P(VersionRule, ComparesPiecesAsIntegers)
{
    const VersionCase& example = GetParam();
    EXPECT_EQ(isRemoteVersionNewer(example.remote, example.local), example.newer)
        << example.remote << " against " << example.local;
}

INSTANTIATE_TEST_SUITE_P(Cases, VersionRule,
    ::testing::Values(
        // Numbers, not text: 10 > 9 although "1" < "9".
        VersionCase { "1.10", "1.9", true }, VersionCase { "1.9", "1.10", false },
        VersionCase { "2", "1.99.99", true },
        // Missing positions are 0 on that side.
        VersionCase { "1.0.0", "1", false }, VersionCase { "1", "1.0.0", false }, VersionCase { "1.2", "1.2.0", false },
        VersionCase { "1.2.0.1", "1.2", true },
        // A piece that is no integer counts as 0.
        VersionCase { "1.a", "1.0", false }, VersionCase { "1.1", "1.a", true }, VersionCase { "1.2beta", "1.1", false },
        // Empty pieces are dropped, not counted as 0 in their position.
        VersionCase { "1..2", "1.1", true }, VersionCase { ".2", "1", true },
        VersionCase { "", "0", false }, VersionCase { "0.0.1", "", true },
        // A number too large for an integer does not parse, so it is 0.
        VersionCase { "99999999999999999999", "1", false },
        VersionCase { "1.2.3", "1.2.3", false }, VersionCase { "1.2.4", "1.2.3", true },
        VersionCase { "1.2.3", "1.3", false }));

struct DecodeCase {
    const char* name;
    const char* json;
    bool decodes;
};

class ProductDecoding : public ::testing::TestWithParam<DecodeCase> { };

TEST_P(ProductDecoding, AcceptsOnlyWellTypedDocuments)
{
    EXPECT_EQ(decodeProductDTO(GetParam().json).has_value(), GetParam().decodes) << GetParam().name;
}

INSTANTIATE_TEST_SUITE_P(Cases, ProductDecoding,
    ::testing::Values(DecodeCase { "only id", R"({"id":"x"})", true },
        DecodeCase { "nulls are absent", R"({"id":"x","currentVersion":null,"downloadUrl":null})", true },
        DecodeCase { "unknown keys ignored", R"({"id":"x","extra":[1,2]})", true },
        DecodeCase { "missing id", R"({"currentVersion":"1.0"})", false },
        DecodeCase { "numeric id", R"({"id":7})", false },
        DecodeCase { "numeric version", R"({"id":"x","currentVersion":2})", false },
        DecodeCase { "not an object", R"(["id","x"])", false }, DecodeCase { "truncated", R"({"id":"x")", false },
        DecodeCase { "empty body", "", false }, DecodeCase { "html page", "<html>gateway</html>", false }),
    [](const auto& testInfo) {
        std::string name = testInfo.param.name;
        for (char& c : name)
            c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
        return name;
    });

TEST(ProductDecoding, KeepsEveryMember)
{
    auto product = decodeProductDTO(R"({"id":"p","type":"app","status":"live","downloadType":"deb",
        "downloadUrl":"https://x.test/a.deb","currentVersion":"2.0"})");
    ASSERT_TRUE(product);
    EXPECT_EQ(product.value(),
        (ProductDTO { "p", "app", "live", "deb", "https://x.test/a.deb", "2.0" }));
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
    auto first = evaluateProductAnswer(200, body, "2");
    auto second = evaluateProductAnswer(200, body, "2");
    EXPECT_NE(std::get<UpdatePrompt>(first), std::get<UpdatePrompt>(second));
}

TEST(ProductUrl, RefusesWhatIsNoWebAddress)
{
    EXPECT_EQ(productUrl("http://127.0.0.1:8765", "abc"), QUrl("http://127.0.0.1:8765/api/products/abc"));
    EXPECT_FALSE(productUrl("", "abc"));
    EXPECT_FALSE(productUrl("127.0.0.1:8765", "abc"));
    EXPECT_FALSE(productUrl("http://exa mple.com", "abc"));
    EXPECT_FALSE(productUrl("ftp://example.com", "abc"));
}

struct FileNameCase {
    const char* disposition;
    const char* url;
    const char* name;
};

class DownloadFileName : public ::testing::TestWithParam<FileNameCase> { };

TEST_P(DownloadFileName, StaysInsideTheFolder)
{
    const FileNameCase& example = GetParam();
    EXPECT_EQ(suggestedFileName(QByteArray(example.disposition), QUrl(QString::fromUtf8(example.url))),
        QString::fromUtf8(example.name))
        << example.disposition << " " << example.url;
}

INSTANTIATE_TEST_SUITE_P(Cases, DownloadFileName,
    ::testing::Values(FileNameCase { "", "https://x.test/files/Tallowin-2.0.deb", "Tallowin-2.0.deb" },
        FileNameCase { "", "https://x.test/files/Tallowin%202.0.deb?token=1", "Tallowin 2.0.deb" },
        FileNameCase { R"(attachment; filename="Tallowin 2.deb")", "https://x.test/get", "Tallowin 2.deb" },
        FileNameCase { "attachment; filename=plain.deb", "https://x.test/get", "plain.deb" },
        FileNameCase { R"(attachment; filename="fallback.deb"; filename*=UTF-8''%E6%96%B0%E7%89%88.deb)",
            "https://x.test/get", "新版.deb" },
        FileNameCase { R"(attachment; filename="q\"uote.deb")", "https://x.test/get", "q\"uote.deb" },
        // A name with folders must not climb out of the Downloads folder.
        FileNameCase { R"(attachment; filename="../../.bashrc")", "https://x.test/get", ".bashrc" },
        FileNameCase { R"(attachment; filename="..")", "https://x.test/a.deb", "a.deb" },
        FileNameCase { R"(attachment; filename=C:\evil\x.deb)", "https://x.test/a.deb", "x.deb" },
        FileNameCase { "inline", "https://x.test/", "download" }));

}
}
