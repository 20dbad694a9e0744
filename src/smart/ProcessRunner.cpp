#include "smart/ProcessRunner.h"

#include "platform/Subprocess.h"

#include <fmt/format.h>

namespace tallowin {

Expected<ProcessOutput, ProcessError> PosixProcessRunner::run(
    const std::vector<std::string>& arguments, std::chrono::milliseconds timeLimit)
{
    if (arguments.empty())
        return Unexpected(ProcessError { ProcessError::Kind::LaunchFailed, "no program to run" });
    SubprocessRequest request;
    request.program = arguments.front();
    request.arguments.assign(arguments.begin() + 1, arguments.end());
    // systemctl and pkexec run as the user, with the user's environment: pkexec finds the
    // session's authentication agent and sanitises what it passes on itself.
    request.environment = currentEnvironment();
    request.timeLimit = timeLimit;
    auto output = runSubprocess(request);
    if (output)
        return ProcessOutput { output->exitStatus, std::move(output->standardOutput),
            std::move(output->standardError) };
    switch (output.error().kind) {
    case SubprocessError::Kind::timedOut:
        return Unexpected(ProcessError { ProcessError::Kind::TimedOut,
            fmt::format("{} did not finish within {} ms", arguments.front(), timeLimit.count()) });
    case SubprocessError::Kind::outputTooLarge:
        return Unexpected(ProcessError { ProcessError::Kind::LaunchFailed,
            fmt::format("{} wrote more output than is kept", arguments.front()) });
    case SubprocessError::Kind::launchFailed:
    case SubprocessError::Kind::cancelled:
        break;
    }
    return Unexpected(ProcessError { ProcessError::Kind::LaunchFailed,
        fmt::format("{}: {}", arguments.front(), output.error().description) });
}

}
