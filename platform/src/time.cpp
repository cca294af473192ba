#include "internal.h"

#include <platform/testing.h>

#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>

namespace {

constexpr LONGLONG kFileTimeUnixEpoch = 116444736000000000LL;  // 1970-01-01 in 100 ns units since 1601-01-01
constexpr LONGLONG kCounterFrequency = 10000000;              // 100 ns ticks, as on current Windows

// Days from 1970-01-01 to the given civil date (proleptic Gregorian).
LONGLONG daysFromCivil(LONGLONG y, unsigned m, unsigned d) {
    y -= m <= 2;
    const LONGLONG era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<LONGLONG>(doe) - 719468;
}

bool isLeap(unsigned y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

// Clocks set by tests; each flag says whether its value replaces the real clock.
std::atomic<bool> g_counterSet{false};
std::atomic<LONGLONG> g_counter{0};
std::atomic<bool> g_frequencySet{false};
std::atomic<LONGLONG> g_frequency{0};
std::atomic<bool> g_tickCountSet{false};
std::atomic<ULONGLONG> g_tickCount{0};
std::atomic<bool> g_systemTimeSet{false};
std::mutex g_systemTimeLock;
SYSTEMTIME g_systemTime;
std::atomic<bool> g_systemClockSet{false};
std::atomic<LONGLONG> g_systemClockNs{0};  // since 1970-01-01

void toFileTime(ULONGLONG value, LPFILETIME ft) {
    ft->dwLowDateTime = static_cast<DWORD>(value);
    ft->dwHighDateTime = static_cast<DWORD>(value >> 32);
}

ULONGLONG hundredNs(const timeval& tv) {
    return static_cast<ULONGLONG>(tv.tv_sec) * 10000000 + static_cast<ULONGLONG>(tv.tv_usec) * 10;
}

// Start of this process in 100 ns units since 1601-01-01: its start in clock ticks after boot (/proc/self/stat)
// plus the boot time (/proc/stat). 0 when either cannot be read.
ULONGLONG processStartFileTime() {
    std::ifstream statFile("/proc/self/stat");
    std::string stat;
    std::getline(statFile, stat);
    const size_t commEnd = stat.rfind(')');  // the command name may hold blanks and parentheses
    if (commEnd == std::string::npos) return 0;
    std::istringstream fields(stat.substr(commEnd + 1));
    std::string field;
    unsigned long long startTicks = 0;
    for (int i = 3; i <= 22 && fields >> field; ++i) {
        if (i == 22) startTicks = std::strtoull(field.c_str(), nullptr, 10);
    }
    std::ifstream system("/proc/stat");
    std::string key;
    unsigned long long bootSeconds = 0;
    while (system >> key) {
        if (key == "btime") {
            system >> bootSeconds;
            break;
        }
        std::getline(system, key);
    }
    const long ticksPerSecond = sysconf(_SC_CLK_TCK);
    if (bootSeconds == 0 || startTicks == 0 || ticksPerSecond <= 0) return 0;
    return bootSeconds * 10000000 + startTicks * 10000000 / static_cast<unsigned long long>(ticksPerSecond) +
           static_cast<ULONGLONG>(kFileTimeUnixEpoch);
}

}  // namespace

void platform_test::setPerformanceCounter(LONGLONG count) {
    g_counter = count;
    g_counterSet = true;
}

void platform_test::setPerformanceFrequency(LONGLONG frequency) {
    g_frequency = frequency;
    g_frequencySet = true;
}

void platform_test::setTickCount(ULONGLONG milliseconds) {
    g_tickCount = milliseconds;
    g_tickCountSet = true;
}

void platform_test::setSystemTime(const SYSTEMTIME& time) {
    std::lock_guard<std::mutex> lock(g_systemTimeLock);
    g_systemTime = time;
    g_systemTimeSet = true;
}

void platform_test::setSystemClock(const SYSTEMTIME& time) {
    FILETIME ft;
    if (!SystemTimeToFileTime(&time, &ft)) return;
    const LONGLONG value = static_cast<LONGLONG>((static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime);
    g_systemClockNs = (value - kFileTimeUnixEpoch) * 100;
    g_systemClockSet = true;
}

void platform_test::useRealClocks() {
    g_counterSet = false;
    g_frequencySet = false;
    g_tickCountSet = false;
    g_systemTimeSet = false;
    g_systemClockSet = false;
}

void GetSystemTime(LPSYSTEMTIME st) {
    if (g_systemTimeSet) {
        std::lock_guard<std::mutex> lock(g_systemTimeLock);
        *st = g_systemTime;
        return;
    }
    timespec ts;
    if (g_systemClockSet) {
        const LONGLONG ns = g_systemClockNs;
        ts.tv_sec = static_cast<time_t>(ns >= 0 ? ns / 1000000000 : (ns + 1) / 1000000000 - 1);
        ts.tv_nsec = static_cast<long>(ns - static_cast<LONGLONG>(ts.tv_sec) * 1000000000);
    } else {
        clock_gettime(CLOCK_REALTIME, &ts);
    }
    // Every log line asks: the calendar fields change once a second, and gmtime_r takes the C library's time
    // zone lock on each call.
    thread_local time_t t_lastSecond = -1;
    thread_local tm t_last;
    if (ts.tv_sec != t_lastSecond) {
        gmtime_r(&ts.tv_sec, &t_last);
        t_lastSecond = ts.tv_sec;
    }
    const tm& t = t_last;
    st->wYear = static_cast<WORD>(t.tm_year + 1900);
    st->wMonth = static_cast<WORD>(t.tm_mon + 1);
    st->wDayOfWeek = static_cast<WORD>(t.tm_wday);
    st->wDay = static_cast<WORD>(t.tm_mday);
    st->wHour = static_cast<WORD>(t.tm_hour);
    st->wMinute = static_cast<WORD>(t.tm_min);
    st->wSecond = static_cast<WORD>(t.tm_sec);
    st->wMilliseconds = static_cast<WORD>(ts.tv_nsec / 1000000);
}

BOOL SystemTimeToFileTime(const SYSTEMTIME* st, LPFILETIME ft) {
    static const unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (!st || !ft || st->wYear < 1601 || st->wYear > 30827 || st->wMonth < 1 || st->wMonth > 12 || st->wDay < 1 ||
        st->wDay > kDays[st->wMonth - 1] + (st->wMonth == 2 && isLeap(st->wYear)) || st->wHour > 23 ||
        st->wMinute > 59 || st->wSecond > 59 || st->wMilliseconds > 999) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    LONGLONG seconds = daysFromCivil(st->wYear, st->wMonth, st->wDay) * 86400 + st->wHour * 3600 + st->wMinute * 60 +
                       st->wSecond;
    toFileTime(static_cast<ULONGLONG>(seconds * 10000000 + st->wMilliseconds * 10000LL + kFileTimeUnixEpoch), ft);
    return TRUE;
}

// Milliseconds since boot, time spent suspended included.
ULONGLONG GetTickCount64() {
    if (g_tickCountSet) return g_tickCount;
    timespec ts;
    clock_gettime(CLOCK_BOOTTIME, &ts);
    return static_cast<ULONGLONG>(ts.tv_sec) * 1000 + static_cast<ULONGLONG>(ts.tv_nsec) / 1000000;
}

BOOL QueryPerformanceCounter(LARGE_INTEGER* count) {
    if (g_counterSet) {
        count->QuadPart = g_counter;
        return TRUE;
    }
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    count->QuadPart = static_cast<LONGLONG>(ts.tv_sec) * kCounterFrequency + ts.tv_nsec / 100;
    return TRUE;
}

BOOL QueryPerformanceFrequency(LARGE_INTEGER* frequency) {
    frequency->QuadPart = g_frequencySet ? g_frequency.load() : kCounterFrequency;
    return frequency->QuadPart != 0 ? TRUE : FALSE;
}

// Only the calling process can be asked: the stand-in has no handles to other processes. The exit time of a
// running process is left 0.
BOOL GetProcessTimes(HANDLE process, LPFILETIME creationTime, LPFILETIME exitTime, LPFILETIME kernelTime,
                     LPFILETIME userTime) {
    if (process != GetCurrentProcess()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!creationTime || !exitTime || !kernelTime || !userTime) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    rusage usage;
    if (getrusage(RUSAGE_SELF, &usage) != 0) return platform::detail::failFromErrno(false);
    toFileTime(processStartFileTime(), creationTime);
    toFileTime(0, exitTime);
    toFileTime(hundredNs(usage.ru_stime), kernelTime);
    toFileTime(hundredNs(usage.ru_utime), userTime);
    return TRUE;
}
