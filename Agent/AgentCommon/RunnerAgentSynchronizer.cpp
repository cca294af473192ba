#include "RunnerAgentSynchronizer.h"

#include "Logger.h"
#include "OpenToEveryone.h"

HANDLE RunnerAgentSynchronizer::createEvent(const std::string& name) {
    OpenToEveryone security;
    return CreateEventA(security.attributes(), FALSE, FALSE, name.c_str());
}

void RunnerAgentSynchronizer::signal() {
    const std::string name = kFreezeCompleteEventName;
    HANDLE event = createEvent(name);
    LOG(Info) << "fire event " << " eventNameStr=" << name << " " << std::endl;
    if (!SetEvent(event)) {
        LOG(Error) << "SetEventFailure" << " setEventRes=" << 0 << " " << " lastError=" << GetLastError() << " "
                   << std::endl;
    }
    // Not closed: the runner may open the event only after this returns.
}

void RunnerAgentSynchronizer::waitForSignal(u32 timeoutMs) {
    const std::string name = kReadNotificationEventName;
    HANDLE event = createEvent(name);
    ResetEvent(event);
    LOG(Info) << "Waiting for event " << " eventNameStr=" << name << " " << "with timeout of :" << timeoutMs << "ms"
              << std::endl;
    if (WaitForSingleObject(event, timeoutMs) == WAIT_TIMEOUT) {
        LOG(Info) << "event" << " eventHndl=" << static_cast<const void*>(event) << " " << "was timed out."
                  << std::endl;
    }
    CloseHandle(event);
}
