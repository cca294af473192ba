#pragma once
#include <windows.h>

// Switches the boot-status policy to ignore all failures and back. Before the switch a RunOnce entry is left that
// restores the policy at the next logon, in case the agent never gets to switch it back itself.
class WindowsErrorRecoveryDisabler {
public:
    HKEY openKey();
    bool registerRunOnce();
    bool unregisterRunOnce();
    bool disable();
    // The RunOnce entry is removed only once the policy is known to be restored.
    bool enable();
    // True when the interpreter ran the line and the command succeeded.
    bool execueCommandLine(const char* commandLine);
};

class WindowsErrorRecoveryGuard {
public:
    explicit WindowsErrorRecoveryGuard(bool engage);
    ~WindowsErrorRecoveryGuard();
    WindowsErrorRecoveryGuard(const WindowsErrorRecoveryGuard&) = delete;
    WindowsErrorRecoveryGuard& operator=(const WindowsErrorRecoveryGuard&) = delete;

private:
    WindowsErrorRecoveryDisabler m_disabler;
    bool m_engaged;
};
