#include "VssRequesterSimulator.h"

#include "Logger.h"
#include "SnapshotFlow.h"
#include "Tweaks.h"

int VssRequesterSimulator::DoSnapshot(const RequesterArgs&) {
    HANDLE mutex = OpenMutexA(MUTEX_ALL_ACCESS, FALSE, SnapshotFlow::kMutexName);
    if (!mutex) return 0;  // no flow is running
    CloseHandle(mutex);

    // Both events are opened before the freeze is signalled: a flow that thaws at once may close its own handles
    // before this one would open ThawEvent, which would then be a new event that nobody sets.
    HANDLE quiesced = CreateEventA(NULL, FALSE, FALSE, SnapshotFlow::kQuiescedEventName);
    HANDLE thaw = CreateEventA(NULL, FALSE, FALSE, SnapshotFlow::kThawEventName);
    const BOOL setRes = SetEvent(quiesced);
    if (!setRes) {
        LOG(Error) << "SetEventFailure" << " setEventRes=" << 0 << " " << " lastError=" << GetLastError() << " "
                   << std::endl;
    }

    // Read while guarded: the flow has read it, and so checked it, before the guards engaged.
    const i32 timeout = Tweaks::instance()->intVal("t_requesterEventWaitForThawStartTimeoutMsec");
    if (WaitForSingleObject(thaw, static_cast<DWORD>(timeout)) != WAIT_OBJECT_0) {
        LOG(Error) << " setEventRes=" << setRes << " " << " lastError=" << GetLastError() << " " << std::endl;
    }
    CloseHandle(quiesced);
    CloseHandle(thaw);
    return 0;
}
