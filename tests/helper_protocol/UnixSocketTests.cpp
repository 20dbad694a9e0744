#include "helper_protocol/UnixSocket.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace tallowin;
using namespace std::chrono_literals;

namespace {

std::pair<FileDescriptor, FileDescriptor> socketPair()
{
    int fds[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    return { FileDescriptor(fds[0]), FileDescriptor(fds[1]) };
}

}

TEST(FileDescriptor, ClosesOnceAndMovesOwnership)
{
    auto [a, b] = socketPair();
    const int raw = a.get();
    FileDescriptor moved(std::move(a));
    EXPECT_FALSE(a.isValid());
    {
        FileDescriptor target;
        target = std::move(moved);
        EXPECT_NE(::fcntl(raw, F_GETFD), -1);
    }
    EXPECT_EQ(::fcntl(raw, F_GETFD), -1);
}

TEST(UnixSocket, FramesCrossASocketInPieces)
{
    auto [reader, writer] = socketPair();
    const Bytes payload(300'000, 0x42); // larger than the socket buffer: needs a concurrent reader
    std::thread sender([&, fd = writer.get()] {
        const Bytes frame = encodeFrame(payload);
        for (std::size_t i = 0; i < 3; ++i) // dribble the header, then the rest
            ASSERT_TRUE(writeAll(fd, ByteView(&frame[i], 1)).has_value());
        ASSERT_TRUE(writeAll(fd, ByteView(frame.data() + 3, frame.size() - 3)).has_value());
    });
    auto received = readFrame(reader.get(), defaultMaxFrameSize, std::chrono::steady_clock::now() + 10s);
    sender.join();
    ASSERT_TRUE(received.has_value()) << received.error().description();
    EXPECT_EQ(*received, payload);
}

TEST(UnixSocket, ErrorsAreReportedNotRaised)
{
    {
        auto [reader, writer] = socketPair();
        auto timedOut = readFrame(reader.get(), defaultMaxFrameSize, std::chrono::steady_clock::now() + 20ms);
        ASSERT_FALSE(timedOut.has_value());
        EXPECT_EQ(timedOut.error().kind, SocketError::Kind::timedOut);
        // A frame cut off in the middle is a closed connection, not a short frame.
        const Bytes frame = encodeFrame(Bytes(10, 1));
        ASSERT_TRUE(writeAll(writer.get(), ByteView(frame.data(), 8)).has_value());
        writer.reset();
        auto closed = readFrame(reader.get());
        ASSERT_FALSE(closed.has_value());
        EXPECT_EQ(closed.error().kind, SocketError::Kind::closed);
    }
    {
        auto [reader, writer] = socketPair();
        ASSERT_TRUE(writeAll(writer.get(), Bytes { 0x7f, 0xff, 0xff, 0xff }).has_value());
        auto refused = readFrame(reader.get());
        ASSERT_FALSE(refused.has_value());
        ASSERT_TRUE(refused.error().protocolError.has_value());
        EXPECT_EQ(refused.error().protocolError->kind, ProtocolError::Kind::frameTooLarge);
        // Writing to a closed peer is an error, not a SIGPIPE that kills the process.
        reader.reset();
        auto written = writeFrame(writer.get(), Bytes(100, 1));
        ASSERT_FALSE(written.has_value());
        EXPECT_EQ(written.error().kind, SocketError::Kind::closed);
    }
    auto missing = connectUnixSocket("/nonexistent/tallowin-test.sock");
    ASSERT_FALSE(missing.has_value());
    EXPECT_EQ(missing.error().kind, SocketError::Kind::system);
    EXPECT_FALSE(connectUnixSocket(std::string(200, 'x')).has_value()); // longer than sun_path
}

TEST(UnixSocket, PeerCredentialsNameThisProcess)
{
    auto [a, b] = socketPair();
    auto peer = peerCredentials(a.get());
    ASSERT_TRUE(peer.has_value());
    EXPECT_EQ(peer->pid, ::getpid());
    EXPECT_EQ(peer->uid, ::getuid());
}
