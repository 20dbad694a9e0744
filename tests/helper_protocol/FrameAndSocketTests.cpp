#include "helper_protocol/Frame.h"
#include "helper_protocol/SmartctlHelperProtocol.h"
#include "helper_protocol/UnixSocket.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <random>
#include <sys/socket.h>
#include <unistd.h>

using namespace tallowin;
using namespace std::chrono_literals;

namespace {

// Every complete frame the decoder has; stops at the first error or when more bytes are needed.
std::vector<Bytes> drain(FrameDecoder& decoder)
{
    std::vector<Bytes> frames;
    for (auto next = decoder.next(); next && *next; next = decoder.next())
        frames.push_back(std::move(**next));
    return frames;
}

std::pair<FileDescriptor, FileDescriptor> socketPair()
{
    int fds[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    return { FileDescriptor(fds[0]), FileDescriptor(fds[1]) };
}

}

TEST(FrameDecoder, SplitsAStreamIntoFramesWhateverItsChunking)
{
    const Bytes first
        = SmartctlHelperProtocol::encode(SmartctlHelperProtocol::FetchSMARTDataRequest { 1, "sda" });
    const Bytes second(70'000, 0x5a);
    Bytes stream = encodeFrame(first);
    const Bytes secondFrame = encodeFrame(second);
    EXPECT_EQ(Bytes(secondFrame.begin(), secondFrame.begin() + 4), (Bytes { 0x00, 0x01, 0x11, 0x70 }));
    stream.insert(stream.end(), secondFrame.begin(), secondFrame.end());
    // One byte at a time: nothing comes out early, each frame comes out exactly once.
    FrameDecoder decoder;
    std::vector<Bytes> frames;
    for (std::size_t i = 0; i < stream.size(); ++i) {
        decoder.feed(ByteView(&stream[i], 1));
        for (auto& frame : drain(decoder))
            frames.push_back(std::move(frame));
        EXPECT_EQ(frames.size(), (i + 1 >= frameHeaderSize + first.size()) + (i + 1 == stream.size())) << i;
    }
    EXPECT_EQ(frames, (std::vector<Bytes> { first, second }));
    EXPECT_EQ(decoder.bufferedSize(), 0u);
}

TEST(FrameDecoder, OversizedAndEmptyFramesEndTheStream)
{
    FrameDecoder decoder(1024);
    const Bytes ok = encodeFrame(Bytes(1024, 1));
    decoder.feed(ok);
    decoder.feed(Bytes { 0x00, 0x00, 0x04, 0x01 }); // 1025 bytes announced
    EXPECT_EQ(drain(decoder).size(), 1u);
    EXPECT_EQ(decoder.next().error().kind, ProtocolError::Kind::frameTooLarge);
    // Sticky: later good frames are not trusted after a bad length.
    decoder.feed(ok);
    EXPECT_FALSE(decoder.next().has_value());
    EXPECT_TRUE(decoder.failed());

    for (const auto& [header, kind] : std::vector<std::pair<Bytes, ProtocolError::Kind>> {
             { { 0, 0, 0, 0 }, ProtocolError::Kind::emptyFrame },
             { { 0x01, 0x00, 0x00, 0x01 }, ProtocolError::Kind::frameTooLarge } }) { // the default: 16 MiB
        FrameDecoder fresh;
        fresh.feed(header);
        EXPECT_EQ(fresh.next().error().kind, kind);
    }
}

// Random streams in random chunks: nothing may crash and no frame exceeds the limit.
TEST(FrameDecoder, SurvivesRandomGarbage)
{
    std::mt19937_64 random(20261206);
    constexpr int inputs = 20000;
    int frames = 0, decodedMessages = 0;
    for (int input = 0; input < inputs; ++input) {
        Bytes stream(random() % 512);
        for (auto& byte : stream)
            byte = static_cast<std::uint8_t>(random());
        if (input % 2 == 0 && stream.size() > 4) { // small length prefixes, so frames complete
            stream[0] = stream[1] = 0;
            stream[2] = static_cast<std::uint8_t>(random() % 2);
        }
        if (input % 5 == 0) { // a valid message with one bit flipped
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
                ASSERT_TRUE(!frame.empty() && frame.size() <= 256u) << frame.size();
                decodedMessages
                    += SmartctlHelperProtocol::decodeReply(frame) || SmartctlHelperProtocol::decodeRequest(frame);
            }
        }
    }
    // The generator must really reach the message decoders.
    EXPECT_GT(frames, inputs / 4);
    EXPECT_GT(decodedMessages, 0);
}

TEST(UnixSocket, DescriptorsCloseOnceAndPeersAreIdentified)
{
    auto [a, b] = socketPair();
    const int raw = a.get();
    const auto peer = peerCredentials(raw);
    EXPECT_TRUE(peer && peer->pid == ::getpid() && peer->uid == ::getuid());
    {
        FileDescriptor target;
        target = FileDescriptor(std::move(a));
        EXPECT_FALSE(a.isValid());
        EXPECT_NE(::fcntl(raw, F_GETFD), -1);
    }
    EXPECT_EQ(::fcntl(raw, F_GETFD), -1);
}

TEST(UnixSocket, ErrorsAreReportedNotRaised)
{
    auto [reader, writer] = socketPair();
    const auto soon = std::chrono::steady_clock::now() + 20ms;
    EXPECT_EQ(readFrame(reader.get(), defaultMaxFrameSize, soon).error().kind, SocketError::Kind::timedOut);
    // A frame cut off in the middle is a closed connection, not a short frame.
    ASSERT_TRUE(writeAll(writer.get(), ByteView(encodeFrame(Bytes(10, 1)).data(), 8)).has_value());
    writer.reset();
    EXPECT_EQ(readFrame(reader.get()).error().kind, SocketError::Kind::closed);

    auto [reader2, writer2] = socketPair();
    ASSERT_TRUE(writeAll(writer2.get(), Bytes { 0x7f, 0xff, 0xff, 0xff }).has_value());
    EXPECT_EQ(readFrame(reader2.get()).error().protocolError->kind, ProtocolError::Kind::frameTooLarge);
    // Writing to a closed peer is an error, not a SIGPIPE that kills the process.
    reader2.reset();
    EXPECT_EQ(writeFrame(writer2.get(), Bytes(100, 1)).error().kind, SocketError::Kind::closed);

    EXPECT_EQ(connectUnixSocket("/nonexistent/tallowin-test.sock").error().kind, SocketError::Kind::system);
    EXPECT_FALSE(connectUnixSocket(std::string(200, 'x')).has_value()); // longer than sun_path
}
