#pragma once

#include <string>

namespace tallowin {

// Why bytes from the other side could not be turned into a message. The connection that sent
// them is closed; nothing else is affected.
struct ProtocolError {
    enum class Kind {
        frameTooLarge, // the length prefix announces more than the frame size limit
        emptyFrame, // a length prefix of zero
        malformedCbor, // the payload is not one well-formed CBOR item of bounded depth
        notAMap, // the payload is CBOR but not a map
        missingField, // a required key is absent (detail names it)
        mistypedField, // a key holds a value of the wrong type or range (detail names it)
        unknownOperation, // a request whose "op" is not one of the two operations
        malformedReply, // a reply with none, or more than one, of "result", "error", "version"
        unknownKey, // a request with a key its operation does not have (detail names it)
    };

    Kind kind;
    std::string detail;

    std::string localizedDescription() const;

    friend bool operator==(const ProtocolError&, const ProtocolError&) = default;
};

}
