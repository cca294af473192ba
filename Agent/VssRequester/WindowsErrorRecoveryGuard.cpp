#include "WindowsErrorRecoveryGuard.h"

#include "Logger.h"
#include "NativePath.h"

#include <cerrno>

namespace {
const char kRunOnceKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce";
const char kRunOnceValue[] = "Vantrell";
const char kDisableCommand[] = "bcdedit /set {current} bootstatuspolicy ignoreallfailures";
// Also the RunOnce entry's data: on a recovered machine the default entry is the one that boots.
const char kEnableCommand[] = "bcdedit /set {default} bootstatuspolicy displayallfailures";
static_assert(sizeof(kEnableCommand) == 59, "the RunOnce data holds the command and its terminating zero");
const REGSAM kKeyAccess = KEY_READ | KEY_WRITE;
}  // namespace

HKEY WindowsErrorRecoveryDisabler::openKey() {
    HKEY key = NULL;
    const LSTATUS rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRunOnceKey, 0, kKeyAccess, &key);
    if (rc != ERROR_SUCCESS) {
        LOG(Error) << "Error " << rc << " in RegOpenKeyEx." << std::endl;
        return NULL;
    }
    return key;
}

bool WindowsErrorRecoveryDisabler::registerRunOnce() {
    HKEY key = openKey();
    if (!key) return false;
    const LSTATUS rc = RegSetValueExA(key, kRunOnceValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(kEnableCommand),
                                      sizeof(kEnableCommand));
    if (rc != ERROR_SUCCESS) {
        LOG(Error) << "Error " << rc << " in RegSetValueEx." << std::endl;
        RegCloseKey(key);
        return false;
    }
    const LSTATUS flushed = RegFlushKey(key);
    if (flushed != ERROR_SUCCESS) LOG(Error) << "Error " << flushed << " in RegFlushKey." << std::endl;
    const LSTATUS closed = RegCloseKey(key);
    if (closed != ERROR_SUCCESS) LOG(Error) << "Error " << closed << " in RegCloseKey." << std::endl;
    return true;
}

bool WindowsErrorRecoveryDisabler::unregisterRunOnce() {
    HKEY key = openKey();
    if (!key) return false;
    const LSTATUS rc = RegDeleteValueA(key, kRunOnceValue);
    if (rc != ERROR_SUCCESS) {
        LOG(Error) << "Error " << rc << " in RegDeleteValue." << std::endl;
        RegCloseKey(key);
        return false;
    }
    const LSTATUS flushed = RegFlushKey(key);
    if (flushed != ERROR_SUCCESS) LOG(Error) << "Error " << flushed << " in RegFlushKey." << std::endl;
    const LSTATUS closed = RegCloseKey(key);
    if (closed != ERROR_SUCCESS) LOG(Error) << "Error " << closed << " in RegCloseKey." << std::endl;
    return true;
}

bool WindowsErrorRecoveryDisabler::execueCommandLine(const char* commandLine) {
    const int rc = runtimeSystem(commandLine);
    const int error = errno;  // before logging can change it
    if (rc == -1) {
        LOG(Error) << "Error " << error << " in system." << std::endl;
        return false;
    }
    // A command that ran and failed has not changed the policy.
    if (rc != 0) {
        LOG(Error) << "system returned " << rc << std::endl;
        return false;
    }
    return true;
}

bool WindowsErrorRecoveryDisabler::disable() {
    LOG(Info) << "Registering RunOnce..." << std::endl;
    if (!registerRunOnce()) return false;
    LOG(Info) << "Disabling Windows Error Recovery..." << std::endl;
    return execueCommandLine(kDisableCommand);
}

bool WindowsErrorRecoveryDisabler::enable() {
    LOG(Info) << "Enabling Windows Error Recovery..." << std::endl;
    if (!execueCommandLine(kEnableCommand)) return false;
    LOG(Info) << "Unregistering RunOnce..." << std::endl;
    return unregisterRunOnce();
}

WindowsErrorRecoveryGuard::WindowsErrorRecoveryGuard(bool engage) : m_engaged(engage) {
    if (!m_engaged) return;
    LOG(Info) << "Disabling Windows error recovery..." << std::endl;
    m_disabler.disable();
}

WindowsErrorRecoveryGuard::~WindowsErrorRecoveryGuard() {
    if (!m_engaged) return;
    LOG(Info) << "Enabling Windows error recovery..." << std::endl;
    m_disabler.enable();
}
