#pragma once
#include "ISnapshotFlowListener.h"

#include <windows.h>

// Hands the frozen moment to an outside runner through named events.
class SnapshotFlowExternallyInitiatedListener : public ISnapshotFlowListener {
public:
    SnapshotFlowExternallyInitiatedListener() = default;

    int notifySnapshotPrepare() override;
    void notifySnapshotQuiesceSuccess() override;
    void notifySnapshotThawSuccess() override;
    void notifySnapshotCompleteSuccess() override;
    void notifySnapshotCompleteFailure(int errNum) override;

private:
    HANDLE m_eventFreezeComplete = nullptr;
    HANDLE m_eventThawStart = nullptr;
    HANDLE m_eventThawComplete = nullptr;
};
