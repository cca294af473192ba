// Stand-in until the snapshot flow is built: it fails as a flow whose preparation failed, touching nothing.
#include "SnapshotFlow.h"

#include "AgentStatus.h"
#include "Logger.h"

int SnapshotFlow::execute(SnapshotFlowArgs&, ISnapshotFlowListener*, IVssRequester*, StatusReaderWriter*) {
    LOG(Warn) << "snapshot flow is not built: no checkpoint taken" << std::endl;
    return AgentStatus::QuiescedWaitFailed;
}
