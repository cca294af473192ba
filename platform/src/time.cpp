#include "internal.h"

#include <ctime>

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

}  // namespace

void GetSystemTime(LPSYSTEMTIME st) {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    tm t;
    gmtime_r(&ts.tv_sec, &t);
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
    ULONGLONG value = static_cast<ULONGLONG>(seconds * 10000000 + st->wMilliseconds * 10000LL + kFileTimeUnixEpoch);
    ft->dwLowDateTime = static_cast<DWORD>(value);
    ft->dwHighDateTime = static_cast<DWORD>(value >> 32);
    return TRUE;
}

ULONGLONG GetTickCount64() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<ULONGLONG>(ts.tv_sec) * 1000 + static_cast<ULONGLONG>(ts.tv_nsec) / 1000000;
}

BOOL QueryPerformanceCounter(LARGE_INTEGER* count) {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    count->QuadPart = static_cast<LONGLONG>(ts.tv_sec) * kCounterFrequency + ts.tv_nsec / 100;
    return TRUE;
}

BOOL QueryPerformanceFrequency(LARGE_INTEGER* frequency) {
    frequency->QuadPart = kCounterFrequency;
    return TRUE;
}
