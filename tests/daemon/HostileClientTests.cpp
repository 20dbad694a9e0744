// The real daemon under attack from a hostile local user, with a fake smartctl that takes a
// second and prints a realistic report. During each attack an honest client is answered within
// 3 s and resident memory stays under 64 MiB; afterwards the daemon still serves. As root the
// attackers connect as user 65534; without root they share the honest client's user and leave
// it its share of the limits.
#include "helper_protocol/SmartctlHelperProtocol.h"
#include "support/FakeSmartctl.h"
#include "support/ProbeWardenProcess.h"
#include "support/TemporaryDirectory.h"

#include <atomic>
#include <fmt/format.h>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

using namespace tallowin;
using namespace tallowin::testing;
using namespace std::chrono_literals;
using Protocol = SmartctlHelperProtocol;
using Clock = std::chrono::steady_clock;

namespace {

constexpr uid_t attackerUid = 65534;
constexpr std::size_t reportSize = 256 * 1024;
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// A sanitized daemon carries shadow memory and a quarantine of freed blocks: a looser ceiling,
// which still catches the blow-up of a request that is buffered or parsed whole.
constexpr long long memoryCeilingKiB = 256 * 1024;
#else
constexpr long long memoryCeilingKiB = 64 * 1024;
#endif

// Decided once: the effective user changes while attackers connect.
bool asRoot()
{
    static const bool root = ::geteuid() == 0;
    return root;
}

// Connected with the attacker's effective user when root. The raw system call changes this
// thread only; the C library's wrapper would change the honest client's thread too.
FileDescriptor attackerConnection(const std::filesystem::path& socket)
{
    if (asRoot() && ::syscall(SYS_setresuid, -1, attackerUid, -1) != 0)
        return {};
    auto fd = connectUnixSocket(socket.string());
    if (asRoot() && ::syscall(SYS_setresuid, -1, 0, -1) != 0)
        std::abort(); // the rest of the test must not run with the wrong user
    return fd ? std::move(fd).value() : FileDescriptor();
}

Bytes request(std::uint64_t id, const std::string& name)
{
    return encodeFrame(Protocol::encode(Protocol::FetchSMARTDataRequest { id, name }));
}

// The daemon's resident memory, sampled until stopped; the highest value seen.
class MemoryWatch {
public:
    explicit MemoryWatch(pid_t pid)
        : m_thread([this, pid](std::stop_token stop) {
            while (!stop.stop_requested()) {
                std::ifstream status("/proc/" + std::to_string(pid) + "/status");
                for (std::string line; std::getline(status, line);)
                    if (line.rfind("VmRSS:", 0) == 0)
                        m_peakKiB = std::max(m_peakKiB.load(), std::stoll(line.substr(6)));
                std::this_thread::sleep_for(20ms);
            }
        })
    { }
    long long peakKiB() const { return m_peakKiB; }

private:
    std::atomic<long long> m_peakKiB { 0 };
    std::jthread m_thread;
};

// Without reading: an attacker that read would no longer be one that does not read.
bool closedByDaemon(int fd, std::chrono::milliseconds within)
{
    pollfd entry { fd, POLLRDHUP, 0 };
    return ::poll(&entry, 1, static_cast<int>(within.count())) > 0
        && (entry.revents & (POLLHUP | POLLRDHUP | POLLERR)) != 0;
}

class HostileClients : public ::testing::Test {
protected:
    void SetUp() override
    {
        // The attacker must be able to reach the socket inside the test's folder.
        ::chmod(m_directory.path().c_str(), 0755);
        writeScript(m_directory / "resources/smartctl",
            fmt::format("sleep 1; head -c {} /dev/zero | tr '\\0' x", reportSize));
        m_daemon.emplace(m_directory.path(), ProbeWardenProcess::Environment { { "LANGUAGE", "en" } });
        m_memory.emplace(m_daemon->pid());
    }
    std::filesystem::path socket() const { return m_directory / "probewarden.sock"; }

