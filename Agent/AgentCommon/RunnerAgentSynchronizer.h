#pragma once
#include "Types.h"

#include <windows.h>

#include <string>

// The named events between the agent and an outside runner or reader.
class RunnerAgentSynchronizer {
public:
    // Creates or opens the auto-reset event `name`, open to everyone; null on failure.
    static HANDLE createEvent(const std::string& name);
    // Sets "Global\TalvoRunnerEventFreezeComplete".
    static void signal();
    // Waits up to `timeoutMs` for "Global\RequesterEventWaitForReadNotificationName".
    static void waitForSignal(u32 timeoutMs);
};
