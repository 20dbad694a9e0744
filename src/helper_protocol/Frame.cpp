#include "helper_protocol/Frame.h"

#include <string>

namespace tallowin {

Bytes encodeFrame(ByteView payload)
{
    Bytes frame;
    frame.reserve(frameHeaderSize + payload.size());
    const auto size = static_cast<std::uint32_t>(payload.size());
    frame.push_back(static_cast<std::uint8_t>(size >> 24));
    frame.push_back(static_cast<std::uint8_t>(size >> 16));
    frame.push_back(static_cast<std::uint8_t>(size >> 8));
    frame.push_back(static_cast<std::uint8_t>(size));
    frame.insert(frame.end(), payload.begin(), payload.end());
    return frame;
}

void FrameDecoder::feed(ByteView bytes)
{
    if (m_error)
        return;
    // Drop what was already handed out before growing, so a long-lived connection's buffer
    // stays the size of one frame.
    if (m_offset > 0 && m_offset == m_buffer.size()) {
        m_buffer.clear();
        m_offset = 0;
    } else if (m_offset > m_buffer.size() / 2) {
        m_buffer.erase(m_buffer.begin(), m_buffer.begin() + static_cast<std::ptrdiff_t>(m_offset));
        m_offset = 0;
    }
    m_buffer.insert(m_buffer.end(), bytes.begin(), bytes.end());
}

Expected<std::optional<Bytes>, ProtocolError> FrameDecoder::next()
{
    if (m_error)
        return Unexpected(*m_error);
    if (bufferedSize() < frameHeaderSize)
        return std::optional<Bytes>();
    const std::uint8_t* header = m_buffer.data() + m_offset;
    const std::size_t size = (std::size_t { header[0] } << 24) | (std::size_t { header[1] } << 16)
        | (std::size_t { header[2] } << 8) | std::size_t { header[3] };
    if (size == 0) {
        m_error = ProtocolError { ProtocolError::Kind::emptyFrame, {} };
        return Unexpected(*m_error);
    }
    if (size > m_maxFrameSize) {
        m_error = ProtocolError { ProtocolError::Kind::frameTooLarge, std::to_string(size) + " bytes" };
        return Unexpected(*m_error);
    }
    if (bufferedSize() < frameHeaderSize + size)
        return std::optional<Bytes>();
    const auto begin = m_buffer.begin() + static_cast<std::ptrdiff_t>(m_offset + frameHeaderSize);
    Bytes payload(begin, begin + static_cast<std::ptrdiff_t>(size));
    m_offset += frameHeaderSize + size;
    return std::optional<Bytes>(std::move(payload));
}

}
