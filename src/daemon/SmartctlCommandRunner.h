#pragma once

#include "core/Expected.h"
#include "core/FileDescriptor.h"
#include "core/Log.h"
#include "helper_protocol/Bytes.h"
#include "helper_protocol/HelperError.h"
#include "helper_protocol/SmartctlExecutionResult.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tallowin {

// Why a request produced no result.
struct SmartctlCommandRunnerError {
    enum class Kind {
        launchFailed, // carries the system's reason
        nonZeroExit, // not raised: a non-zero status with output is a result
        emptyOutput, // carries standard error
        smartctlNotFound,
        executionFailedUnknown, // also: the daemon is shutting down and stopped the run
        timedOut, // smartctl did not finish in time and was killed with its process group
        outputTooLarge, // more output than a reply frame can carry; smartctl was killed
    };

    Kind kind;
    std::string underlying {};
    std::int32_t status { 0 };
    Bytes standardOutput {};
    Bytes standardError {};
    std::chrono::milliseconds timeout {};

    static SmartctlCommandRunnerError launchFailed(std::string underlying)
    {
        return { Kind::launchFailed, std::move(underlying) };
    }
    static SmartctlCommandRunnerError emptyOutput(Bytes standardError)
    {
        return { Kind::emptyOutput, {}, 0, {}, std::move(standardError) };
    }
    static SmartctlCommandRunnerError of(Kind kind) { return { kind }; }

    // The description text in the language chosen by the language rule.
    std::string localizedDescription() const;
    // The case and its payload, for log lines: "emptyOutput(stderr: 12 bytes)".
    std::string caseDescription() const;
    // The error as it travels to the application: helper domain, the case's code, its text.
    HelperError helperError() const;

    friend bool operator==(const SmartctlCommandRunnerError&, const SmartctlCommandRunnerError&) = default;
};

// Runs smartctl -j -x /dev/<name> as the daemon (root) and captures its output. Candidates are
// the "smartctl" resource of the install's libexec folder (made executable by copying it into
// root's state folder when it is not), then the fixed system paths; the first that launches
// and prints anything wins. Every candidate is opened through TrustedFile and executed through
// that descriptor, so nothing another user can write or rename is ever run as root.
class SmartctlCommandRunner {
public:
    struct Configuration {
        // Where the optional "smartctl" resource lives: <libexecdir>/tallowin in an install.
        std::filesystem::path resourceDirectory;
        // Root's own folder for the executable copy of a resource that is not executable: a
        // fixed path (the unit's StateDirectory=), never one derived from HOME, XDG_* or
        // TMPDIR, which whoever starts the daemon controls.
        std::filesystem::path copyDirectory;
        // Where device names are looked up (class/block, class/nvme); empty: the project's
        // sysfs root (TALLOWIN_SYSFS_ROOT, else /sys).
        std::filesystem::path sysfsRoot;
        // Fixed system locations, tried in this order after the resource.
        std::vector<std::filesystem::path> systemPaths;
        // A hanging smartctl (a dying disk, a stuck USB bridge) is killed after this long.
        std::chrono::milliseconds timeout { std::chrono::seconds(30) };
        // The daemon's own environment, from which smartctl's small environment is made.
        std::function<std::optional<std::string>(const char*)> environment;
        // Readable when the daemon shuts down: running children are killed, new ones not started.
        int cancellationFd { -1 };
    };

    static std::vector<std::filesystem::path> defaultSystemPaths();
    // The install's configuration, with the overrides development and tests use:
    // TALLOWIN_HELPER_RESOURCE_DIR, TALLOWIN_HELPER_STATE_DIR, TALLOWIN_HELPER_SYSTEM_SMARTCTL_PATHS
    // (colon-separated, may be empty) and TALLOWIN_HELPER_SMARTCTL_TIMEOUT_MS. Whoever starts
    // the daemon sets these (a "sudo -E" start passes a user's), so they only choose among
    // files root already controls: every path is verified by TrustedFile, and the only file
    // ever executed is one named smartctl.
    static Configuration configurationFromEnvironment();

    SmartctlCommandRunner(Logger logger, Configuration configuration);

    // Blocks the calling thread until smartctl has finished (or was killed) and its output read.
    Expected<SmartctlExecutionResult, SmartctlCommandRunnerError> run(std::string_view bsdName) const;

    // The environment smartctl gets, as sorted NAME=value entries.
    std::vector<std::string> childEnvironment() const;

private:
    enum class Origin {
        bundled,
        system,
    };
    struct Candidate {
        std::filesystem::path path;
        Origin origin;
        // The verified file itself; the run executes this descriptor, not the path.
        FileDescriptor file;
    };
    struct Output {
        Bytes standardOutput;
        Bytes standardError;
        std::int32_t status { 0 };
    };

    static std::string_view originText(Origin);
    std::vector<Candidate> discoverCandidates() const;
    std::optional<Candidate> prepareResourceCandidate() const;
    Expected<Output, SmartctlCommandRunnerError> launch(
        const Candidate&, const std::vector<std::string>& arguments) const;
    std::optional<std::string> environmentValue(const char* name) const;

    Logger m_logger;
    Configuration m_configuration;
};

}
