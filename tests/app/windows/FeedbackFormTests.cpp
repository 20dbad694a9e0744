#include "app/windows/FeedbackForm.h"
#include "support/LanguageGuard.h"

#include <gtest/gtest.h>

#include <tuple>

namespace tallowin {
namespace {

// Characters as a reader counts them: "é" written as e + combining accent is one, so is a
// family emoji of seven code points, and a CJK character is one although it is three bytes.
const QString combinedE = QStringLiteral("e\u0301");
const QString family = QString::fromUtf8("\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7");

QString xs(int count) { return QString(count, QLatin1Char('x')); }

TEST(FeedbackLengths, CountTrimmedCharacters)
{
    // The text, whether it is a valid title, whether it is a valid content.
    const std::tuple<QString, bool, bool> cases[] {
        { QStringLiteral("  abcd \n"), false, false }, { QStringLiteral("  abcde \t"), true, false },
        { combinedE.repeated(4), false, false }, { family.repeated(5), true, false },
        { QStringLiteral("磁盘监控器"), true, false }, { xs(19), true, false }, { xs(20), true, true },
        { xs(100), true, true }, { xs(101), false, true }, { xs(2000), false, true }, { xs(2001), false, false },
        { QStringLiteral("      \u3000      "), false, false },
    };
    for (const auto& [text, titleValid, contentValid] : cases) {
        EXPECT_EQ(isTitleValid(text), titleValid) << text.toStdString();
        EXPECT_EQ(isContentValid(text), contentValid) << text.toStdString();
    }
}

TEST(FeedbackEmail, MatchesThePattern)
{
    const std::pair<const char*, bool> cases[] { { "", true }, { "   ", true }, { "a@b.co", true },
        { "  First.Last+disk@Example.ORG \n", true }, { "a@b.c", false }, { "a@b", false }, { "@b.com", false },
        { "a b@c.com", false }, { "用户@例子.中国", false }, { "a@b.c0m", false } };
    for (const auto& [email, valid] : cases)
        EXPECT_EQ(isEmailValid(QString::fromUtf8(email)), valid) << email;
}

TEST(FeedbackTruncation, KeepsWholeCharacters)
{
    EXPECT_EQ(truncatedToCharacters(xs(150), 100), xs(100));
    EXPECT_EQ(truncatedToCharacters(QStringLiteral("short"), 100), QStringLiteral("short"));
    // Cutting inside a family emoji or between a letter and its accent would leave half a character.
    EXPECT_EQ(truncatedToCharacters(family.repeated(3), 2), family.repeated(2));
    EXPECT_EQ(truncatedToCharacters(combinedE.repeated(3), 1), combinedE);
    EXPECT_EQ(characterCount(truncatedToCharacters(QStringLiteral("汉").repeated(2500), 2000)), 2000);
}

// With and without an e-mail address the window's own tests pin against the server; here the
// texts that JSON must escape.
TEST(FeedbackBody, EscapesAndTrimsTheTexts)
{
    FeedbackDraft draft { FeedbackType::feature, QStringLiteral("  Dark mode \n"),
        QStringLiteral("\tPlease add a \"dark\" theme — 谢谢!  "), QStringLiteral("  me@example.com ") };
    auto body = feedbackRequestBody(draft, "k3v9q2m7x1c8b5n4z6l0p2r7t");
    ASSERT_TRUE(body);
    EXPECT_EQ(body.value(),
        R"({"feedbackType":"feature","title":"Dark mode","content":"Please add a \"dark\" theme — 谢谢!",)"
        R"("relatedProductId":"k3v9q2m7x1c8b5n4z6l0p2r7t","contactEmail":"me@example.com"})");
}

// The answers the window's tests against the server do not send.
TEST(FeedbackAnswer, EndsInOneNotice)
{
    testing::LanguageGuard english("en_GB");
    const std::tuple<int, QByteArray, const char*, bool> cases[] {
        { 201, R"({"success":true,"id":"fb-17"})", "Submitted successfully. Feedback ID: fb-17", true },
        { 201, R"({"success":false,"id":"fb-17"})", "Submitted, but failed to parse response", false },
        { 201, R"({"success":true,"id":17})", "Submitted, but failed to parse response", false },
        { 201, "", "Submitted, but failed to parse response", false },
        { 200, R"({"success":true,"id":"fb-17"})", "Submission failed: server error (200)", false },
        { 400, "标题太短", "标题太短", false },
        { 400, QByteArray("\xC0\xAF", 2), "Submission failed: validation error", false },
        { 400, " \n", "Submission failed: validation error", false },
    };
    for (const auto& [status, body, notice, accepted] : cases) {
        FeedbackResult result = interpretFeedbackAnswer(status, body);
        EXPECT_EQ(result.notice.text, notice) << status << " " << body.toStdString();
        EXPECT_EQ(result.accepted, accepted) << status << " " << body.toStdString();
    }
    testing::LanguageGuard chinese("zh_CN");
    EXPECT_EQ(interpretFeedbackAnswer(201, std::get<1>(cases[0])).notice.text, "提交成功，反馈ID：fb-17");
}

}
}
