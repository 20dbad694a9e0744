#include "helper_protocol/SmartctlHelperProtocol.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <limits>
#include <nlohmann/json.hpp>

using namespace tallowin;
using Protocol = SmartctlHelperProtocol;
using Json = nlohmann::json;

namespace {

Bytes cbor(const Json& document)
{
    return Json::to_cbor(document);
}

Json validResultMap()
{
    return Json { { "jsonData", Json::binary({ '{', '}' }) },
        { "commandDescription", "/usr/sbin/smartctl -j -x /dev/sda" }, { "standardError", Json::binary({}) },
        { "terminationStatus", 4 } };
}

Bytes readFixture(const std::string& name)
{
    std::ifstream file(
        std::filesystem::path(TALLOWIN_SHARED_DIR) / "fixtures" / "smartctl" / name, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(file), {});
}

ProtocolError::Kind decodeResultError(const Json& resultMap)
{
    auto decoded = decodeSmartctlExecutionResult(cbor(resultMap));
    EXPECT_FALSE(decoded.has_value());
    return decoded ? ProtocolError::Kind::notAMap : decoded.error().kind;
}

class ScopedLanguage {
public:
    explicit ScopedLanguage(const char* language)
    {
        if (const char* old = std::getenv("LANGUAGE"))
            m_previous = old;
        ::setenv("LANGUAGE", language, 1);
    }
    ~ScopedLanguage()
    {
        if (m_previous)
            ::setenv("LANGUAGE", m_previous->c_str(), 1);
        else
            ::unsetenv("LANGUAGE");
    }

private:
    std::optional<std::string> m_previous;
};

}

TEST(SmartctlHelperProtocol, EveryMessageSurvivesARoundTrip)
{
    const Bytes smartctlOutput = readFixture("ata-ssd-samsung-860evo-xall.json");
    ASSERT_FALSE(smartctlOutput.empty());
    const Bytes withNulBytes { 0, 1, 2, 0xff, 0, '\n' };
    const Protocol::Request requests[] = {
        Protocol::FetchSMARTDataRequest { 1, "nvme0n1p2" },
        Protocol::FetchSMARTDataRequest { std::numeric_limits<std::uint64_t>::max(), "" },
        Protocol::HelperVersionRequest { 0 },
    };
    for (const auto& request : requests) {
        auto decoded = Protocol::decodeRequest(Protocol::encode(request));
        ASSERT_TRUE(decoded.has_value());
        EXPECT_EQ(*decoded, request);
    }
    const Protocol::Reply replies[] = {
        Protocol::ResultReply { 7, { smartctlOutput, "/usr/sbin/smartctl -j -x /dev/sda", withNulBytes, 4 } },
        Protocol::ResultReply { 8, { { 'x' }, "", {}, std::numeric_limits<std::int32_t>::min() } },
        Protocol::ErrorReply { 9, HelperError::emptyOutput() },
        Protocol::ErrorReply { 10, { "NSCocoaErrorDomain", -4097, "中文描述" } },
        Protocol::VersionReply { 11, "0.1.0" },
    };
    for (const auto& reply : replies) {
        auto decoded = Protocol::decodeReply(Protocol::encode(reply));
        ASSERT_TRUE(decoded.has_value());
        EXPECT_EQ(*decoded, reply);
    }
}

TEST(SmartctlHelperProtocol, ResultTravelsAsAMapWithRealByteStrings)
{
    const Protocol::Reply reply = Protocol::ResultReply { 3, { { '{', '}' }, "cmd", { 'e' }, 2 } };
    const Json wire = Json::from_cbor(Protocol::encode(reply));
    EXPECT_EQ(wire["id"], 3);
    EXPECT_TRUE(wire["result"]["jsonData"].is_binary());
    EXPECT_TRUE(wire["result"]["standardError"].is_binary());
    EXPECT_TRUE(wire["result"]["commandDescription"].is_string());
    EXPECT_EQ(wire["result"]["terminationStatus"], 2);

    const Json request = Json::from_cbor(Protocol::encode(Protocol::FetchSMARTDataRequest { 5, "sda" }));
    EXPECT_EQ(request, (Json { { "op", "fetchSMARTDataForBSDName" }, { "id", 5 }, { "bsdName", "sda" } }));
    const Json version = Json::from_cbor(Protocol::encode(Protocol::HelperVersionRequest { 6 }));
    EXPECT_EQ(version, (Json { { "op", "helperVersion" }, { "id", 6 } }));
}

