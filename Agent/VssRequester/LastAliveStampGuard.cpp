#include "LastAliveStampGuard.h"

#include "Logger.h"

namespace {
const wchar_t kReliabilityKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Reliability";
const wchar_t kStampValue[] = L"LastAliveStamp";
const REGSAM kKeyAccess = KEY_READ | KEY_WRITE;
}  // namespace

HKEY LastAliveStampCache::openKey() {
    HKEY key = NULL;
    const LSTATUS rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kReliabilityKey, 0, kKeyAccess, &key);
    if (rc != ERROR_SUCCESS) {
        LOG(Error) << "Error " << rc << " in RegOpenKeyEx." << std::endl;
        return NULL;
    }
    return key;
}

bool LastAliveStampCache::save() {
    HKEY key = openKey();
    if (!key) return false;
    DWORD size = sizeof(m_data);
    DWORD type = 0;
    // A value longer than the buffer fails here, before its type is looked at.
    const LSTATUS rc = RegQueryValueExW(key, kStampValue, NULL, &type, m_data, &size);
    if (rc != ERROR_SUCCESS) {
        LOG(Error) << "Error " << rc << " in RegQueryValueEx." << std::endl;
        RegCloseKey(key);
        return false;
    }
    if (type != REG_BINARY) {
        LOG(Error) << "Unexpected registry type " << type << std::endl;
        RegCloseKey(key);
        return false;
    }
    if (size > sizeof(m_data)) {
        LOG(Error) << "Unexpected data size " << size << std::endl;
        RegCloseKey(key);
        return false;
    }
    const LSTATUS deleted = RegDeleteValueW(key, kStampValue);
    if (deleted != ERROR_SUCCESS) {
        LOG(Error) << "Error " << deleted << " in RegDeleteValue." << std::endl;
        RegCloseKey(key);
        return false;
    }
    // The frozen image must hold the machine without the stamp.
    RegFlushKey(key);
    RegCloseKey(key);
    m_size = size;
    LOG(Info) << "Data size is " << size << std::endl;
    m_saved = true;
    return true;
}

bool LastAliveStampCache::restore() {
    if (!m_saved) return false;
    HKEY key = openKey();
    if (!key) return false;
    const LSTATUS rc = RegSetValueExW(key, kStampValue, 0, REG_BINARY, m_data, m_size);
    if (rc != ERROR_SUCCESS) LOG(Error) << "Error " << rc << " in RegSetValueEx." << std::endl;
    RegCloseKey(key);
    return rc == ERROR_SUCCESS;
}

LastAliveStampGuard::LastAliveStampGuard() {
    LOG(Info) << "Saving LastAliveStampCache..." << std::endl;
    m_cache.save();
}

LastAliveStampGuard::~LastAliveStampGuard() {
    LOG(Info) << "Restoring LastAliveStampCache..." << std::endl;
    m_cache.restore();
}