    // One honest request on a fresh connection: the time until its whole reply arrived.
    std::chrono::milliseconds honestRoundTrip(std::uint64_t id)
    {
        const auto start = Clock::now();
        auto fd = m_daemon->connect();
        auto frame = writeAll(fd.get(), request(id, "sda"))
            ? readFrame(fd.get(), defaultMaxFrameSize, start + 10s)
            : Unexpected(SocketError { SocketError::Kind::closed });
        if (!frame) {
            ADD_FAILURE() << "the honest client got no reply: " << frame.error().description();
            return 1h;
        }
        auto reply = Protocol::decodeReply(*frame);
        const auto* result = reply ? std::get_if<Protocol::ResultReply>(&*reply) : nullptr;
        EXPECT_TRUE(result && result->result.jsonData.size() == reportSize);
        return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    }

    // Honest requests, one after another, for `window`: each must be answered within 3 s.
    void honestClientIsServedFor(std::chrono::milliseconds window)
    {
        const auto end = Clock::now() + window;
        std::uint64_t id = 0;
        do {
            const auto roundTrip = honestRoundTrip(++id);
            EXPECT_LT(roundTrip, 3s) << "request " << id << " took " << roundTrip.count() << " ms";
        } while (Clock::now() < end);
        EXPECT_LT(m_memory->peakKiB(), memoryCeilingKiB);
    }

    void afterTheAttackTheDaemonStillServes()
    {
        EXPECT_TRUE(m_daemon->isRunning());
        EXPECT_LT(honestRoundTrip(1000), 3s);
        EXPECT_LT(m_memory->peakKiB(), memoryCeilingKiB) << m_memory->peakKiB() << " KiB";
        RecordProperty("peakResidentKiB", std::to_string(m_memory->peakKiB()));
    }

    TemporaryDirectory m_directory { "tallowin-hostile" };
    std::optional<ProbeWardenProcess> m_daemon;
    std::optional<MemoryWatch> m_memory; // stops sampling before the daemon goes
};

}

