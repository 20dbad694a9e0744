#include "app/windows/UpdateCheck.h"

#include "app/windows/HttpSupport.h"
#include "core/Language.h"
#include "core/Messages.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <charconv>
#include <vector>

namespace tallowin {

namespace UpdateTexts {
std::string invalidUpdateUrl() { return localized("Invalid update URL", "更新地址无效"); }
std::string networkError() { return Messages::updateCheckFailure(localized("network error", "网络错误")); }
std::string invalidPayload() { return Messages::updateCheckFailure("invalid payload"); }
std::string alreadyUpToDate() { return localized("Already up to date", "当前已是最新版本"); }
std::string noticeTitle() { return localized("Notice", "提示"); }
std::string okButton() { return localized("OK", "好"); }
std::string downloadQuestion() { return localized("Download the update?", "是否下载更新？"); }
std::string downloadButton() { return localized("Download", "下载"); }
std::string cancelButton() { return localized("Cancel", "取消"); }
std::string checkUpdateButton() { return localized("Check Update", "检查更新"); }
}

namespace {

std::string dataCorrupted()
{
    return localized("The data couldn’t be read because it isn’t in the correct format.",
        "未能读取数据，因为它的格式不正确。");
}

std::string missingValue()
{
    return localized("The data couldn’t be read because it is missing.", "未能读取数据，因为数据缺失。");
}

Expected<std::optional<std::string>, std::string> optionalString(const nlohmann::json& object, const char* key)
{
    auto found = object.find(key);
    if (found == object.end() || found->is_null())
        return std::optional<std::string> {};
    if (!found->is_string())
        return Unexpected(dataCorrupted());
    return std::optional<std::string>(found->get<std::string>());
}

// Whitespace and line breaks as a person means them, including the Unicode spaces a
// copy from a web page brings along.
std::string trimmedWhitespace(const std::string& text)
{
    return QString::fromStdString(text).trimmed().toStdString();
}

std::vector<long long> versionNumbers(std::string_view version)
{
    std::vector<long long> numbers;
    std::size_t start = 0;
    while (start <= version.size()) {
        std::size_t end = version.find('.', start);
        if (end == std::string_view::npos)
            end = version.size();
        std::string_view piece = version.substr(start, end - start);
        if (!piece.empty()) {
            // A leading "+" is an integer to a person; from_chars alone would refuse it.
            std::string_view digits = piece.front() == '+' ? piece.substr(1) : piece;
            long long number = 0;
            auto [rest, error] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
            bool whole = error == std::errc() && rest == digits.data() + digits.size() && !digits.empty()
                && !(piece.front() == '+' && digits.front() == '-');
            numbers.push_back(whole ? number : 0);
        }
        start = end + 1;
    }
    return numbers;
}

}

Expected<ProductDTO, std::string> decodeProductDTO(std::string_view json)
{
    nlohmann::json document = nlohmann::json::parse(json, nullptr, false);
    if (document.is_discarded() || !document.is_object())
        return Unexpected(dataCorrupted());
    auto id = document.find("id");
    if (id == document.end() || id->is_null())
        return Unexpected(missingValue());
    if (!id->is_string())
        return Unexpected(dataCorrupted());

    ProductDTO product;
    product.id = id->get<std::string>();
    struct Member {
        const char* key;
        std::optional<std::string> ProductDTO::*field;
    };
    for (auto [key, field] : { Member { "type", &ProductDTO::type }, Member { "status", &ProductDTO::status },
             Member { "downloadType", &ProductDTO::downloadType }, Member { "downloadUrl", &ProductDTO::downloadUrl },
             Member { "currentVersion", &ProductDTO::currentVersion } }) {
        auto value = optionalString(document, key);
        if (!value)
            return Unexpected(value.error());
        product.*field = std::move(value.value());
    }
    return product;
}

bool isRemoteVersionNewer(std::string_view remote, std::string_view local)
{
    std::vector<long long> remoteNumbers = versionNumbers(remote);
    std::vector<long long> localNumbers = versionNumbers(local);
    std::size_t count = std::max(remoteNumbers.size(), localNumbers.size());
    for (std::size_t position = 0; position < count; ++position) {
        long long remoteNumber = position < remoteNumbers.size() ? remoteNumbers[position] : 0;
        long long localNumber = position < localNumbers.size() ? localNumbers[position] : 0;
        if (remoteNumber != localNumber)
            return remoteNumber > localNumber;
    }
    return false;
}

std::optional<QUrl> productUrl(std::string_view serviceBaseUrl, std::string_view productIdentifier)
{
    std::string text(serviceBaseUrl);
    text.append("/api/products/");
    text.append(productIdentifier);
    return validWebUrl(QString::fromStdString(text));
}

UpdateCheckOutcome evaluateProductAnswer(int httpStatus, std::string_view body, std::string_view localVersion)
{
    if (httpStatus < 200 || httpStatus > 299)
        return AlertMessage(UpdateTexts::networkError());
    auto product = decodeProductDTO(body);
    if (!product)
        return AlertMessage(Messages::updateCheckFailure(product.error()));

    std::string version = trimmedWhitespace(product.value().currentVersion.value_or(""));
    std::string address = trimmedWhitespace(product.value().downloadUrl.value_or(""));
    std::optional<QUrl> url = validWebUrl(QString::fromStdString(address));
    if (version.empty() || address.empty() || !url)
        return AlertMessage(UpdateTexts::invalidPayload());

    if (isRemoteVersionNewer(version, localVersion))
        return UpdatePrompt { .id = Uuid::random(), .version = version, .url = *url };
    return AlertMessage(UpdateTexts::alreadyUpToDate());
}

}
