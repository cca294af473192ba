#include "Timer.h"

#include <windows.h>

#include <iomanip>

i64 Timer::getEpochMs() {
    SYSTEMTIME st;
    GetSystemTime(&st);
    FILETIME ft;
    SystemTimeToFileTime(&st, &ft);
    const i64 hundredNs = static_cast<i64>((static_cast<u64>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime);
    return hundredNs / 10000 - 11644473600000LL;
}

void Timer::printTime(std::ostream& os, int digits) {
    SYSTEMTIME st;
    GetSystemTime(&st);
    os << std::setw(4) << st.wYear << "-" << std::setfill('0') << std::setw(2) << st.wMonth << "-" << std::setw(2)
       << st.wDay << " " << std::setw(2) << st.wHour << ":" << std::setw(2) << st.wMinute << ":" << std::setw(2)
       << st.wSecond;
    if (digits > 0) {
        static const int kDivisors[] = {1, 100, 10, 1};
        const int d = digits > 3 ? 3 : digits;
        os << "." << std::setw(d) << st.wMilliseconds / kDivisors[d];
    }
}
