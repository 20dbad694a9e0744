#include "helper_protocol/SmartctlHelperProtocol.h"
#include "support/LanguageGuard.h"

#include <algorithm>
#include <cstdint>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace tallowin;
using Protocol = SmartctlHelperProtocol;
using Json = nlohmann::json;
using Kind = ProtocolError::Kind;

namespace {

const auto cbor = [](const Json& document) -> Bytes { return Json::to_cbor(document); };

Json validResultMap()
{
    return Json { { "jsonData", Json::binary({ '{', '}' }) },
        { "commandDescription", "/usr/sbin/smartctl -j -x /dev/sda" }, { "standardError", Json::binary({}) },
        { "terminationStatus", 4 } };
}

template<typename Decoded> std::optional<Kind> errorKind(const Expected<Decoded, ProtocolError>& decoded)
{
    return decoded ? std::nullopt : std::optional(decoded.error().kind);
}

}

TEST(SmartctlHelperProtocol, EveryMessageSurvivesARoundTrip)
{
    for (const auto& request :
        std::vector<Protocol::Request> { Protocol::FetchSMARTDataRequest { 1, "nvme0n1p2" },
            Protocol::FetchSMARTDataRequest { UINT64_MAX, "" }, Protocol::HelperVersionRequest { 0 } })
        EXPECT_EQ(Protocol::decodeRequest(Protocol::encode(request)), request);
    for (const auto& reply : std::vector<Protocol::Reply> {
             Protocol::ResultReply { 7, { Bytes(100'000, 0), "cmd", { 0, 0xff, '\n' }, 4 } },
             Protocol::ResultReply { 8, { { 'x' }, "", {}, INT32_MIN } },
             Protocol::ErrorReply { 10, { "NSCocoaErrorDomain", -4097, "中文描述" } },
             Protocol::VersionReply { 11, "0.1.0" } })
        EXPECT_EQ(Protocol::decodeReply(Protocol::encode(reply)), reply);
}

TEST(SmartctlHelperProtocol, ResultDecodingIsStrict)
{
    Json withoutStatus = validResultMap();
    withoutStatus.erase("terminationStatus"); // optional, and 0 when absent
    EXPECT_EQ(decodeSmartctlExecutionResult(cbor(withoutStatus))->terminationStatus, 0);
    std::vector<std::pair<Json, Kind>> cases;
    for (const char* key : { "jsonData", "commandDescription", "standardError" }) {
        cases.emplace_back(validResultMap(), Kind::missingField);
        cases.back().first.erase(key);
    }
    // Text where bytes belong, the other way round, and statuses that are not 32-bit integers.
    for (const auto& [key, value] : std::vector<std::pair<std::string, Json>> { { "jsonData", "{}" },
             { "standardError", "" }, { "commandDescription", Json::binary({ 'a' }) },
             { "terminationStatus", "4" }, { "terminationStatus", 4.5 }, { "terminationStatus", true },
             { "terminationStatus", std::int64_t { 1 } << 31 },
             { "terminationStatus", -(std::int64_t { 1 } << 31) - 1 }, { "terminationStatus", nullptr } }) {
        cases.emplace_back(validResultMap(), Kind::mistypedField);
        cases.back().first[key] = value;
    }
    for (const auto& [map, kind] : cases) {
        EXPECT_EQ(errorKind(decodeSmartctlExecutionResult(cbor(map))), kind) << map.dump();
        // The same strictness applies inside a reply: no half-filled result is produced.
        EXPECT_FALSE(Protocol::decodeReply(cbor(Json { { "id", 1 }, { "result", map } })));
    }
}

TEST(SmartctlHelperProtocol, MalformedMessagesAreRefused)
{
    Bytes trailing = cbor(Json { { "op", "helperVersion" }, { "id", 1 } });
    // A CBOR tag is not part of our vocabulary. Sized up front: growing a one-byte vector makes
    // GCC 12 report a false -Warray-bounds at -O2.
    Bytes tagged(trailing.size() + 1, 0xc1);
    std::copy(trailing.begin(), trailing.end(), tagged.begin() + 1);
    trailing.push_back(0x00); // a valid map followed by a stray byte is not one message
    const std::vector<std::pair<Bytes, Kind>> requests {
        { {}, Kind::emptyFrame },
        { { 0xff, 0x00, 0x13 }, Kind::malformedCbor },
        { cbor(Json::array({ 1, 2 })), Kind::notAMap },
        { cbor(Json { { "op", "rm -rf" }, { "id", 1 } }), Kind::unknownOperation },
        { cbor(Json { { "op", "helperVersion" } }), Kind::missingField },
        { cbor(Json { { "op", "helperVersion" }, { "id", -1 } }), Kind::mistypedField },
        { cbor(Json { { "op", "fetchSMARTDataForBSDName" }, { "id", 1 } }), Kind::missingField },
        { cbor(Json { { "op", "fetchSMARTDataForBSDName" }, { "id", 1 }, { "bsdName", 5 } }),
            Kind::mistypedField },
        // Requests carry exactly the keys of their operation.
        { cbor(Json { { "op", "helperVersion" }, { "id", 1 }, { "bsdName", "sda" } }), Kind::unknownKey },
        { cbor(Json { { "op", "fetchSMARTDataForBSDName" }, { "id", 1 }, { "bsdName", "sda" },
              { "padding", Json::array() } }),
            Kind::unknownKey },
        { trailing, Kind::malformedCbor },
        { tagged, Kind::malformedCbor },
        // Deep nesting must not recurse a million times, nor a claim of 2^64-1 elements be reserved.
        { Bytes(1'000'000, 0x81), Kind::malformedCbor },
        { { 0xa1, 0x61, 'x', 0x9b, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff }, Kind::malformedCbor },
    };
    for (const auto& [payload, kind] : requests)
        EXPECT_EQ(errorKind(Protocol::decodeRequest(payload)), kind) << static_cast<int>(kind);

    const std::vector<std::pair<Json, Kind>> replies {
        { Json { { "id", 1 } }, Kind::malformedReply },
        { Json { { "id", 1 }, { "version", "1.0" }, { "result", validResultMap() } }, Kind::malformedReply },
        { Json { { "id", 1 }, { "version", 1 } }, Kind::mistypedField },
        { Json { { "id", 1 }, { "error", { { "domain", "d" }, { "code", "1" }, { "description", "" } } } },
            Kind::mistypedField },
        { Json { { "id", 1 }, { "error", { { "code", 1 }, { "description", "" } } } }, Kind::missingField },
    };
    for (const auto& [document, kind] : replies)
        EXPECT_EQ(errorKind(Protocol::decodeReply(cbor(document))), kind) << document.dump();
}

// Hostile spellings are also sent end to end; here, the names that must keep passing and the
// length bound.
TEST(SmartctlHelperProtocol, OnlyPlainBlockDeviceNamesPass)
{
    for (const char* name : { "sda1", "nvme0n1p12", "dm-0", "mmcblk0p1", "Disk_1.x" })
        EXPECT_TRUE(Protocol::isPlainBlockDeviceName(name)) << name;
    for (const char* name : { "-h", ".hidden", "a..b", "sda 1", "/dev/sda", "sda\n", "$(id)", "sdä" })
        EXPECT_FALSE(Protocol::isPlainBlockDeviceName(name)) << name;
    EXPECT_TRUE(Protocol::isPlainBlockDeviceName(std::string(Protocol::maxDeviceNameLength, 'a')));
    EXPECT_FALSE(Protocol::isPlainBlockDeviceName(std::string(Protocol::maxDeviceNameLength + 1, 'a')));
}

// The wire carries the fixed English texts; the client shows them in the user's language by
// code, keeping a detail (the system's reason, the status) as sent.
TEST(HelperError, WireTextsAreEnglishAndTheClientTranslatesByCode)
{
    tallowin::testing::LanguageGuard chinese("zh_CN");
    EXPECT_EQ(HelperError::launchFailed("x"),
        (HelperError { "com.tallowin.ProbeWarden.error", 2, "Failed to launch smartctl: x" }));
    EXPECT_FALSE((HelperError { "NSXPCErrorDomain", 4, "" }).is(HelperError::Code::emptyOutput));
    const std::vector<std::pair<HelperError, std::string>> shown {
        { HelperError::launchFailed("Permission denied"), "无法启动 smartctl：Permission denied" },
        { HelperError::nonZeroExit(4), "smartctl 退出状态为 4" },
        // Untranslatable texts and foreign domains are shown as sent.
        { HelperError::make(HelperError::Code::executionFailedUnknown, "smartctl did not finish"),
            "smartctl did not finish" },
        { HelperError { "NSCocoaErrorDomain", 1, "No smartctl executable was found." },
            "No smartctl executable was found." },
    };
    for (const auto& [error, text] : shown)
        EXPECT_EQ(error.localizedDescription(), text) << error.description;
    tallowin::testing::LanguageGuard english("en_US");
    EXPECT_EQ(HelperError::nonZeroExit(4).localizedDescription(), "smartctl exited with status 4");
}
