#pragma once

#include "core/Expected.h"
#include "helper_protocol/Bytes.h"
#include "helper_protocol/HelperError.h"
#include "helper_protocol/ProtocolError.h"
#include "helper_protocol/SmartctlExecutionResult.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace tallowin {

// The two operations between the application and the daemon, and their replies, as typed
// messages. On the wire each message is one CBOR map inside a length-prefixed frame (Frame.h):
//   {"op": "fetchSMARTDataForBSDName", "id": N, "bsdName": TEXT}
//   {"op": "helperVersion", "id": N}
//   {"id": N, "result": {"jsonData": BYTES, "commandDescription": TEXT, "standardError": BYTES,
//                        "terminationStatus": INT}}
//   {"id": N, "error": {"domain": TEXT, "code": INT, "description": TEXT}}
//   {"id": N, "version": TEXT}
// The id lets several requests be in flight on one connection; every reply repeats it.
struct SmartctlHelperProtocol {
    using RequestId = std::uint64_t;

    struct FetchSMARTDataRequest {
        RequestId id { 0 };
        std::string bsdName; // without "/dev/"

        friend bool operator==(const FetchSMARTDataRequest&, const FetchSMARTDataRequest&) = default;
    };
    struct HelperVersionRequest {
        RequestId id { 0 };

        friend bool operator==(const HelperVersionRequest&, const HelperVersionRequest&) = default;
    };
    using Request = std::variant<FetchSMARTDataRequest, HelperVersionRequest>;

    struct ResultReply {
        RequestId id { 0 };
        SmartctlExecutionResult result;

        friend bool operator==(const ResultReply&, const ResultReply&) = default;
    };
    struct ErrorReply {
        RequestId id { 0 };
        HelperError error;

        friend bool operator==(const ErrorReply&, const ErrorReply&) = default;
    };
    struct VersionReply {
        RequestId id { 0 };
        std::string version;

        friend bool operator==(const VersionReply&, const VersionReply&) = default;
    };
    using Reply = std::variant<ResultReply, ErrorReply, VersionReply>;

    static constexpr std::string_view fetchOperation = "fetchSMARTDataForBSDName";
    static constexpr std::string_view versionOperation = "helperVersion";

    // The version the daemon reports when it was built without one.
    static constexpr std::string_view fallbackVersion = "1.0";

    // The daemon's socket: TALLOWIN_HELPER_SOCKET when set and not empty, else the path that
    // the systemd socket unit listens on.
    static constexpr std::string_view defaultSocketPath = "/run/tallowin/probewarden.sock";
    static constexpr const char* socketPathVariable = "TALLOWIN_HELPER_SOCKET";
    static std::string socketPath();

    // A plain kernel block-device name ("sda", "nvme0n1p2", "dm-0", "mmcblk0p1"): 1 to
    // maxDeviceNameLength letters, digits, '-', '_' or '.', not starting with '-' or '.'. The
    // daemon runs as root and puts the name after "/dev/", so anything else is refused.
    static constexpr std::size_t maxDeviceNameLength = 64;
    static bool isPlainBlockDeviceName(std::string_view);

    static RequestId requestId(const Request&);
    static RequestId replyId(const Reply&);

    // The CBOR payload of one message (without the frame's length prefix).
    static Bytes encode(const Request&);
    static Bytes encode(const Reply&);
    // Requests are decoded strictly: exactly the keys of their operation, nothing else.
    static Expected<Request, ProtocolError> decodeRequest(ByteView payload);
    static Expected<Reply, ProtocolError> decodeReply(ByteView payload);
};

// Strict decoding of a result map: "jsonData" and "standardError" must be byte strings and
// "commandDescription" a text; a missing "terminationStatus" is 0, a present one must be an
// integer that fits 32 bits. Anything else yields no result at all.
Expected<SmartctlExecutionResult, ProtocolError> decodeSmartctlExecutionResult(ByteView cborMap);
Bytes encodeSmartctlExecutionResult(const SmartctlExecutionResult&);

}
