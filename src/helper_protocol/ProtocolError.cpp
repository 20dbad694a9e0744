#include "helper_protocol/ProtocolError.h"

#include "core/Language.h"

namespace tallowin {

std::string ProtocolError::localizedDescription() const
{
    std::string text;
    switch (kind) {
    case Kind::frameTooLarge:
        text = localized("Helper message exceeds the size limit", "辅助程序消息超出大小限制");
        break;
    case Kind::emptyFrame:
        text = localized("Helper message is empty", "辅助程序消息为空");
        break;
    case Kind::malformedCbor:
        text = localized("Helper message is not valid CBOR", "辅助程序消息不是有效的 CBOR");
        break;
    case Kind::notAMap:
        text = localized("Helper message is not a map", "辅助程序消息不是映射");
        break;
    case Kind::missingField:
        text = localized("Helper message lacks a field", "辅助程序消息缺少字段");
        break;
    case Kind::mistypedField:
        text = localized("Helper message field has the wrong type", "辅助程序消息字段类型错误");
        break;
    case Kind::unknownOperation:
        text = localized("Helper request names an unknown operation", "辅助程序请求包含未知操作");
        break;
    case Kind::malformedReply:
        text = localized("Helper reply is neither a result, an error nor a version",
            "辅助程序回复既不是结果、错误，也不是版本");
        break;
    case Kind::unknownKey:
        text = localized("Helper request has a key its operation does not take", "辅助程序请求包含其操作不接受的键");
        break;
    }
    if (!detail.empty())
        text += ": " + detail;
    return text;
}

}
