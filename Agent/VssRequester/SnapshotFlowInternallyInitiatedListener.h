#pragma once
#include "Arguments.h"
#include "ISnapshotFlowListener.h"

// Reports the checkpoint to the management servers over HTTP.
class SnapshotFlowInternallyInitiatedListener : public ISnapshotFlowListener {
public:
    explicit SnapshotFlowInternallyInitiatedListener(const Arguments& args);

    int notifySnapshotPrepare() override;
    void notifySnapshotQuiesceSuccess() override;
    void notifySnapshotThawSuccess() override;
    void notifySnapshotCompleteSuccess() override;
    void notifySnapshotCompleteFailure(int errNum) override;
};
