#pragma once

#include "core/Expected.h"

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

namespace tallowin {

// One program run to completion: the one way the project starts another program, for the
// application's systemctl and pkexec as for the daemon's smartctl.
struct SubprocessRequest {
    // argv[0]. Unless `executable` is set it is also the file executed, and must then be an
    // absolute path: nothing is looked up in PATH and no shell is involved.
    std::string program;
    // argv[1...].
    std::vector<std::string> arguments;
    // The child's whole environment as NAME=value entries; nothing else is inherited.
    std::vector<std::string> environment;
    // When not -1: an open descriptor of the file to execute, which the caller has verified.
    // The child executes exactly that file, whatever happens to its path meanwhile.
    int executable { -1 };
    // A child still running after this long is killed with its process group.
    std::chrono::milliseconds timeLimit { std::chrono::seconds(30) };
    // A child that writes more than this is killed; the run fails with outputTooLarge.
    std::size_t maxStandardOutput { 8 * 1024 * 1024 };
    std::size_t maxStandardError { 1024 * 1024 };
    // When not -1: a descriptor that becomes readable when the owner shuts down; the child is
    // killed at once and the run fails with cancelled.
    int cancellation { -1 };

    friend bool operator==(const SubprocessRequest&, const SubprocessRequest&) = default;
};

struct SubprocessOutput {
    // The exit status; 128 + the signal number when a signal ended the child.
    int exitStatus { 0 };
    std::string standardOutput;
    std::string standardError;

    friend bool operator==(const SubprocessOutput&, const SubprocessOutput&) = default;
};

struct SubprocessError {
    enum class Kind {
        launchFailed,
        timedOut,
        outputTooLarge,
        cancelled,
    };
    Kind kind;
    // For launchFailed the system's reason ("No such file or directory"); otherwise empty.
    std::string description {};

    friend bool operator==(const SubprocessError&, const SubprocessError&) = default;
};

// posix_spawn in a process group of its own, with a clean signal mask and default signal
// handlers, standard input from /dev/null, no descriptor but 0, 1 and 2 inherited, and both
// output pipes drained concurrently with poll so that a chatty child never stalls on a full
// pipe. Blocks until the child is reaped; no path out of it leaves a child behind.
Expected<SubprocessOutput, SubprocessError> runSubprocess(const SubprocessRequest&);

// The calling process's environment as NAME=value entries, for callers that pass it on.
std::vector<std::string> currentEnvironment();

}
