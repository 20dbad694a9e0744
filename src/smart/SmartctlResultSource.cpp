#include "smart/SmartctlResultSource.h"

#include "smart/PrivilegedHelperManager.h"
#include "smart/SmartctlHelperClient.h"

namespace tallowin {

namespace {

class HelperClientResultSource final : public SmartctlResultSource {
public:
    bool allowsPrivilegedOperations() const override
    {
        return PrivilegedHelperManager::shared()->runtimeEnvironment().allowsPrivilegedOperations;
    }
    std::optional<SmartctlExecutionResult> fetchSMARTData(std::string_view bsdName) override
    {
        return SmartctlHelperClient::shared()->fetchSMARTData(bsdName);
    }
};

}

std::shared_ptr<SmartctlResultSource> makeHelperClientResultSource()
{
    return std::make_shared<HelperClientResultSource>();
}

}
