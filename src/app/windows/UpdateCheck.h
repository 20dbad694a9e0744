#pragma once

#include "core/AlertMessage.h"
#include "core/Expected.h"
#include "core/Uuid.h"

#include <QUrl>

#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace tallowin {

// The product document the service answers the update check with. Only `id` is required;
// the check reads `currentVersion` and `downloadUrl`.
struct ProductDTO {
    std::string id;
    std::optional<std::string> type;
    std::optional<std::string> status;
    std::optional<std::string> downloadType;
    std::optional<std::string> downloadUrl;
    std::optional<std::string> currentVersion;

    friend bool operator==(const ProductDTO&, const ProductDTO&) = default;
};

// Strict decoding: a JSON object with a string `id`; every other member absent, null or a
// string. The error is a description for the user in the language of the moment.
Expected<ProductDTO, std::string> decodeProductDTO(std::string_view json);

// A newer version was found: the question whether to download it.
struct UpdatePrompt {
    Uuid id { Uuid::random() };
    std::string version;
    QUrl url;

    friend bool operator==(const UpdatePrompt&, const UpdatePrompt&) = default;
};

// Whether `remote` is a newer version than `local`: dot-separated pieces compared as integers
// from the left, a piece that is no integer and a missing piece counting as 0.
bool isRemoteVersionNewer(std::string_view remote, std::string_view local);

// The product endpoint for a service base URL, or nothing when that is no usable web address.
std::optional<QUrl> productUrl(std::string_view serviceBaseUrl, std::string_view productIdentifier);

// What the check concludes from an HTTP answer (status and body) about the local version:
// either the download question or a notice.
using UpdateCheckOutcome = std::variant<UpdatePrompt, AlertMessage>;
UpdateCheckOutcome evaluateProductAnswer(int httpStatus, std::string_view body, std::string_view localVersion);

namespace UpdateTexts {
std::string invalidUpdateUrl();
std::string networkError();
std::string invalidPayload();
std::string alreadyUpToDate();
std::string noticeTitle();
std::string okButton();
std::string downloadQuestion();
std::string downloadButton();
std::string cancelButton();
std::string checkUpdateButton();
}

}
