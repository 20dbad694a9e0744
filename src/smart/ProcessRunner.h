#pragma once

#include "core/Expected.h"

#include <chrono>
#include <string>
#include <vector>

namespace tallowin {

// What a finished child process left behind.
struct ProcessOutput {
    // The exit status; 128 + the signal number when a signal ended the child.
    int exitStatus { 0 };
    std::string standardOutput;
    std::string standardError;

    friend bool operator==(const ProcessOutput&, const ProcessOutput&) = default;
};

struct ProcessError {
    enum class Kind {
        LaunchFailed,
        TimedOut,
    };
    Kind kind;
    std::string description;

    friend bool operator==(const ProcessError&, const ProcessError&) = default;
};

// Runs a program to completion. The service manager's commands go through this seam so that
// tests can answer them without a systemd.
class ProcessRunner {
public:
    virtual ~ProcessRunner() = default;
    // arguments[0] is the program's absolute path; nothing is looked up in PATH and no shell is
    // involved. A child still running at the time limit is killed and reaped.
    virtual Expected<ProcessOutput, ProcessError> run(
        const std::vector<std::string>& arguments, std::chrono::milliseconds timeLimit)
        = 0;
};

// The project's one subprocess runner (platform/Subprocess.h) with the user's environment.
class PosixProcessRunner final : public ProcessRunner {
public:
    Expected<ProcessOutput, ProcessError> run(
        const std::vector<std::string>& arguments, std::chrono::milliseconds timeLimit) override;
};

}
