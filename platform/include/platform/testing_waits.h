// Test controls of waits on named events and of the version query.
#pragma once
#include <windows.h>

namespace platform_test {
// The next wait on a named event, in any thread of this process, returns `result` (WAIT_ABANDONED or WAIT_FAILED)
// at once instead of waiting; WAIT_FAILED sets ERROR_INVALID_HANDLE.
void injectNextEventWait(DWORD result);
void clearEventWaitInjection();
// The next `count` calls to GetVersionExW fail with ERROR_INVALID_PARAMETER.
void failGetVersion(unsigned count);
}
