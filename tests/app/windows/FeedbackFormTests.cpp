#include "app/windows/FeedbackForm.h"
#include "support/LanguageGuard.h"

#include <gtest/gtest.h>

namespace tallowin {
namespace {

QString repeated(const QString& piece, int count)
{
    return piece.repeated(count);
}

struct LengthCase {
    const char* name;
    QString text;
    bool titleValid;
    bool contentValid;
};

class FeedbackLengths : public ::testing::TestWithParam<LengthCase> { };

TEST_P(FeedbackLengths, CountTrimmedCharacters)
{
    const LengthCase& example = GetParam();
    EXPECT_EQ(isTitleValid(example.text), example.titleValid) << example.name;
    EXPECT_EQ(isContentValid(example.text), example.contentValid) << example.name;
}

// Characters as a reader counts them: "é" written as e + combining accent is one, so is a
// family emoji of seven code points, and a CJK character is one although it is three bytes.
const QString combinedE = QStringLiteral("e\u0301");
const QString family = QString::fromUtf8("\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7");

INSTANTIATE_TEST_SUITE_P(Cases, FeedbackLengths,
    ::testing::Values(LengthCase { "four_inside_spaces", QStringLiteral("  abcd \n"), false, false },
        LengthCase { "five_inside_spaces", QStringLiteral("  abcde \t"), true, false },
        LengthCase { "five_combined", combinedE.repeated(5), true, false },
        LengthCase { "four_combined", combinedE.repeated(4), false, false },
        LengthCase { "five_families", family.repeated(5), true, false },
        LengthCase { "five_cjk", QStringLiteral("磁盘监控器"), true, false },
        LengthCase { "nineteen", repeated(QStringLiteral("x"), 19), true, false },
        LengthCase { "twenty", repeated(QStringLiteral("x"), 20), true, true },
        LengthCase { "hundred", repeated(QStringLiteral("x"), 100), true, true },
        LengthCase { "hundred_and_one", repeated(QStringLiteral("x"), 101), false, true },
        LengthCase { "two_thousand", repeated(QStringLiteral("x"), 2000), false, true },
        LengthCase { "two_thousand_and_one", repeated(QStringLiteral("x"), 2001), false, false },
        LengthCase { "only_spaces", QStringLiteral("      \u3000      "), false, false }),
    [](const auto& testInfo) { return std::string(testInfo.param.name); });

struct EmailCase {
    const char* email;
    bool valid;
};

class FeedbackEmail : public ::testing::TestWithParam<EmailCase> { };

TEST_P(FeedbackEmail, MatchesThePattern)
{
    EXPECT_EQ(isEmailValid(QString::fromUtf8(GetParam().email)), GetParam().valid) << GetParam().email;
}

INSTANTIATE_TEST_SUITE_P(Cases, FeedbackEmail,
    ::testing::Values(EmailCase { "", true }, EmailCase { "   ", true }, EmailCase { "a@b.co", true },
        EmailCase { "  First.Last+disk@Example.ORG \n", true }, EmailCase { "a@b.c", false },
        EmailCase { "a@b", false }, EmailCase { "@b.com", false }, EmailCase { "a b@c.com", false },
        EmailCase { "用户@例子.中国", false }, EmailCase { "a@b.c0m", false }));

TEST(FeedbackTruncation, KeepsWholeCharacters)
{
    EXPECT_EQ(truncatedToCharacters(repeated(QStringLiteral("a"), 150), 100), repeated(QStringLiteral("a"), 100));
    EXPECT_EQ(truncatedToCharacters(QStringLiteral("short"), 100), QStringLiteral("short"));
    // Cutting inside a family emoji or between a letter and its accent would leave half a character.
    EXPECT_EQ(truncatedToCharacters(family.repeated(3), 2), family.repeated(2));
    EXPECT_EQ(truncatedToCharacters(combinedE.repeated(3), 1), combinedE);
    EXPECT_EQ(characterCount(truncatedToCharacters(repeated(QStringLiteral("汉"), 2500), 2000)), 2000);
}

TEST(FeedbackValidationOrder, FirstInvalidFieldWins)
{
    FeedbackDraft draft { FeedbackType::bug, QStringLiteral("abc"), QStringLiteral("short"), QStringLiteral("bad") };
    EXPECT_EQ(firstInvalidField(draft), FeedbackField::title);
    draft.title = QStringLiteral("A good title");
    EXPECT_EQ(firstInvalidField(draft), FeedbackField::content);
    draft.content = repeated(QStringLiteral("y"), 20);
    EXPECT_EQ(firstInvalidField(draft), FeedbackField::email);
    draft.contactEmail = QString();
    EXPECT_EQ(firstInvalidField(draft), std::nullopt);
}

TEST(FeedbackBody, HasExactlyTheKeysOfTheForm)
{
    FeedbackDraft draft { FeedbackType::feature, QStringLiteral("  Dark mode \n"),
        QStringLiteral("\tPlease add a \"dark\" theme — 谢谢!  "), QString() };
    auto withoutEmail = feedbackRequestBody(draft, "k3v9q2m7x1c8b5n4z6l0p2r7t");
    ASSERT_TRUE(withoutEmail);
    EXPECT_EQ(withoutEmail.value(),
        R"({"feedbackType":"feature","title":"Dark mode","content":"Please add a \"dark\" theme — 谢谢!",)"
        R"("relatedProductId":"k3v9q2m7x1c8b5n4z6l0p2r7t"})");

