#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tallowin {

// The domain of every error the daemon sends back.
inline constexpr std::string_view helperErrorDomain = "com.tallowin.ProbeWarden.error";

// An error as it crosses the process boundary: a domain, a code and one description. The
// description on the wire is always the fixed English text, whatever the daemon's locale (the
// daemon runs as root and knows nothing of the user's language); the client shows the user's
// language by code with localizedDescription().
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

    // The description in the language the language rule chooses: the known texts of the
    // helper domain are translated by code, anything else is shown as sent.
    std::string localizedDescription() const;

    bool isHelperDomain() const { return domain == helperErrorDomain; }
    bool is(Code c) const { return isHelperDomain() && code == static_cast<std::int64_t>(c); }

    friend bool operator==(const HelperError&, const HelperError&) = default;
};

}
