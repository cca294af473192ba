// Test controls of the stand-in. Only tests include this header.
#pragma once
#include <windows.h>

namespace platform_test {
// The next `count` calls to CreateThread fail with `error`.
void failCreateThread(unsigned count, DWORD error);

// Clocks. Each one, once set, stands still at the value given, until it is set again or useRealClocks() is called.
// The real performance counter keeps its own frequency whatever frequency is set.
void setPerformanceCounter(LONGLONG count);
// 0 makes QueryPerformanceFrequency fail, as on a machine without a performance counter.
void setPerformanceFrequency(LONGLONG frequency);
void setTickCount(ULONGLONG milliseconds);
// GetSystemTime returns `time` as given.
void setSystemTime(const SYSTEMTIME& time);
// GetSystemTime reads the clock as standing at `time` (a valid UTC time) and converts it as it converts the real
// clock's reading, through its calendar fields kept per thread.
void setSystemClock(const SYSTEMTIME& time);
void useRealClocks();
}

namespace platform_test {
// Points the stand-in's machine state (drives, registry, services, named objects) at `root`, for this process and
// every process it starts (it sets TALVO_STANDIN_ROOT). Call before starting threads.
void setStandinRoot(const char* root);
}
#include <platform/testing_winhttp.h>
#include <platform/testing_settings.h>
#include <platform/testing_shell.h>
#include <platform/testing_objects.h>
#include <platform/testing_services.h>
#include <platform/testing_vss.h>
#include <platform/testing_launcher.h>
#include <platform/testing_iphlpapi.h>
#include <platform/testing_waits.h>
#include <platform/testing_counters.h>