TEST(SmartctlHelperProtocol, ResultDecodingIsStrict)
{
    Json map = validResultMap();
    ASSERT_TRUE(decodeSmartctlExecutionResult(cbor(map)).has_value());

    map.erase("terminationStatus");
    auto withoutStatus = decodeSmartctlExecutionResult(cbor(map));
    ASSERT_TRUE(withoutStatus.has_value());
    EXPECT_EQ(withoutStatus->terminationStatus, 0);

    for (const char* key : { "jsonData", "commandDescription", "standardError" }) {
        Json missing = validResultMap();
        missing.erase(key);
        EXPECT_EQ(decodeResultError(missing), ProtocolError::Kind::missingField) << key;
    }
    // Text where bytes belong, and the other way round.
    Json mistyped = validResultMap();
    mistyped["jsonData"] = "{}";
    EXPECT_EQ(decodeResultError(mistyped), ProtocolError::Kind::mistypedField);
    mistyped = validResultMap();
    mistyped["standardError"] = "";
    EXPECT_EQ(decodeResultError(mistyped), ProtocolError::Kind::mistypedField);
    mistyped = validResultMap();
    mistyped["commandDescription"] = Json::binary({ 'a' });
    EXPECT_EQ(decodeResultError(mistyped), ProtocolError::Kind::mistypedField);
    for (const Json& status : { Json("4"), Json(4.5), Json(true), Json(std::int64_t { 1 } << 31),
             Json(-(std::int64_t { 1 } << 31) - 1), Json(nullptr) }) {
        mistyped = validResultMap();
        mistyped["terminationStatus"] = status;
        EXPECT_EQ(decodeResultError(mistyped), ProtocolError::Kind::mistypedField) << status.dump();
    }
    Json negative = validResultMap();
    negative["terminationStatus"] = -1;
    EXPECT_EQ(decodeSmartctlExecutionResult(cbor(negative))->terminationStatus, -1);

    // The same strictness applies inside a reply: no half-filled result is produced.
    Json reply { { "id", 1 }, { "result", validResultMap() } };
    reply["result"].erase("standardError");
    EXPECT_FALSE(Protocol::decodeReply(cbor(reply)).has_value());
}

TEST(SmartctlHelperProtocol, MalformedMessagesAreRefused)
{
    const auto requestError = [](const Bytes& payload) {
        auto decoded = Protocol::decodeRequest(payload);
        EXPECT_FALSE(decoded.has_value());
        return decoded ? ProtocolError::Kind::notAMap : decoded.error().kind;
    };
    EXPECT_EQ(requestError({}), ProtocolError::Kind::emptyFrame);
    EXPECT_EQ(requestError({ 0xff, 0x00, 0x13 }), ProtocolError::Kind::malformedCbor);
    EXPECT_EQ(requestError(cbor(Json::array({ 1, 2 }))), ProtocolError::Kind::notAMap);
    EXPECT_EQ(
        requestError(cbor(Json { { "op", "rm -rf" }, { "id", 1 } })), ProtocolError::Kind::unknownOperation);
    EXPECT_EQ(requestError(cbor(Json { { "op", "helperVersion" } })), ProtocolError::Kind::missingField);
    EXPECT_EQ(requestError(cbor(Json { { "op", "helperVersion" }, { "id", -1 } })),
        ProtocolError::Kind::mistypedField);
    EXPECT_EQ(requestError(cbor(Json { { "op", "fetchSMARTDataForBSDName" }, { "id", 1 } })),
        ProtocolError::Kind::missingField);
    EXPECT_EQ(
        requestError(cbor(Json { { "op", "fetchSMARTDataForBSDName" }, { "id", 1 }, { "bsdName", 5 } })),
        ProtocolError::Kind::mistypedField);

    // A valid map followed by stray bytes is not one message.
    Bytes trailing = cbor(Json { { "op", "helperVersion" }, { "id", 1 } });
    trailing.push_back(0x00);
    EXPECT_EQ(requestError(trailing), ProtocolError::Kind::malformedCbor);
    // A CBOR tag is not part of our vocabulary.
    Bytes tagged { 0xc1 };
    const Bytes body = cbor(Json { { "op", "helperVersion" }, { "id", 1 } });
    tagged.insert(tagged.end(), body.begin(), body.end());
    EXPECT_EQ(requestError(tagged), ProtocolError::Kind::malformedCbor);

    // A million nested arrays must not recurse a million times, and an array that claims
    // 2^64-1 elements must not be reserved.
    Bytes deep(1'000'000, 0x81);
    EXPECT_EQ(requestError(deep), ProtocolError::Kind::malformedCbor);
    Bytes huge { 0xa1, 0x61, 'x', 0x9b, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff };
    EXPECT_EQ(requestError(huge), ProtocolError::Kind::malformedCbor);

    const auto replyError = [](const Json& document) {
        auto decoded = Protocol::decodeReply(cbor(document));
        EXPECT_FALSE(decoded.has_value());
        return decoded ? ProtocolError::Kind::notAMap : decoded.error().kind;
    };
    EXPECT_EQ(replyError(Json { { "id", 1 } }), ProtocolError::Kind::malformedReply);
    EXPECT_EQ(replyError(Json { { "id", 1 }, { "version", "1.0" }, { "result", validResultMap() } }),
        ProtocolError::Kind::malformedReply);
    EXPECT_EQ(replyError(Json { { "id", 1 }, { "version", 1 } }), ProtocolError::Kind::mistypedField);
    EXPECT_EQ(replyError(Json {
                  { "id", 1 }, { "error", { { "domain", "d" }, { "code", "1" }, { "description", "" } } } }),
        ProtocolError::Kind::mistypedField);
    EXPECT_EQ(replyError(Json { { "id", 1 }, { "error", { { "code", 1 }, { "description", "" } } } }),
        ProtocolError::Kind::missingField);
}

