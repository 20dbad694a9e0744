#include "app/windows/FeedbackForm.h"

#include "core/Language.h"
#include "core/Messages.h"

#include <QRegularExpression>
#include <QStringDecoder>
#include <QTextBoundaryFinder>

#include <nlohmann/json.hpp>

namespace tallowin {

namespace FeedbackTexts {
std::string windowTitle() { return localized("Thanks for your feedback.", "感谢您留下您的建议，多多益善～"); }
std::string typeLabel() { return localized("Type", "类型"); }
std::string titlePlaceholder() { return localized("Title (5–100)", "标题（至少5字）"); }
std::string contentPlaceholder() { return localized("Content ()", "内容（至少20字）"); }
std::string emailPlaceholder() { return localized("Contact Email (optional)", "联系邮箱（可选）"); }
std::string titleLengthError() { return localized("Title length must be 5–100", "标题长度需 5–100"); }
std::string contentLengthError() { return localized("Content length must be 20–2000", "内容长度需 20–2000"); }
std::string emailFormatError() { return localized("Invalid email format", "邮箱格式不正确"); }
std::string submitButton() { return localized("Submit", "提交"); }
std::string unknownResponse() { return localized("Submission failed: unknown response", "提交失败：未知响应"); }
std::string unparsableSuccess()
{
    return localized("Submitted, but failed to parse response", "提交成功，但响应解析失败");
}
std::string validationError() { return localized("Submission failed: validation error", "提交失败：参数校验失败"); }
std::string noticeTitle() { return localized("Notice", "提示"); }
std::string okButton() { return localized("OK", "好"); }
}

std::string_view wireValue(FeedbackType type)
{
    switch (type) {
    case FeedbackType::suggestion:
        return "suggestion";
    case FeedbackType::bug:
        return "bug";
    case FeedbackType::feature:
        return "feature";
    case FeedbackType::other:
        return "other";
    }
    return "other";
}

std::string label(FeedbackType type)
{
    switch (type) {
    case FeedbackType::suggestion:
        return localized("Suggestion", "建议");
    case FeedbackType::bug:
        return localized("Bug", "问题");
    case FeedbackType::feature:
        return localized("Feature", "功能");
    case FeedbackType::other:
        return localized("Other", "其他");
    }
    return {};
}

QString trimmedText(const QString& text)
{
    return text.trimmed();
}

int characterCount(const QString& text)
{
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    int count = 0;
    while (finder.toNextBoundary() != -1)
        ++count;
    return count;
}

QString truncatedToCharacters(const QString& text, int maximum)
{
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    int count = 0;
    qsizetype position = 0;
    while (count < maximum) {
        qsizetype next = finder.toNextBoundary();
        if (next == -1)
            return text;
        position = next;
        ++count;
    }
    return position >= text.size() ? text : text.left(position);
}

bool isTitleValid(const QString& title)
{
    int length = characterCount(trimmedText(title));
    return length >= titleMin && length <= titleMax;
}

bool isContentValid(const QString& content)
{
    int length = characterCount(trimmedText(content));
    return length >= contentMin && length <= contentMax;
}

bool isEmailValid(const QString& email)
{
    QString value = trimmedText(email);
    if (value.isEmpty())
        return true;
    static const QRegularExpression pattern(QStringLiteral(R"(^[A-Z0-9._%+-]+@[A-Z0-9.-]+\.[A-Z]{2,}$)"),
        QRegularExpression::CaseInsensitiveOption);
    if (!pattern.isValid())
        return false;
    return pattern.match(value).hasMatch();
}

std::optional<FeedbackField> firstInvalidField(const FeedbackDraft& draft)
{
    if (!isTitleValid(draft.title))
        return FeedbackField::title;
    if (!isContentValid(draft.content))
        return FeedbackField::content;
    if (!isEmailValid(draft.contactEmail))
        return FeedbackField::email;
    return std::nullopt;
}

Expected<std::string, std::string> feedbackRequestBody(const FeedbackDraft& draft, std::string_view productIdentifier)
{
    // Ordered so that the body reads in the order of the form; the service does not care.
    nlohmann::ordered_json body;
    body["feedbackType"] = wireValue(draft.type);
    body["title"] = trimmedText(draft.title).toStdString();
    body["content"] = trimmedText(draft.content).toStdString();
    body["relatedProductId"] = std::string(productIdentifier);
    if (QString email = trimmedText(draft.contactEmail); !email.isEmpty())
        body["contactEmail"] = email.toStdString();
    try {
        return body.dump();
    } catch (const nlohmann::json::exception& error) {
        return Unexpected(std::string(error.what()));
    }
}

FeedbackResult interpretFeedbackAnswer(int httpStatus, const QByteArray& body)
{
    if (httpStatus == 201) {
        nlohmann::json answer = nlohmann::json::parse(body.constData(), body.constData() + body.size(), nullptr, false);
        if (!answer.is_discarded() && answer.is_object()) {
            auto success = answer.find("success");
            auto id = answer.find("id");
            if (success != answer.end() && success->is_boolean() && success->get<bool>() && id != answer.end()
                && id->is_string())
                return { AlertMessage(Messages::feedbackAccepted(id->get<std::string>())), true };
        }
        return { AlertMessage(FeedbackTexts::unparsableSuccess()), false };
    }
    if (httpStatus == 400) {
        QStringDecoder decoder(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
        QString text = decoder(body);
        // A refusal without words would show the user an empty notice: give the general one.
        if (decoder.hasError() || text.trimmed().isEmpty())
            return { AlertMessage(FeedbackTexts::validationError()), false };
        return { AlertMessage(text.toStdString()), false };
    }
    return { AlertMessage(Messages::feedbackServerError(httpStatus)), false };
}

FeedbackResult transportFailureResult()
{
    return { AlertMessage(Messages::feedbackServerError(500)), false };
}

}
