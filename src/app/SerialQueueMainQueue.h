#pragma once

#include "core/MainQueue.h"
#include "core/SerialQueue.h"

#include <string>

namespace tallowin {

// A MainQueue served by a serial queue of its own rather than by the GUI thread. The privileged
// helper workflow runs on one: it may wait minutes in pkexec's approval dialog and makes a
// round trip to the helper for every check, none of which may hold up the window.
class SerialQueueMainQueue final : public MainQueue {
public:
    static constexpr const char* helperWorkflowLabel = "com.tallowin.PrivilegedHelperManager.workflow";

    explicit SerialQueueMainQueue(std::string label, QualityOfService = QualityOfService::UserInitiated);

    void post(std::function<void()> work) override { m_queue.post(std::move(work)); }
    bool isMainThread() const override { return m_queue.isCurrent(); }
    const std::string& label() const { return m_queue.label(); }

private:
    SerialQueue m_queue;
};

}
