#pragma once

#include <cstdio>
#include <string>
#include <sys/wait.h>

namespace tallowin::testing {

struct ShellOutcome {
    int exitStatus { -1 }; // -1 when the shell did not exit normally
    std::string output; // standard output only
};

// Runs a command line through /bin/sh and collects its standard output.
inline ShellOutcome runShell(const std::string& commandLine)
{
    ShellOutcome outcome;
    std::FILE* pipe = ::popen(commandLine.c_str(), "r");
    if (!pipe)
        return outcome;
    char buffer[4096];
    for (std::size_t count; (count = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        outcome.output.append(buffer, count);
    int status = ::pclose(pipe);
    outcome.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return outcome;
}

}
