// Stand-in until the runner listener is built: its preparation fails, so a flow stops before anything is frozen.
#include "SnapshotFlowExternallyInitiatedListener.h"

#include "Logger.h"

int SnapshotFlowExternallyInitiatedListener::notifySnapshotPrepare() {
    (void)m_eventFreezeComplete;
    (void)m_eventThawStart;
    (void)m_eventThawComplete;
    LOG(Warn) << "runner flow listener is not built: no runner to hand over to" << std::endl;
    return 1;
}

void SnapshotFlowExternallyInitiatedListener::notifySnapshotQuiesceSuccess() {}
void SnapshotFlowExternallyInitiatedListener::notifySnapshotThawSuccess() {}
void SnapshotFlowExternallyInitiatedListener::notifySnapshotCompleteSuccess() {}
void SnapshotFlowExternallyInitiatedListener::notifySnapshotCompleteFailure(int) {}
