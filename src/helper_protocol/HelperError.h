#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tallowin {

// The domain of every error the daemon sends back.
inline constexpr std::string_view helperErrorDomain = "com.tallowin.ProbeWarden.error";

// An error as it crosses the process boundary: a domain, a code and one description, already
// written in the language that the language rule chose where the error was made.
struct HelperError {
    // The codes of the helper domain. They follow the daemon's runner errors, plus the refusal
    // of a device name that is not a plain kernel block-device name.
    enum class Code : std::int64_t {
        smartctlNotFound = 1,
        launchFailed = 2,
        nonZeroExit = 3,
        emptyOutput = 4,
        invalidDeviceName = 5,
        executionFailedUnknown = 999,
    };

    std::string domain;
    std::int64_t code { 0 };
    std::string description;

    static HelperError make(Code, std::string description);
    static HelperError smartctlNotFound();
    static HelperError launchFailed(std::string_view underlyingDescription);
    static HelperError nonZeroExit(std::int32_t status);
    static HelperError emptyOutput();
    static HelperError invalidDeviceName();
    static HelperError executionFailedUnknown();

    bool isHelperDomain() const { return domain == helperErrorDomain; }
    bool is(Code c) const { return isHelperDomain() && code == static_cast<std::int64_t>(c); }

    friend bool operator==(const HelperError&, const HelperError&) = default;
};

}
