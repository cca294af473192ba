#include <platform/testing.h>

#include <atomic>
#include <cstring>

namespace {
std::atomic<DWORD> g_major{10}, g_minor{0}, g_build{19045};
std::atomic<unsigned> g_failVersion{0};
}

BOOL GetVersionExW(LPOSVERSIONINFOW info) {
    if (!info) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    for (unsigned n = g_failVersion.load(); n > 0;) {
        if (g_failVersion.compare_exchange_weak(n, n - 1)) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
    }
    const DWORD size = info->dwOSVersionInfoSize;
    if (size != sizeof(OSVERSIONINFOW) && size != sizeof(OSVERSIONINFOEXW)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memset(info, 0, size);
    info->dwOSVersionInfoSize = size;
    info->dwMajorVersion = g_major;
    info->dwMinorVersion = g_minor;
    info->dwBuildNumber = g_build;
    info->dwPlatformId = VER_PLATFORM_WIN32_NT;
    if (size == sizeof(OSVERSIONINFOEXW)) reinterpret_cast<LPOSVERSIONINFOEXW>(info)->wProductType = 1;  // workstation
    return TRUE;
}

void platform_test::setWindowsVersion(DWORD major, DWORD minor, DWORD build) {
    g_major = major;
    g_minor = minor;
    g_build = build;
}

void platform_test::failGetVersion(unsigned count) { g_failVersion = count; }
