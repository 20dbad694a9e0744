// tallowin-cli monitor as scripts use it: the JSON lines, the summary, the exit status, and a
// clean stop on SIGINT.

#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

struct Outcome {
    int exitStatus { -1 };
    std::string out;
    std::string err;
};

// Runs tallowin-cli with the arguments; when `interruptAfterFirstLine` is set, sends SIGINT
// once the first line of standard output has arrived.
Outcome runCli(std::vector<std::string> arguments, bool interruptAfterFirstLine = false)
{
    int outPipe[2];
    int errPipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], STDERR_FILENO);
    arguments.insert(arguments.begin(), TALLOWIN_CLI_PATH);
    std::vector<char*> argv;
    for (auto& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    std::vector<std::string> environment { "LANGUAGE=en", "PATH=/usr/bin:/bin" };
    std::vector<char*> envp;
    for (auto& entry : environment)
        envp.push_back(entry.data());
    envp.push_back(nullptr);
    pid_t child = -1;
    int spawned = posix_spawn(&child, TALLOWIN_CLI_PATH, &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    if (spawned != 0)
        throw std::runtime_error("spawn");

    Outcome outcome;
    bool interrupted = false;
    pollfd fds[2] = { { outPipe[0], POLLIN, 0 }, { errPipe[0], POLLIN, 0 } };
    int open = 2;
    while (open > 0) {
        if (::poll(fds, 2, 30000) <= 0)
            break;
        for (auto& fd : fds) {
            if (fd.fd < 0 || !(fd.revents & (POLLIN | POLLHUP)))
                continue;
            char buffer[4096];
            auto count = ::read(fd.fd, buffer, sizeof buffer);
            if (count <= 0) {
                ::close(fd.fd);
                fd.fd = -1;
                --open;
                continue;
            }
            (fd.fd == outPipe[0] ? outcome.out : outcome.err).append(buffer, static_cast<std::size_t>(count));
        }
        if (interruptAfterFirstLine && !interrupted && outcome.out.find('\n') != std::string::npos) {
            ::kill(child, SIGINT);
            interrupted = true;
        }
    }
    for (auto& fd : fds) {
        if (fd.fd >= 0)
            ::close(fd.fd);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    outcome.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return outcome;
}

std::vector<nlohmann::ordered_json> jsonLines(const std::string& text)
{
    std::vector<nlohmann::ordered_json> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);)
        lines.push_back(nlohmann::ordered_json::parse(line));
    return lines;
}

bool hasVda()
{
    return std::filesystem::exists("/sys/block/vda/stat");
}

// Checks the per-batch lines against the summary, which scripts rely on.
void expectConsistent(const std::vector<nlohmann::ordered_json>& lines)
{
    ASSERT_GE(lines.size(), 2u);
    const auto& summary = lines.back();
    EXPECT_EQ(summary["summary"], true);
    std::uint64_t samples = 0;
    for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
        const auto& line = lines[i];
        std::vector<std::string> keys;
        for (const auto& [key, value] : line.items())
            keys.push_back(key);
        EXPECT_EQ(keys,
            (std::vector<std::string> { "samples", "currentReadBytes", "currentWriteBytes",
                "currentReadOperations", "currentWriteOperations", "totalReadBytes", "totalWriteBytes",
                "monitoringDuration" }));
        EXPECT_GE(line["samples"].get<std::uint64_t>(), 1u);
        samples += line["samples"].get<std::uint64_t>();
    }
    EXPECT_EQ(summary["samples"].get<std::uint64_t>(), samples);
    EXPECT_EQ(summary["batches"].get<std::size_t>(), lines.size() - 1);
    EXPECT_EQ(summary["totalWriteBytes"], lines[lines.size() - 2]["totalWriteBytes"]);
    EXPECT_EQ(summary["totalReadBytes"], lines[lines.size() - 2]["totalReadBytes"]);
}

}

TEST(MonitorCommand, JsonLinesAddUpToTheSummary)
{
    if (!hasVda())
        GTEST_SKIP() << "needs /sys/block/vda";
    auto outcome = runCli({ "monitor", "--device", "vda", "--interval", "10", "--duration", "1", "--json" });
    EXPECT_EQ(outcome.exitStatus, 0) << outcome.err;
    auto lines = jsonLines(outcome.out);
    expectConsistent(lines);
    // About a hundred 10 ms samples in a second.
    EXPECT_GE(lines.back()["samples"].get<int>(), 50);
    EXPECT_LE(lines.back()["samples"].get<int>(), 101);
    EXPECT_GE(lines.back()["monitoringDuration"].get<double>(), 1.0);
}

TEST(MonitorCommand, InterruptStopsWithTheSummary)
{
    if (!hasVda())
        GTEST_SKIP() << "needs /sys/block/vda";
    auto outcome = runCli({ "monitor", "/", "--interval", "1", "--json" }, true);
    EXPECT_EQ(outcome.exitStatus, 0) << outcome.err;
    expectConsistent(jsonLines(outcome.out));
}

TEST(MonitorCommand, ErrorsPrintTheirOwnMessageAndFail)
{
    auto unknown = runCli({ "monitor", "--device", "nosuchdisk0", "--duration", "5" });
    EXPECT_EQ(unknown.exitStatus, 1);
    EXPECT_NE(unknown.err.find("Unable to fetch statistics for the selected volume."), std::string::npos)
        << unknown.err;

    auto missing = runCli({ "monitor", "/no/such/folder/anywhere", "--json" });
    EXPECT_NE(missing.exitStatus, 0);
    EXPECT_NE(missing.err.find("Failed to resolve the BSD name for the selected path."), std::string::npos)
        << missing.err;
    EXPECT_TRUE(missing.out.empty());

    auto interval = runCli({ "monitor", "--device", "vda", "--interval", "5" });
    EXPECT_NE(interval.exitStatus, 0);
    EXPECT_NE(interval.err.find("Unsupported sampling interval: 5 ms."), std::string::npos) << interval.err;

    auto neither = runCli({ "monitor" });
    EXPECT_NE(neither.exitStatus, 0);
}
