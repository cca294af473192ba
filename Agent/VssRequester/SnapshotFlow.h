#pragma once
#include "IVssRequester.h"
#include "ISnapshotFlowListener.h"
#include "SnapshotFlowArgs.h"
#include "StatusReaderWriter.h"

// One checkpoint request from start to end.
class SnapshotFlow {
public:
    // Runs the whole flow on the calling thread; the flow's status (an AgentStatus code). The listener, the
    // requester and the status channel stay the caller's and must live until it returns.
    static int execute(SnapshotFlowArgs& args, ISnapshotFlowListener* listener, IVssRequester* requester,
                       StatusReaderWriter* status);
};
