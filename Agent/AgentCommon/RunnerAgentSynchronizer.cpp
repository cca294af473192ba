#include "RunnerAgentSynchronizer.h"

#include "Logger.h"

HANDLE RunnerAgentSynchronizer::createEvent(const std::string& name) {
    // A null DACL: the provider and the runners, whatever their account, may open and set it.
    SECURITY_DESCRIPTOR descriptor;
    InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&descriptor, TRUE, NULL, FALSE);
    SECURITY_ATTRIBUTES attributes;
    attributes.nLength = sizeof(SECURITY_ATTRIBUTES);
    attributes.lpSecurityDescriptor = &descriptor;
    attributes.bInheritHandle = FALSE;
    return CreateEventA(&attributes, FALSE, FALSE, name.c_str());
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
