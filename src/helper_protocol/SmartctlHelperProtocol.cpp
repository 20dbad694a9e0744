#include "helper_protocol/SmartctlHelperProtocol.h"

#include <cstdlib>
#include <limits>
#include <nlohmann/json.hpp>

namespace tallowin {

namespace {

// Ordered, so that maps go out with their keys in the order written below.
using Json = nlohmann::ordered_json;

// Builds the document like nlohmann's own DOM parser, but refuses nesting deeper than any
// message of ours needs and container sizes that the payload cannot possibly hold. The CBOR
// reader recurses per nesting level, so an unbounded depth would let a peer exhaust our stack.
class BoundedSaxParser {
public:
    static constexpr std::size_t maxDepth = 16;

    BoundedSaxParser(Json& root, std::size_t payloadSize)
        : m_parser(root, false)
        , m_payloadSize(payloadSize)
    { }

    bool null() { return m_parser.null(); }
    bool boolean(bool value) { return m_parser.boolean(value); }
    bool number_integer(Json::number_integer_t value) { return m_parser.number_integer(value); }
    bool number_unsigned(Json::number_unsigned_t value) { return m_parser.number_unsigned(value); }
    bool number_float(Json::number_float_t value, const Json::string_t& text)
    {
        return m_parser.number_float(value, text);
    }
    bool string(Json::string_t& value) { return m_parser.string(value); }
    bool binary(Json::binary_t& value) { return m_parser.binary(value); }
    bool start_object(std::size_t size) { return enter(size) && m_parser.start_object(size); }
    bool key(Json::string_t& value) { return m_parser.key(value); }
    bool end_object()
    {
        --m_depth;
        return m_parser.end_object();
    }
    bool start_array(std::size_t size) { return enter(size) && m_parser.start_array(size); }
    bool end_array()
    {
        --m_depth;
        return m_parser.end_array();
    }
    bool parse_error(std::size_t position, const std::string& token, const nlohmann::detail::exception& error)
    {
        return m_parser.parse_error(position, token, error);
    }

    bool is_errored() const { return m_parser.is_errored(); }

private:
    bool enter(std::size_t size)
    {
        if (++m_depth > maxDepth)
            return false;
        // Every element takes at least one byte, so a larger count is a lie.
        return size == static_cast<std::size_t>(-1) || size <= m_payloadSize;
    }

