// Arbitrary bytes in arbitrary chunks to the frame decoder, and its frames to both message decoders.
#include "helper_protocol/Frame.h"
#include "helper_protocol/SmartctlHelperProtocol.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace tallowin;
    // Small limit so that the fuzzer reaches the size check as well as whole frames.
    FrameDecoder decoder(4096);
    std::size_t offset = 0;
    while (offset < size) {
        // The first byte of each chunk decides the chunk's length.
        const std::size_t chunk = std::min<std::size_t>(size - offset, 1 + data[offset] % 64);
        decoder.feed(ByteView(data + offset, chunk));
        offset += chunk;
        for (auto frame = decoder.next(); frame && *frame; frame = decoder.next()) {
            (void)SmartctlHelperProtocol::decodeRequest(**frame);
            (void)SmartctlHelperProtocol::decodeReply(**frame);
        }
    }
    (void)SmartctlHelperProtocol::decodeRequest(ByteView(data, size));
    (void)SmartctlHelperProtocol::decodeReply(ByteView(data, size));
    return 0;
}