// Replies of 256 KiB that are never read: a daemon that wrote from its workers would block them all.
TEST_F(HostileClients, ClientsThatNeverReadTheirRepliesDelayNobodyAndAreDropped)
{
    std::vector<FileDescriptor> silent;
    for (int connection = 0; connection < (asRoot() ? 8 : 1); ++connection) {
        silent.push_back(attackerConnection(socket()));
        ASSERT_TRUE(silent.back().isValid());
        const int small = 4096; // replies pile up in the daemon at once
        ::setsockopt(silent.back().get(), SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
        for (std::uint64_t id = 0; id < 4; ++id)
            ASSERT_TRUE(writeAll(silent.back().get(), request(id, "sdb")));
    }
    honestClientIsServedFor(4s);
    for (auto& fd : silent)
        EXPECT_TRUE(closedByDaemon(fd.get(), 20s));
    silent.clear();
    afterTheAttackTheDaemonStillServes();
}

// Large, deeply nested or padded requests are refused at their length or first unknown key.
TEST_F(HostileClients, OversizedAndPaddedRequestsCostTheDaemonNothing)
{
    // A 16 MiB CBOR array of empty arrays sent in full; empty arrays under a key of its own,
    // just under the request limit; 4000 levels of nesting.
    Bytes huge(16 * 1024 * 1024, 0x80);
    std::copy_n(Bytes { 0x9a, 0x00, 0xff, 0xff, 0xfb }.begin(), 5, huge.begin());
    const std::vector<Bytes> payloads { encodeFrame(huge),
        encodeFrame(nlohmann::json::to_cbor(nlohmann::json { { "op", "fetchSMARTDataForBSDName" }, { "id", 1 },
            { "bsdName", "sda" },
            { "pad", nlohmann::json(std::vector<nlohmann::json>(3900, nlohmann::json::array())) } })),
        encodeFrame(Bytes(4000, 0x81)) };
    std::atomic<bool> stop { false };
    std::atomic<int> attempts { 0 };
    std::vector<std::jthread> attackers;
    for (const auto& payload : payloads)
        attackers.emplace_back([&] {
            while (!stop) {
                auto fd = attackerConnection(socket());
                if (!fd) {
                    std::this_thread::sleep_for(10ms);
                    continue;
                }
                (void)writeAll(fd.get(), payload, Clock::now() + 2s);
                ++attempts;
                closedByDaemon(fd.get(), 2s);
            }
        });
    honestClientIsServedFor(3s);
    stop = true;
    attackers.clear();
    EXPECT_GT(attempts.load(), 3);
    afterTheAttackTheDaemonStillServes();
}

// No body is allocated ahead of its bytes; a frame that does not complete in time costs the
// attacker its connection and its slot.
TEST_F(HostileClients, HeadersWithoutBodiesAreTimedOutAndCostNoMemory)
{
    std::vector<FileDescriptor> stalled;
    for (int connection = 0; connection < (asRoot() ? 8 : 4); ++connection) {
        stalled.push_back(attackerConnection(socket()));
        ASSERT_TRUE(stalled.back().isValid());
        // A frame of 4000 bytes announced, ten of them sent.
        ASSERT_TRUE(writeAll(stalled.back().get(), Bytes { 0x00, 0x00, 0x0f, 0xa0, 0xa3, 0x62, 'o', 'p', 0, 0, 0, 0, 0, 0 }));
    }
    auto extra = attackerConnection(socket()); // beyond the attacker's share: refused at once
    EXPECT_TRUE(!asRoot() || closedByDaemon(extra.get(), 5s));
    honestClientIsServedFor(3s);
    for (auto& fd : stalled)
        EXPECT_TRUE(closedByDaemon(fd.get(), 20s));
    stalled.clear();
    auto newcomer = attackerConnection(socket());
    ASSERT_TRUE(writeAll(newcomer.get(), request(1, "sdc")));
    EXPECT_TRUE(readFrame(newcomer.get(), defaultMaxFrameSize, Clock::now() + 10s).has_value());
    afterTheAttackTheDaemonStillServes();
}

// Started with a home and temporary folder the attacker owns ("sudo -E"), while the attacker
// swaps programs in where a copy of the bundled smartctl could go: none runs.
TEST(HostileCopyFolder, PlantedAndSwappedProgramsAreNeverExecuted)
{
    TemporaryDirectory directory("tallowin-hostile");
    ::chmod(directory.path().c_str(), 0755);
    const auto home = directory / "home";
    const auto marker = directory / "planted-program-ran";
    std::filesystem::create_directories(home / ".local/share/Tallowin");
    std::filesystem::create_directories(home / "tmp/Tallowin");
    const auto planted = writeScript(home / "evil", "touch '" + marker.string() + "'; echo '{}'");
    if (asRoot()) {
        for (const auto& entry : std::filesystem::recursive_directory_iterator(home))
            ASSERT_EQ(::lchown(entry.path().c_str(), attackerUid, attackerUid), 0);
        ASSERT_EQ(::lchown(home.c_str(), attackerUid, attackerUid), 0);
    }
    // Not executable: the daemon has to make an executable copy.
    writeRecordingSmartctl(directory / "resources/smartctl", "{\"genuine\":1}", 0, 0644);
    ProbeWardenProcess daemon(directory.path(),
        { { "HOME", home.string() }, { "XDG_DATA_HOME", (home / ".local/share").string() },
            { "TMPDIR", (home / "tmp").string() }, { "LANGUAGE", "en" } });

    std::atomic<bool> stop { false };
    std::jthread swapper([&] {
        for (int round = 0; !stop; ++round) {
            for (const auto& folder : { home / ".local/share/Tallowin", home / "tmp/Tallowin" }) {
                std::error_code ignored;
                std::filesystem::copy_file(
                    planted, folder / "next", std::filesystem::copy_options::overwrite_existing, ignored);
                std::filesystem::rename(folder / "next", folder / "smartctl", ignored);
                if (round % 2 == 0)
                    std::filesystem::remove(folder / "smartctl", ignored);
            }
            std::this_thread::yield();
        }
    });
    auto connection = daemon.connect();
    for (std::uint64_t id = 1; id <= 20; ++id) {
        ASSERT_TRUE(writeAll(connection.get(), request(id, "sda")));
        auto frame = readFrame(connection.get(), defaultMaxFrameSize, Clock::now() + 5s);
        auto reply = frame ? Protocol::decodeReply(*frame) : Unexpected(ProtocolError {});
        const auto* result = reply ? std::get_if<Protocol::ResultReply>(&*reply) : nullptr;
        ASSERT_NE(result, nullptr) << id;
        EXPECT_EQ(result->result.commandDescription, (directory / "state/smartctl").string() + " -j -x /dev/sda");
        EXPECT_EQ(std::string(result->result.jsonData.begin(), result->result.jsonData.end()), "{\"genuine\":1}");
    }
    stop = true;
    swapper.join();
    EXPECT_FALSE(std::filesystem::exists(marker));
}