    nlohmann::detail::json_sax_dom_parser<Json> m_parser;
    std::size_t m_payloadSize;
    std::size_t m_depth { 0 };
};

ProtocolError error(ProtocolError::Kind kind, std::string detail = {})
{
    return { kind, std::move(detail) };
}

Expected<Json, ProtocolError> parseMap(ByteView payload)
{
    if (payload.empty())
        return Unexpected(error(ProtocolError::Kind::emptyFrame));
    Json root;
    BoundedSaxParser sax(root, payload.size());
    bool parsed = false;
    try {
        // Strict: trailing bytes after the map are an error. CBOR tags are refused.
        parsed = Json::sax_parse(
            payload.begin(), payload.end(), &sax, nlohmann::detail::input_format_t::cbor, true);
    } catch (const std::exception&) {
        // Allocation failures and the library's own range errors end up here.
        parsed = false;
    }
    if (!parsed || sax.is_errored() || root.is_discarded())
        return Unexpected(error(ProtocolError::Kind::malformedCbor));
    if (!root.is_object())
        return Unexpected(error(ProtocolError::Kind::notAMap));
    return root;
}

Bytes toCbor(const Json& document)
{
    return Json::to_cbor(document);
}

const Json* field(const Json& map, std::string_view name)
{
    const auto it = map.find(name);
    return it == map.end() ? nullptr : &*it;
}

Expected<std::string, ProtocolError> requireText(const Json& map, std::string_view name)
{
    const Json* value = field(map, name);
    if (!value)
        return Unexpected(error(ProtocolError::Kind::missingField, std::string(name)));
    if (!value->is_string())
        return Unexpected(error(ProtocolError::Kind::mistypedField, std::string(name)));
    return value->get<std::string>();
}

Expected<Bytes, ProtocolError> requireBytes(const Json& map, std::string_view name)
{
    const Json* value = field(map, name);
    if (!value)
        return Unexpected(error(ProtocolError::Kind::missingField, std::string(name)));
    if (!value->is_binary())
        return Unexpected(error(ProtocolError::Kind::mistypedField, std::string(name)));
    return Bytes(value->get_binary().begin(), value->get_binary().end());
}

Expected<std::int64_t, ProtocolError> requireInteger(const Json& map, std::string_view name,
    std::int64_t minimum = std::numeric_limits<std::int64_t>::min(),
    std::int64_t maximum = std::numeric_limits<std::int64_t>::max())
{
    const Json* value = field(map, name);
    if (!value)
        return Unexpected(error(ProtocolError::Kind::missingField, std::string(name)));
    if (value->is_number_unsigned()) {
        const auto number = value->get<std::uint64_t>();
        if (number > static_cast<std::uint64_t>(maximum))
            return Unexpected(error(ProtocolError::Kind::mistypedField, std::string(name)));
        return static_cast<std::int64_t>(number);
    }
    if (value->is_number_integer()) {
        const auto number = value->get<std::int64_t>();
        if (number < minimum || number > maximum)
            return Unexpected(error(ProtocolError::Kind::mistypedField, std::string(name)));
        return number;
    }
    return Unexpected(error(ProtocolError::Kind::mistypedField, std::string(name)));
}

Expected<SmartctlHelperProtocol::RequestId, ProtocolError> requireId(const Json& map)
{
    const Json* value = field(map, "id");
    if (!value)
        return Unexpected(error(ProtocolError::Kind::missingField, "id"));
    if (!value->is_number_unsigned())
        return Unexpected(error(ProtocolError::Kind::mistypedField, "id"));
    return value->get<std::uint64_t>();
}

Json binary(const Bytes& bytes)
{
    return Json::binary(bytes);
}

Json resultMap(const SmartctlExecutionResult& result)
{
    // Keys in the order of the result's fields.
    Json map = Json::object();
    map["jsonData"] = binary(result.jsonData);
    map["commandDescription"] = result.commandDescription;
    map["standardError"] = binary(result.standardError);
    map["terminationStatus"] = result.terminationStatus;
    return map;
}

Expected<SmartctlExecutionResult, ProtocolError> resultFromMap(const Json& map)
{
    if (!map.is_object())
        return Unexpected(error(ProtocolError::Kind::mistypedField, "result"));
    auto jsonData = requireBytes(map, "jsonData");
    if (!jsonData)
        return Unexpected(jsonData.error());
    auto commandDescription = requireText(map, "commandDescription");
    if (!commandDescription)
        return Unexpected(commandDescription.error());
    auto standardError = requireBytes(map, "standardError");
    if (!standardError)
        return Unexpected(standardError.error());
    std::int32_t status = 0;
    if (field(map, "terminationStatus")) {
        auto number = requireInteger(map, "terminationStatus", std::numeric_limits<std::int32_t>::min(),
            std::numeric_limits<std::int32_t>::max());
        if (!number)
            return Unexpected(number.error());
        status = static_cast<std::int32_t>(*number);
    }
    return SmartctlExecutionResult { std::move(jsonData).value(), std::move(commandDescription).value(),
        std::move(standardError).value(), status };
}

Expected<HelperError, ProtocolError> helperErrorFromMap(const Json& map)
{
    if (!map.is_object())
        return Unexpected(error(ProtocolError::Kind::mistypedField, "error"));
    auto domain = requireText(map, "domain");
    if (!domain)
        return Unexpected(domain.error());
    auto code = requireInteger(map, "code");
    if (!code)
        return Unexpected(code.error());
    auto description = requireText(map, "description");
    if (!description)
        return Unexpected(description.error());
    return HelperError { std::move(domain).value(), *code, std::move(description).value() };
}

}

std::string SmartctlHelperProtocol::socketPath()
{
    const char* value = std::getenv(socketPathVariable);
    if (value && *value)
        return value;
    return std::string(defaultSocketPath);
}

bool SmartctlHelperProtocol::isPlainBlockDeviceName(std::string_view name)
{
    if (name.empty() || name.size() > maxDeviceNameLength)
        return false;
    if (name.front() == '-' || name.front() == '.')
        return false;
    for (const char c : name) {
        const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')
            || c == '-' || c == '_' || c == '.';
        if (!allowed)
            return false;
    }
    // Without '/' a name cannot leave /dev, but ".." is refused anyway: no block device has it.
    return name.find("..") == std::string_view::npos;
}

SmartctlHelperProtocol::RequestId SmartctlHelperProtocol::requestId(const Request& request)
{
    return std::visit([](const auto& message) { return message.id; }, request);
}

SmartctlHelperProtocol::RequestId SmartctlHelperProtocol::replyId(const Reply& reply)
{
    return std::visit([](const auto& message) { return message.id; }, reply);
}

Bytes SmartctlHelperProtocol::encode(const Request& request)
{
    Json map = Json::object();
    if (const auto* fetch = std::get_if<FetchSMARTDataRequest>(&request)) {
        map["op"] = fetchOperation;
        map["id"] = fetch->id;
        map["bsdName"] = fetch->bsdName;
    } else {
        map["op"] = versionOperation;
        map["id"] = std::get<HelperVersionRequest>(request).id;
    }
    return toCbor(map);
}

Bytes SmartctlHelperProtocol::encode(const Reply& reply)
{
    Json map = Json::object();
    map["id"] = replyId(reply);
    if (const auto* result = std::get_if<ResultReply>(&reply)) {
        map["result"] = resultMap(result->result);
    } else if (const auto* failure = std::get_if<ErrorReply>(&reply)) {
        map["error"] = Json::object();
        map["error"]["domain"] = failure->error.domain;
        map["error"]["code"] = failure->error.code;
        map["error"]["description"] = failure->error.description;
    } else {
        map["version"] = std::get<VersionReply>(reply).version;
    }
    return toCbor(map);
}

Expected<SmartctlHelperProtocol::Request, ProtocolError> SmartctlHelperProtocol::decodeRequest(
    ByteView payload)
{
    auto map = parseMap(payload);
    if (!map)
        return Unexpected(map.error());
    auto operation = requireText(*map, "op");
    if (!operation)
        return Unexpected(operation.error());
    auto id = requireId(*map);
    if (!id)
        return Unexpected(id.error());
    // Requests are strict: a key that is not part of the operation is refused, so a peer cannot
    // make the daemon carry anything it does not use.
    const std::size_t expectedKeys = *operation == fetchOperation ? 3 : 2;
    if (map->size() != expectedKeys) {
        for (const auto& [key, value] : map->items()) {
            if (key != "op" && key != "id" && !(key == "bsdName" && *operation == fetchOperation))
                return Unexpected(error(ProtocolError::Kind::unknownKey, key.substr(0, 64)));
        }
    }
    if (*operation == fetchOperation) {
        auto bsdName = requireText(*map, "bsdName");
        if (!bsdName)
            return Unexpected(bsdName.error());
        return Request(FetchSMARTDataRequest { *id, std::move(bsdName).value() });
    }
    if (*operation == versionOperation)
        return Request(HelperVersionRequest { *id });
    return Unexpected(error(ProtocolError::Kind::unknownOperation, *operation));
}

Expected<SmartctlHelperProtocol::Reply, ProtocolError> SmartctlHelperProtocol::decodeReply(ByteView payload)
{
    auto map = parseMap(payload);
    if (!map)
        return Unexpected(map.error());
    auto id = requireId(*map);
    if (!id)
        return Unexpected(id.error());
    const Json* result = field(*map, "result");
    const Json* failure = field(*map, "error");
    const Json* version = field(*map, "version");
    if ((result != nullptr) + (failure != nullptr) + (version != nullptr) != 1)
        return Unexpected(error(ProtocolError::Kind::malformedReply));
    if (result) {
        auto decoded = resultFromMap(*result);
        if (!decoded)
            return Unexpected(decoded.error());
        return Reply(ResultReply { *id, std::move(decoded).value() });
    }
    if (failure) {
        auto decoded = helperErrorFromMap(*failure);
        if (!decoded)
            return Unexpected(decoded.error());
        return Reply(ErrorReply { *id, std::move(decoded).value() });
    }
    if (!version->is_string())
        return Unexpected(error(ProtocolError::Kind::mistypedField, "version"));
    return Reply(VersionReply { *id, version->get<std::string>() });
}

Expected<SmartctlExecutionResult, ProtocolError> decodeSmartctlExecutionResult(ByteView cborMap)
{
    auto map = parseMap(cborMap);
    if (!map)
        return Unexpected(map.error());
    return resultFromMap(*map);
}

Bytes encodeSmartctlExecutionResult(const SmartctlExecutionResult& result)
{
    return toCbor(resultMap(result));
}

}
