#pragma once

// Told about each stage of one snapshot flow: prepare first, then either the failure once, or quiesce, thaw and
// complete in this order.
class ISnapshotFlowListener {
public:
    virtual ~ISnapshotFlowListener() = default;
    // 0 lets the flow go on; any other value stops it before anything is frozen.
    virtual int notifySnapshotPrepare() = 0;
    virtual void notifySnapshotQuiesceSuccess() = 0;
    virtual void notifySnapshotThawSuccess() = 0;
    virtual void notifySnapshotCompleteSuccess() = 0;
    virtual void notifySnapshotCompleteFailure(int errNum) = 0;
};
