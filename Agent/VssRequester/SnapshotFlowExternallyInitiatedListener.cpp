#include "SnapshotFlowExternallyInitiatedListener.h"

#include "Logger.h"
#include "RunnerAgentSynchronizer.h"
#include "Tweaks.h"

SnapshotFlowExternallyInitiatedListener::~SnapshotFlowExternallyInitiatedListener() {
    if (m_eventFreezeComplete != nullptr) CloseHandle(m_eventFreezeComplete);
    if (m_eventThawStart != nullptr) CloseHandle(m_eventThawStart);
    if (m_eventThawComplete != nullptr) CloseHandle(m_eventThawComplete);
}

int SnapshotFlowExternallyInitiatedListener::notifySnapshotPrepare() {
    LOG(Info) << "registering events" << std::endl;
    // Open to everyone (a null DACL), so runners of any account can open them.
    m_eventFreezeComplete = RunnerAgentSynchronizer::createEvent(kFreezeCompleteEventName);
    m_eventThawStart = RunnerAgentSynchronizer::createEvent(kThawStartEventName);
    m_eventThawComplete = RunnerAgentSynchronizer::createEvent(kThawCompleteEventName);
    // An existing event keeps its state: a go-ahead that came after an earlier run's time-out would thaw this run
    // before its runner has worked. FreezeComplete is left alone: the start-up's failure signal is the runner's.
    if (m_eventThawStart != nullptr) ResetEvent(m_eventThawStart);
    if (m_eventThawComplete != nullptr) ResetEvent(m_eventThawComplete);
    // Read now, while nothing is frozen: a malformed value ends the process here and not with the volumes frozen.
    m_thawStartTimeoutMsec = Tweaks::instance()->intVal("t_requesterEventWaitForThawStartTimeoutMsec");
    return 0;
}

void SnapshotFlowExternallyInitiatedListener::notifySnapshotQuiesceSuccess() {
    LOG(Info) << "receive freeze success, setting freeze event" << std::endl;
    if (!SetEvent(m_eventFreezeComplete)) {
        LOG(Error) << "SetEventFailure" << " setEventRes=" << 0 << " " << " lastError=" << GetLastError() << " "
                   << std::endl;
    }
    const int timeout = m_thawStartTimeoutMsec;
    LOG(Info) << "Waiting for event..." << " m_eventThawStart=" << static_cast<const void*>(m_eventThawStart) << " "
              << "with timeout of :" << timeout << "ms" << std::endl;
    const DWORD result = WaitForSingleObject(m_eventThawStart, static_cast<DWORD>(timeout));
    if (result == WAIT_OBJECT_0) {
        LOG(Info) << "received event from runner to continue to thaw logic" << std::endl;
    } else if (result == WAIT_ABANDONED) {
        LOG(Error) << "::WaitForSingleObject(quiescedEvent," << timeout << ") returned WAIT_ABANDONED" << std::endl;
    } else if (result == WAIT_TIMEOUT) {
        LOG(Error) << "::WaitForSingleObject(quiescedEvent, " << timeout << ") returned WAIT_TIMEOUT" << std::endl;
    } else if (result == WAIT_FAILED) {
        LOG(Error) << "::WaitForSingleObject(quiescedEvent, " << timeout << ") returned WAIT_FAILED" << std::endl;
    }
    LOG(Info) << "continuing to thaw" << std::endl;
}

void SnapshotFlowExternallyInitiatedListener::notifySnapshotThawSuccess() {}

void SnapshotFlowExternallyInitiatedListener::notifySnapshotCompleteSuccess() {
    LOG(Info) << "notifySnapshotCompleteSuccess" << std::endl;
    if (!SetEvent(m_eventThawComplete)) {
        LOG(Error) << "SetEventFailure" << " setEventRes=" << 0 << " " << " lastError=" << GetLastError() << " "
                   << std::endl;
    }
}

void SnapshotFlowExternallyInitiatedListener::notifySnapshotCompleteFailure(int errNum) {
    LOG(Info) << "notifySnapshotCompleteFailure" << " errNum=" << errNum << " " << std::endl;
}
