// The real com.tallowin.ProbeWarden program under attack from a hostile local user, with a fake
// smartctl that takes about a second and prints a report of realistic size. While each attack
// runs, an honest client must still get its reply within 3 seconds, the daemon's resident
// memory must stay under 64 MiB, and once the attacker leaves the daemon must still serve.
//
// Run as root, the attackers connect as the unprivileged user 65534 (the kernel records the
// connecting process's effective user), as a hostile local user would. Without root they share
// the honest client's user, and each attack is sized so that the honest client's own share of
// the connection and request limits is left.
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

// Whether the test runs as root: decided once, as the effective user changes while attackers
// connect.
bool asRoot()
{
    static const bool root = ::geteuid() == 0;
    return root;
}

// A connection whose peer credentials are the attacker's: connected with the attacker's
// effective user when we are root. The raw system call changes the calling thread only (the
// C library's wrapper would change every thread, the honest client's too).
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
                for (std::string line; std::getline(status, line);) {
                    if (line.rfind("VmRSS:", 0) == 0)
                        m_peakKiB = std::max(m_peakKiB.load(), std::stoll(line.substr(6)));
                }
                std::this_thread::sleep_for(20ms);
            }
        })
    { }
    long long peakKiB() const { return m_peakKiB; }

private:
    std::atomic<long long> m_peakKiB { 0 };
    std::jthread m_thread;
};

// Waits until the daemon has closed `fd`, without reading from it: an attacker that read would
// no longer be one that does not read.
bool closedByDaemon(int fd, std::chrono::milliseconds within)
{
    pollfd entry { fd, POLLRDHUP, 0 };
    const int ready = ::poll(&entry, 1, static_cast<int>(within.count()));
    return ready > 0 && (entry.revents & (POLLHUP | POLLRDHUP | POLLERR)) != 0;
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
    void TearDown() override
    {
        m_memory.reset();
        m_daemon.reset();
    }

    std::filesystem::path socket() const { return m_directory / "probewarden.sock"; }

    // One honest request on a fresh connection: the time until its whole reply arrived.
    std::chrono::milliseconds honestRoundTrip(std::uint64_t id)
    {
        const auto start = Clock::now();
        auto fd = m_daemon->connect();
        if (!writeAll(fd.get(), request(id, "sda"))) {
            ADD_FAILURE() << "the honest client could not send";
            return 1h;
        }
        auto frame = readFrame(fd.get(), defaultMaxFrameSize, start + 10s);
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



    // The attacker may hold every connection its user is allowed; without root it shares the
    // honest client's user and leaves it some.
    static int attackerConnections() { return asRoot() ? 8 : 4; }

    void afterTheAttackTheDaemonStillServes()
    {
        EXPECT_TRUE(m_daemon->isRunning());
        EXPECT_LT(honestRoundTrip(1000), 3s);
        EXPECT_LT(m_memory->peakKiB(), memoryCeilingKiB) << m_memory->peakKiB() << " KiB";
        RecordProperty("peakResidentKiB", std::to_string(m_memory->peakKiB()));
    }

    TemporaryDirectory m_directory { "tallowin-hostile" };
    std::optional<ProbeWardenProcess> m_daemon;
    std::optional<MemoryWatch> m_memory;
};

}