TEST(SmartctlHelperProtocol, OnlyPlainBlockDeviceNamesPass)
{
    for (const char* name : { "sda", "sda1", "nvme0n1", "nvme0n1p12", "dm-0", "mmcblk0p1", "md127", "loop3",
             "sr0", "zd0", "vda", "Disk_1.x" })
        EXPECT_TRUE(Protocol::isPlainBlockDeviceName(name)) << name;
    for (const char* name : { "", "../etc/passwd", "sda/../../x", "-h", "--scan", ".hidden", "a..b", "sda 1",
             "sda;reboot", "/dev/sda", "sda\n", "$(id)", "sdä" })
        EXPECT_FALSE(Protocol::isPlainBlockDeviceName(name)) << name;
    EXPECT_FALSE(Protocol::isPlainBlockDeviceName(std::string_view("sd\0a", 4)));
    EXPECT_TRUE(Protocol::isPlainBlockDeviceName(std::string(Protocol::maxDeviceNameLength, 'a')));
    EXPECT_FALSE(Protocol::isPlainBlockDeviceName(std::string(Protocol::maxDeviceNameLength + 1, 'a')));
}

TEST(HelperError, CodesAndTextsInBothLanguages)
{
    {
        ScopedLanguage english("en_US");
        EXPECT_EQ(HelperError::smartctlNotFound(),
            (HelperError { "com.tallowin.ProbeWarden.error", 1, "No smartctl executable was found." }));
        EXPECT_EQ(HelperError::launchFailed("No such file or directory"),
            (HelperError { "com.tallowin.ProbeWarden.error", 2,
                "Failed to launch smartctl: No such file or directory" }));
        EXPECT_EQ(HelperError::nonZeroExit(-3).description, "smartctl exited with status -3");
        EXPECT_EQ(HelperError::nonZeroExit(-3).code, 3);
        EXPECT_EQ(HelperError::emptyOutput(),
            (HelperError {
                "com.tallowin.ProbeWarden.error", 4, "smartctl exited without producing output" }));
        EXPECT_EQ(HelperError::invalidDeviceName(),
            (HelperError { "com.tallowin.ProbeWarden.error", 5, "Invalid device name." }));
        EXPECT_EQ(HelperError::executionFailedUnknown(),
            (HelperError {
                "com.tallowin.ProbeWarden.error", 999, "smartctl execution failed for an unknown reason" }));
        EXPECT_TRUE(HelperError::emptyOutput().is(HelperError::Code::emptyOutput));
        EXPECT_FALSE((HelperError { "NSXPCErrorDomain", 4, "" }).is(HelperError::Code::emptyOutput));
    }
    ScopedLanguage chinese("zh_CN");
    EXPECT_EQ(HelperError::invalidDeviceName().description, "设备名称无效。");
    EXPECT_EQ(HelperError::smartctlNotFound().description, "未找到 smartctl 可执行文件。");
    EXPECT_EQ(HelperError::nonZeroExit(4).description, "smartctl 退出状态为 4");
}
