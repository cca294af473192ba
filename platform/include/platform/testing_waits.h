// Test controls of waits on named events and of the version query.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

namespace platform_test {
// The next wait on a named event, in any thread of this process, returns `result` (WAIT_ABANDONED or WAIT_FAILED)
// at once instead of waiting; WAIT_FAILED sets ERROR_INVALID_HANDLE.
void injectNextEventWait(DWORD result);
void clearEventWaitInjection();
// One wait on a named event that returned, or one set, in any thread of this process.
struct EventTraceEntry {
    std::string name;
    bool isSet;        // false: a wait that returned `result`
    DWORD result;
    long long steadyNs;  // std::chrono::steady_clock, comparable across the machine's processes
};
// Records every wait and set on named events of this process from now on, the earlier trace dropped.
void startEventTrace();
// Stops recording and hands over what was recorded, in order.
std::vector<EventTraceEntry> stopEventTrace();
// The next `count` calls to GetVersionExW fail with ERROR_INVALID_PARAMETER.
void failGetVersion(unsigned count);
}
