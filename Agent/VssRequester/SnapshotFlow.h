#pragma once
#include "IVssRequester.h"
#include "ISnapshotFlowListener.h"
#include "SnapshotFlowArgs.h"
#include "StatusReaderWriter.h"
#include "Types.h"

#include <windows.h>

// What the requester thread and the second run are handed; it lives in execute's frame.
struct RequesterThreadArgs {
    IVssRequester* m_requester;
    SnapshotFlowArgs* m_args;
};

// One checkpoint request from start to end.
class SnapshotFlow {
public:
    static constexpr const char* kMutexName = "Global\\TalvoVssMutex";
    static constexpr const char* kQuiescedEventName = "Global\\TalvoVssQuiescedEvent";
    static constexpr const char* kThawEventName = "Global\\TalvoVssThawEvent";

    // Runs the whole flow on the calling thread; the flow's status (an AgentStatus code). The listener, the
    // requester and the status channel stay the caller's and must live until it returns.
    static int execute(SnapshotFlowArgs& args, ISnapshotFlowListener* listener, IVssRequester* requester,
                       StatusReaderWriter* status);
    // The frozen moment: the listener's quiesce call, then the provider may thaw.
    static void signalVssIsFrozenWaitForThaw(ISnapshotFlowListener* listener);
    // One DoSnapshot of the requester; `context` is a RequesterThreadArgs. The requester thread's entry, and the
    // second run.
    static DWORD WINAPI launchVssRequesterDoSnapshot(LPVOID context);

    // This run's handles of the events; null once the flow closed them.
    static HANDLE s_quiescedEvent;
    static HANDLE s_thawEvent;
    // The result of the last DoSnapshot that returned.
    static i32 doSnapshotResult;
};
