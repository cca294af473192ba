// Test controls of the stand-in's service control manager and of its 32-bit tick clock.
#pragma once
#include <windows.h>
#include <winsvc.h>

#include <string>
#include <vector>

namespace platform_test {

// The service control calls that can be made to fail.
enum class ServiceCall { OpenSCManager, OpenService, QueryStatus, StartService, ControlService };
// The `nth` call (1 = the next one) of `call` from now on fails with `error`; one failure per call kind is armed.
void failServiceCall(ServiceCall call, unsigned nth, DWORD error);

// A service that lives only in this process: OpenServiceA / OpenServiceW find it under `name`, each status query
// answers with the next entry of `statuses` (the last one repeats), and StartServiceW records the call and fails
// with `startError` unless it is 0. Replaces any earlier script.
void scriptService(const std::string& name, const std::vector<SERVICE_STATUS_PROCESS>& statuses,
                   DWORD startError = 0);
void clearServiceScripts();
// Every service control call of this process since the last clear, in order: "OpenSCManagerW", "OpenServiceA",
// "QueryServiceStatusEx", "StartServiceW", "CloseServiceHandle(service)", "CloseServiceHandle(manager)", ...
std::vector<std::string> serviceCalls();
void clearServiceCalls();

// From now on GetTickCount returns `start` plus what Sleep was asked for since; Sleep returns at once. Every
// Sleep is recorded.
void useFakeTickClock(DWORD start);
void useRealTickClock();
std::vector<DWORD> recordedSleeps();

}  // namespace platform_test
