#pragma once
#include "ISnapshotFlowListener.h"

#include <windows.h>

// Hands the frozen moment to an outside runner through named events: tells it the volumes are frozen, waits a
// bounded time for its go-ahead to thaw, and tells it when a successful flow has thawed.
class SnapshotFlowExternallyInitiatedListener : public ISnapshotFlowListener {
public:
    static constexpr const char* kFreezeCompleteEventName = "Global\\TalvoRunnerEventFreezeComplete";
    static constexpr const char* kThawStartEventName = "Global\\TalvoRunnerEventThawStart";
    static constexpr const char* kThawCompleteEventName = "Global\\TalvoRunnerEventThawComplete";

    SnapshotFlowExternallyInitiatedListener() = default;
    ~SnapshotFlowExternallyInitiatedListener() override;
    SnapshotFlowExternallyInitiatedListener(const SnapshotFlowExternallyInitiatedListener&) = delete;
    SnapshotFlowExternallyInitiatedListener& operator=(const SnapshotFlowExternallyInitiatedListener&) = delete;

    int notifySnapshotPrepare() override;
    void notifySnapshotQuiesceSuccess() override;
    void notifySnapshotThawSuccess() override;
    void notifySnapshotCompleteSuccess() override;
    void notifySnapshotCompleteFailure(int errNum) override;

private:
    HANDLE m_eventFreezeComplete = nullptr;
    HANDLE m_eventThawStart = nullptr;
    HANDLE m_eventThawComplete = nullptr;
    // Read before the freeze: a malformed value then ends the process with nothing frozen.
    int m_thawStartTimeoutMsec = 0;
};
