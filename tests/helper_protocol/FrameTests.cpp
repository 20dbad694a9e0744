#include "helper_protocol/Frame.h"
#include "helper_protocol/SmartctlHelperProtocol.h"

#include <gtest/gtest.h>
#include <random>

using namespace tallowin;

namespace {

// Every complete frame the decoder has; stops at the first error or when more bytes are needed.
std::vector<Bytes> drain(FrameDecoder& decoder)
{
    std::vector<Bytes> frames;
    for (auto next = decoder.next(); next && *next; next = decoder.next())
        frames.push_back(std::move(**next));
    return frames;
}

}

TEST(FrameDecoder, SplitsAStreamIntoFramesWhateverItsChunking)
{
    const Bytes first
        = SmartctlHelperProtocol::encode(SmartctlHelperProtocol::FetchSMARTDataRequest { 1, "sda" });
    const Bytes second(70'000, 0x5a);
    Bytes stream = encodeFrame(first);
    const Bytes secondFrame = encodeFrame(second);
    EXPECT_EQ(Bytes(secondFrame.begin(), secondFrame.begin() + 4),
        (Bytes { 0x00, 0x01, 0x11, 0x70 })); // big-endian
    stream.insert(stream.end(), secondFrame.begin(), secondFrame.end());

    // One byte at a time: nothing comes out early, each frame comes out exactly once.
    FrameDecoder byteByByte;
    std::vector<Bytes> frames;
    for (std::size_t i = 0; i < stream.size(); ++i) {
        byteByByte.feed(ByteView(&stream[i], 1));
        for (auto& frame : drain(byteByByte))
            frames.push_back(std::move(frame));
        EXPECT_EQ(frames.size(),
            i + 1 < frameHeaderSize + first.size() ? 0u
                : i + 1 < stream.size()            ? 1u
                                                   : 2u);
    }
    EXPECT_EQ(frames, (std::vector<Bytes> { first, second }));
    EXPECT_EQ(byteByByte.bufferedSize(), 0u);

    FrameDecoder whole;
    whole.feed(stream);
    EXPECT_EQ(drain(whole), (std::vector<Bytes> { first, second }));
}

TEST(FrameDecoder, OversizedAndEmptyFramesEndTheStream)
{
    FrameDecoder decoder(1024);
    const Bytes ok = encodeFrame(Bytes(1024, 1));
    decoder.feed(ok);
    decoder.feed(Bytes { 0x00, 0x00, 0x04, 0x01 }); // 1025 bytes announced
    EXPECT_EQ(drain(decoder).size(), 1u);
    auto refused = decoder.next();
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error().kind, ProtocolError::Kind::frameTooLarge);
    // Sticky: later good frames are not trusted after a bad length.
    decoder.feed(ok);
    EXPECT_FALSE(decoder.next().has_value());
    EXPECT_TRUE(decoder.failed());

    FrameDecoder empty;
    empty.feed(Bytes { 0, 0, 0, 0 });
    auto none = empty.next();
    ASSERT_FALSE(none.has_value());
    EXPECT_EQ(none.error().kind, ProtocolError::Kind::emptyFrame);

    // The default limit admits 16 MiB and refuses a byte more.
    FrameDecoder limit;
    limit.feed(Bytes { 0x01, 0x00, 0x00, 0x01 });
    EXPECT_FALSE(limit.next().has_value());
}

// Random streams, in random chunks, through the decoders: nothing may crash, every frame the
// decoder returns has the announced size, and decoding either succeeds or reports an error.
TEST(FrameDecoder, SurvivesRandomGarbage)
{
    std::mt19937_64 random(20261206);
    constexpr int inputs = 20000;
    int frames = 0;
    int decodedMessages = 0;
    for (int input = 0; input < inputs; ++input) {
        Bytes stream(random() % 512);
        for (auto& byte : stream)
            byte = static_cast<std::uint8_t>(random());
        // Half of the inputs get plausible small length prefixes so frames actually complete.
        if (input % 2 == 0 && stream.size() > 4) {
            stream[0] = stream[1] = 0;
            stream[2] = static_cast<std::uint8_t>(random() % 2);
        }
        // And some carry a valid message with one byte flipped.
        if (input % 5 == 0) {
            Bytes message = SmartctlHelperProtocol::encode(SmartctlHelperProtocol::Reply(
                SmartctlHelperProtocol::ResultReply { 1, { Bytes(random() % 64, '{'), "cmd", {}, 0 } }));
            message[random() % message.size()] ^= static_cast<std::uint8_t>(1u << (random() % 8));
            stream = encodeFrame(message);
        }
        FrameDecoder decoder(256);
        for (std::size_t offset = 0, chunk = 0; offset < stream.size(); offset += chunk) {
            chunk = std::min<std::size_t>(stream.size() - offset, 1 + random() % 32);
            decoder.feed(ByteView(stream.data() + offset, chunk));
            for (auto& frame : drain(decoder)) {
                ++frames;
                ASSERT_FALSE(frame.empty());
                ASSERT_LE(frame.size(), 256u);
                if (SmartctlHelperProtocol::decodeReply(frame)
                    || SmartctlHelperProtocol::decodeRequest(frame))
                    ++decodedMessages;
            }
        }
    }
    // The generator must really reach the message decoders, or the test proves nothing.
    EXPECT_GT(frames, inputs / 4);
    EXPECT_GT(decodedMessages, 0);
}
