// Stand-in until the HTTP listener is built: its preparation fails, so a flow stops before anything is frozen.
#include "SnapshotFlowInternallyInitiatedListener.h"

#include "Logger.h"

SnapshotFlowInternallyInitiatedListener::SnapshotFlowInternallyInitiatedListener(const Arguments&) {}

int SnapshotFlowInternallyInitiatedListener::notifySnapshotPrepare() {
    LOG(Warn) << "HTTP flow listener is not built: no server to report to" << std::endl;
    return 1;
}

void SnapshotFlowInternallyInitiatedListener::notifySnapshotQuiesceSuccess() {}
void SnapshotFlowInternallyInitiatedListener::notifySnapshotThawSuccess() {}
void SnapshotFlowInternallyInitiatedListener::notifySnapshotCompleteSuccess() {}
void SnapshotFlowInternallyInitiatedListener::notifySnapshotCompleteFailure(int) {}
