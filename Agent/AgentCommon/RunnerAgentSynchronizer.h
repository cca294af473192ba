#pragma once
#include "Types.h"

#include <windows.h>

#include <string>

// The named events between the agent and an outside runner or reader.
class RunnerAgentSynchronizer {
public:
    static constexpr const char* kFreezeCompleteEventName = "Global\\TalvoRunnerEventFreezeComplete";
    static constexpr const char* kReadNotificationEventName = "Global\\RequesterEventWaitForReadNotificationName";

    // Creates or opens the auto-reset event `name`, open to everyone; an existing event keeps its state. Null on
    // failure.
    static HANDLE createEvent(const std::string& name);
    // Sets "Global\TalvoRunnerEventFreezeComplete". Its handle stays open, so the event outlives the call.
    static void signal();
    // Waits up to `timeoutMs` for "Global\RequesterEventWaitForReadNotificationName"; a notification set before
    // the call is discarded.
    static void waitForSignal(u32 timeoutMs);
};
