#pragma once

#include "core/Expected.h"
#include "helper_protocol/Bytes.h"
#include "helper_protocol/ProtocolError.h"

#include <cstddef>
#include <optional>

namespace tallowin {

// Frames: a 4-byte big-endian payload length, then the payload. smartctl -x output is well
// under 1 MiB, so 16 MiB leaves room while stopping a peer from making us buffer gigabytes.
inline constexpr std::size_t defaultMaxFrameSize = 16 * 1024 * 1024;
inline constexpr std::size_t frameHeaderSize = 4;

Bytes encodeFrame(ByteView payload);

// Turns a byte stream into frames, whatever the stream's chunking. Once it has seen a bad
// length prefix it stays failed: the stream cannot be resynchronised and must be closed.
class FrameDecoder {
public:
    explicit FrameDecoder(std::size_t maxFrameSize = defaultMaxFrameSize)
        : m_maxFrameSize(maxFrameSize)
    { }

    void feed(ByteView bytes);

    // The next complete payload, std::nullopt when more bytes are needed, or the error that
    // ended the stream.
    Expected<std::optional<Bytes>, ProtocolError> next();

    // Bytes received but not yet returned as a frame.
    std::size_t bufferedSize() const { return m_buffer.size() - m_offset; }
    bool failed() const { return m_error.has_value(); }

private:
    std::size_t m_maxFrameSize;
    Bytes m_buffer;
    std::size_t m_offset { 0 };
    std::optional<ProtocolError> m_error;
};

}
