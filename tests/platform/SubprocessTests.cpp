#include "core/FileDescriptor.h"
#include "platform/Subprocess.h"
#include "support/FakeSmartctl.h"
#include "support/TemporaryDirectory.h"

#include <cerrno>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/eventfd.h>
#include <sys/wait.h>
#include <thread>

using namespace tallowin;
using namespace tallowin::testing;
using namespace std::chrono_literals;
using Kind = SubprocessError::Kind;

namespace {

SubprocessRequest shell(const std::string& script, std::chrono::milliseconds timeLimit = 20s)
{
    SubprocessRequest request;
    request.program = "/bin/sh";
    request.arguments = { "-c", script };
    request.environment = { "PATH=/usr/bin:/bin" };
    request.timeLimit = timeLimit;
    return request;
}

// No child of ours is left, not even a zombie.
void expectNoChildren()
{
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}

}

TEST(Subprocess, CollectsOutputsAndStatusWithoutInheritingAnything)
{
    struct Case {
        const char* script;
        int status;
        std::string standardOutput;
        std::string standardError;
    };
    const std::vector<Case> cases {
        { "printf out; printf err >&2; exit 3", 3, "out", "err" },
        // 128 + the signal, as the shells report it.
        { "kill -TERM $$", 128 + SIGTERM, "", "" },
        // Standard input is /dev/null: a reader sees its end at once instead of hanging.
        { "cat; echo done", 0, "done\n", "" },
        // Exactly the environment given.
        { "env | sort", 0, "PATH=/usr/bin:/bin\nPWD=" + std::filesystem::current_path().string() + "\n", "" },
        // Only 0, 1 and 2 are open in the child, whatever the parent has open (3 is ls's own).
        { "ls /proc/self/fd | sort -n | tr '\\n' ' '", 0, "0 1 2 3 ", "" },
        // Far more than a pipe holds, on both streams at once: the child must not stall.
        { "head -c 300000 /dev/zero; head -c 200000 /dev/zero >&2", 0, std::string(300000, '\0'),
            std::string(200000, '\0') },
    };
    // A descriptor opened without O_CLOEXEC, as a careless library might.
    FileDescriptor leaky(::open("/dev/null", O_RDONLY));
    for (const auto& testCase : cases) {
        SCOPED_TRACE(std::string(testCase.script).substr(0, 40));
        auto output = runSubprocess(shell(testCase.script));
        ASSERT_TRUE(output.has_value()) << output.error().description;
        EXPECT_EQ(*output, (SubprocessOutput { testCase.status, testCase.standardOutput, testCase.standardError }));
    }
    expectNoChildren();
}

TEST(Subprocess, BoundsTimeOutputAndLaunches)
{
    auto limited = shell("head -c 5000 /dev/zero");
    limited.maxStandardOutput = 4096;
    EXPECT_EQ(runSubprocess(limited).error().kind, Kind::outputTooLarge);

    // A hang is killed with everything it started.
    TemporaryDirectory directory;
    const auto pidFile = directory / "grandchild.pid";
    auto hung = runSubprocess(shell("sleep 300 & echo $! > '" + pidFile.string() + "'; wait", 200ms));
    EXPECT_EQ(hung.error().kind, Kind::timedOut);
    const std::string stat = readText("/proc/" + readText(pidFile).substr(0, readText(pidFile).find('\n')) + "/stat");
    EXPECT_TRUE(stat.empty() || stat.find(") Z") != std::string::npos) << stat;
    // A child that closes its pipes and lives on is still held to the deadline.
    EXPECT_EQ(runSubprocess(shell("exec >&- 2>&-; sleep 300", 200ms)).error().kind, Kind::timedOut);

    SubprocessRequest relative;
    relative.program = "sh";
    EXPECT_EQ(runSubprocess(relative).error().kind, Kind::launchFailed); // no search of PATH
    relative.program = "/nonexistent/systemctl";
    EXPECT_EQ(runSubprocess(relative).error(), (SubprocessError { Kind::launchFailed, "No such file or directory" }));

    FileDescriptor cancellation(::eventfd(0, EFD_CLOEXEC));
    auto request = shell("sleep 300");
    request.cancellation = cancellation.get();
    std::jthread canceller([&] {
        std::this_thread::sleep_for(100ms);
        const std::uint64_t one = 1;
        (void)!::write(cancellation.get(), &one, sizeof(one));
    });
    EXPECT_EQ(runSubprocess(request).error().kind, Kind::cancelled);
    canceller.join();
    // Once cancelled, nothing new starts.
    EXPECT_EQ(runSubprocess(request).error().kind, Kind::cancelled);
    expectNoChildren();
}

// The file run through a descriptor is the one that was opened, even when its path has been
// replaced since: the rename race that a path-based launch loses.
TEST(Subprocess, ExecutesTheOpenedFileNotWhatItsPathNamesNow)
{
    TemporaryDirectory directory;
    const auto path = writeScript(directory / "smartctl", "echo \"genuine $1\"");
    FileDescriptor opened(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(opened.isValid());
    writeScript(directory / "replacement", "echo swapped");
    std::filesystem::rename(directory / "replacement", path);

    SubprocessRequest request;
    request.program = path.string();
    request.arguments = { "-j" };
    request.executable = opened.get();
    auto output = runSubprocess(request);
    ASSERT_TRUE(output.has_value()) << output.error().description;
    EXPECT_EQ(output->standardOutput, "genuine -j\n");
    request.executable = -1;
    EXPECT_EQ(runSubprocess(request)->standardOutput, "swapped\n");
}
