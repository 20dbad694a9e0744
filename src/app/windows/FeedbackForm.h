#pragma once

#include "core/AlertMessage.h"
#include "core/Expected.h"

#include <QByteArray>
#include <QString>

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace tallowin {

// What the Feedback window knows apart from its widgets: the types, the limits, validation,
// the request body and what an answer means. Lengths are in characters as a reader counts
// them (grapheme clusters), not bytes or UTF-16 units.

enum class FeedbackType {
    suggestion,
    bug,
    feature,
    other,
};
inline constexpr std::array allFeedbackTypes { FeedbackType::suggestion, FeedbackType::bug, FeedbackType::feature,
    FeedbackType::other };
std::string_view wireValue(FeedbackType);
std::string label(FeedbackType);

enum class FeedbackField {
    title,
    content,
    email,
};

inline constexpr int titleMin = 5;
inline constexpr int titleMax = 100;
inline constexpr int contentMin = 20;
inline constexpr int contentMax = 2000;

QString trimmedText(const QString&);
int characterCount(const QString&);
// The first `maximum` characters; the text itself when it is no longer. Never splits a
// character made of several code points (an accent, a flag, a family emoji).
QString truncatedToCharacters(const QString&, int maximum);

bool isTitleValid(const QString& title);
bool isContentValid(const QString& content);
bool isEmailValid(const QString& email);

struct FeedbackDraft {
    FeedbackType type = FeedbackType::suggestion;
    QString title;
    QString content;
    QString contactEmail;

    friend bool operator==(const FeedbackDraft&, const FeedbackDraft&) = default;
};

// The field to put the cursor in because it is the first invalid one, or nothing when the
// draft may be sent.
std::optional<FeedbackField> firstInvalidField(const FeedbackDraft&);

// The JSON sent to the feedback endpoint: feedbackType, title, content, relatedProductId and,
// only when one was given, contactEmail; texts trimmed. The error is why it cannot be written.
Expected<std::string, std::string> feedbackRequestBody(const FeedbackDraft&, std::string_view productIdentifier);

// The notice that ends a submission and whether the service took the feedback (the form is
// emptied only then).
struct FeedbackResult {
    AlertMessage notice;
    bool accepted = false;

    friend bool operator==(const FeedbackResult&, const FeedbackResult&) = default;
};
FeedbackResult interpretFeedbackAnswer(int httpStatus, const QByteArray& body);
// No HTTP answer at all (refused, time-out, no network) counts as a server error 500.
FeedbackResult transportFailureResult();

namespace FeedbackTexts {
std::string windowTitle();
std::string typeLabel();
std::string titlePlaceholder();
std::string contentPlaceholder();
std::string emailPlaceholder();
std::string titleLengthError();
std::string contentLengthError();
std::string emailFormatError();
std::string submitButton();
std::string unknownResponse();
std::string unparsableSuccess();
std::string validationError();
std::string noticeTitle();
std::string okButton();
}

}