// Attack 1: requests are sent and their replies never read. Replies of 256 KiB fill the socket
// buffer, so a daemon that wrote from its workers would have them all blocked.
TEST_F(HostileClients, ClientsThatNeverReadTheirRepliesDelayNobodyAndAreDropped)
{
    std::vector<FileDescriptor> silent;
    const int connections = asRoot() ? attackerConnections() : 1;
    for (int connection = 0; connection < connections; ++connection) {
        silent.push_back(attackerConnection(socket()));
        ASSERT_TRUE(silent.back().isValid());
        // Shrink the attacker's receive buffer: replies pile up in the daemon at once.
        const int small = 4096;
        ::setsockopt(silent.back().get(), SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
        for (std::uint64_t id = 0; id < 4; ++id)
            ASSERT_TRUE(writeAll(silent.back().get(), request(id, "sdb")));
    }
    honestClientIsServedFor(4s);
    // The daemon gives up on a client that does not read within its send deadline (10 s).
    for (auto& fd : silent)
        EXPECT_TRUE(closedByDaemon(fd.get(), 20s));
    silent.clear();
    afterTheAttackTheDaemonStillServes();
}

// Attack 2: large or deeply nested requests, and requests with keys of their own. The daemon
// refuses any frame over its small request limit when the length arrives, and refuses unknown
// keys, so memory and time stay flat however often the attacker retries.
TEST_F(HostileClients, OversizedAndPaddedRequestsCostTheDaemonNothing)
{
    std::atomic<bool> stop { false };
    std::atomic<int> attempts { 0 };
    const auto attack = [&](int variant) {
        while (!stop) {
            auto fd = attackerConnection(socket());
            if (!fd) {
                std::this_thread::sleep_for(10ms);
                continue;
            }
            Bytes payload;
            if (variant == 0) {
                // A 16 MiB CBOR array of empty arrays, announced and sent in full.
                payload.assign(16 * 1024 * 1024, 0x80);
                payload[0] = 0x9a;
                payload[1] = 0x00;
                payload[2] = 0xff;
                payload[3] = 0xff;
                payload[4] = 0xfb;
                payload = encodeFrame(payload);
            } else if (variant == 1) {
                // Just under the request limit: empty arrays under a key of its own.
                payload = encodeFrame(nlohmann::json::to_cbor(nlohmann::json { { "op", "fetchSMARTDataForBSDName" },
                    { "id", 1 }, { "bsdName", "sda" },
                    { "pad", nlohmann::json(std::vector<nlohmann::json>(3900, nlohmann::json::array())) } }));
            } else {
                payload = encodeFrame(Bytes(4000, 0x81));
            }
            (void)writeAll(fd.get(), payload, Clock::now() + 2s);
            ++attempts;
            closedByDaemon(fd.get(), 2s);
        }
    };
    std::vector<std::jthread> attackers;
    for (int variant = 0; variant < 3; ++variant)
        attackers.emplace_back(attack, variant);
    honestClientIsServedFor(3s);
    stop = true;
    attackers.clear();
    EXPECT_GT(attempts.load(), 3);
    afterTheAttackTheDaemonStillServes();
}

// Attack 3: frame headers without their bodies, and connections that say nothing at all. No
// body is allocated ahead of its bytes, and a frame that does not complete in time costs the
// attacker its connection (and its slot).
TEST_F(HostileClients, HeadersWithoutBodiesAreTimedOutAndCostNoMemory)
{
    std::vector<FileDescriptor> stalled;
    for (int connection = 0; connection < attackerConnections(); ++connection) {
        stalled.push_back(attackerConnection(socket()));
        ASSERT_TRUE(stalled.back().isValid());
        // A frame of 4000 bytes announced, ten of them sent.
        ASSERT_TRUE(writeAll(stalled.back().get(), Bytes { 0x00, 0x00, 0x0f, 0xa0, 0xa3, 0x62, 'o', 'p', 0, 0, 0, 0, 0, 0 }));
    }
    // One more, beyond the attacker's share, is refused at once.
    auto extra = attackerConnection(socket());
    if (asRoot()) {
        EXPECT_TRUE(closedByDaemon(extra.get(), 5s));
    }
    honestClientIsServedFor(3s);
    // Every stalled frame is given up after the frame deadline (10 s), freeing the slots.
    for (auto& fd : stalled)
        EXPECT_TRUE(closedByDaemon(fd.get(), 20s));
    stalled.clear();
    auto newcomer = attackerConnection(socket());
    ASSERT_TRUE(writeAll(newcomer.get(), request(1, "sdc")));
    EXPECT_TRUE(readFrame(newcomer.get(), defaultMaxFrameSize, Clock::now() + 10s).has_value());
    afterTheAttackTheDaemonStillServes();
}

// Attack 4: the daemon was started with a home and a temporary folder the attacker owns (a
// "sudo -E" start), and the attacker keeps planting and swapping programs where a copy of the
// bundled smartctl used to go. None of them ever runs; the copy goes to root's own folder.
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
        // The rename race: keep replacing every place a copy could be looked for.
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
        ASSERT_TRUE(frame.has_value());
        auto reply = Protocol::decodeReply(*frame);
        ASSERT_TRUE(reply.has_value());
        const auto* result = std::get_if<Protocol::ResultReply>(&*reply);
        ASSERT_NE(result, nullptr);
        EXPECT_EQ(result->result.commandDescription, (directory / "state/smartctl").string() + " -j -x /dev/sda");
        EXPECT_EQ(std::string(result->result.jsonData.begin(), result->result.jsonData.end()), "{\"genuine\":1}");
    }
    stop = true;
    swapper.join();
    EXPECT_FALSE(std::filesystem::exists(marker));
}
