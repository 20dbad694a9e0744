#pragma once

#include "helper_protocol/SmartctlExecutionResult.h"

#include <memory>
#include <optional>
#include <string_view>

namespace tallowin {

// Where SMART data comes from: one smartctl run for a device name, made by the privileged
// helper. Tests bring recorded runs instead.
class SmartctlResultSource {
public:
    virtual ~SmartctlResultSource() = default;
    // False when the runtime policy forbids privileged operations; nothing is asked then.
    virtual bool allowsPrivilegedOperations() const = 0;
    // Blocks while the helper works. Nothing when the helper gave no result (already logged).
    virtual std::optional<SmartctlExecutionResult> fetchSMARTData(std::string_view bsdName) = 0;
};

// The process-wide helper client and its manager's runtime policy.
std::shared_ptr<SmartctlResultSource> makeHelperClientResultSource();

}