    draft.contactEmail = QStringLiteral("  me@example.com ");
    auto withEmail = feedbackRequestBody(draft, "k3v9q2m7x1c8b5n4z6l0p2r7t");
    ASSERT_TRUE(withEmail);
    EXPECT_EQ(withEmail.value(),
        R"({"feedbackType":"feature","title":"Dark mode","content":"Please add a \"dark\" theme — 谢谢!",)"
        R"("relatedProductId":"k3v9q2m7x1c8b5n4z6l0p2r7t","contactEmail":"me@example.com"})");
}

TEST(FeedbackBody, WireValuesOfEveryType)
{
    std::vector<std::string_view> wire;
    for (FeedbackType type : allFeedbackTypes)
        wire.push_back(wireValue(type));
    EXPECT_EQ(wire, (std::vector<std::string_view> { "suggestion", "bug", "feature", "other" }));
}

struct AnswerCase {
    const char* name;
    int status;
    QByteArray body;
    const char* english;
    const char* chinese;
    bool accepted;
};

class FeedbackAnswer : public ::testing::TestWithParam<AnswerCase> { };

TEST_P(FeedbackAnswer, EndsInOneNotice)
{
    const AnswerCase& example = GetParam();
    {
        testing::LanguageGuard english("en_GB");
        FeedbackResult result = interpretFeedbackAnswer(example.status, example.body);
        EXPECT_EQ(result.notice.text, example.english);
        EXPECT_EQ(result.accepted, example.accepted);
    }
    testing::LanguageGuard chinese("zh_CN");
    EXPECT_EQ(interpretFeedbackAnswer(example.status, example.body).notice.text, example.chinese);
}

INSTANTIATE_TEST_SUITE_P(Cases, FeedbackAnswer,
    ::testing::Values(
        AnswerCase { "created", 201, R"({"success":true,"id":"fb-17"})", "Submitted successfully. Feedback ID: fb-17",
            "提交成功，反馈ID：fb-17", true },
        AnswerCase { "created_without_success", 201, R"({"id":"fb-17"})", "Submitted, but failed to parse response",
            "提交成功，但响应解析失败", false },
        AnswerCase { "created_not_successful", 201, R"({"success":false,"id":"fb-17"})",
            "Submitted, but failed to parse response", "提交成功，但响应解析失败", false },
        AnswerCase { "created_numeric_id", 201, R"({"success":true,"id":17})", "Submitted, but failed to parse response",
            "提交成功，但响应解析失败", false },
        AnswerCase { "created_empty", 201, "", "Submitted, but failed to parse response", "提交成功，但响应解析失败", false },
        AnswerCase { "ok_is_not_created", 200, R"({"success":true,"id":"fb-17"})",
            "Submission failed: server error (200)", "提交失败：服务器错误（200）", false },
        AnswerCase { "bad_request_text", 400, "Title is too short", "Title is too short", "Title is too short", false },
        AnswerCase { "bad_request_utf8", 400, "标题太短", "标题太短", "标题太短", false },
        AnswerCase { "bad_request_invalid_utf8", 400, QByteArray("bad \xC3\x28 bytes \xFF", 14),
            "Submission failed: validation error", "提交失败：参数校验失败", false },
        AnswerCase { "bad_request_overlong", 400, QByteArray("\xC0\xAF", 2), "Submission failed: validation error",
            "提交失败：参数校验失败", false },
        AnswerCase { "server_error", 500, "oops", "Submission failed: server error (500)", "提交失败：服务器错误（500）", false },
        AnswerCase { "too_many", 429, "", "Submission failed: server error (429)", "提交失败：服务器错误（429）", false }),
    [](const auto& testInfo) { return std::string(testInfo.param.name); });

}
}
