// Test controls of the registry, the version query and the command interpreter.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

namespace platform_test {

// One registry call or command run: the function ("RegFlushKey", "system"), the key as a full path
// ("HKEY_LOCAL_MACHINE\SOFTWARE\..."; empty for system) and the value name (the command line for system).
struct PlatformCall {
    std::string function;
    std::string key;
    std::string value;
};

// Starts an empty journal of this process's registry calls and command runs; failed calls are journaled too.
void startCallJournal();
std::vector<PlatformCall> callJournal();
void stopCallJournal();

// The `nth` call (1: the next one) to `function` ("RegSetValueExA", "RegFlushKey", ...) fails with `code` and
// changes nothing.
void failRegistryCall(const std::string& function, unsigned nth, LONG code);
void clearRegistryFaults();
// Set in a process's environment as "<function>:<nth>:<code>", arms that failure for the whole process from its
// first registry call on, as failRegistryCall does.
constexpr const char* kFailRegistryCallEnv = "TALVO_STANDIN_FAIL_REGISTRY_CALL";

// What GetVersionExW reports from now on.
void setWindowsVersion(DWORD major, DWORD minor, DWORD build);

// The interpreter system() falls back to; null restores /bin/sh.
void setDefaultCommandInterpreter(const char* path);

}  // namespace platform_test
