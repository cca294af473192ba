// Performance Data Helper: the one counter "\Processor(_Total)\% Idle Time", sampled from /proc/stat.
#pragma once
#include <windows.h>

typedef LONG PDH_STATUS;
typedef HANDLE PDH_HQUERY;
typedef HANDLE PDH_HCOUNTER;

#define PDH_CSTATUS_VALID_DATA ((DWORD)0x00000000u)
#define PDH_CSTATUS_NEW_DATA ((DWORD)0x00000001u)
#define PDH_NO_DATA ((PDH_STATUS)0x800007D5u)
#define PDH_CSTATUS_NO_OBJECT ((PDH_STATUS)0xC0000BB8u)
#define PDH_CSTATUS_NO_COUNTER ((PDH_STATUS)0xC0000BB9u)
#define PDH_CSTATUS_INVALID_DATA ((PDH_STATUS)0xC0000BBAu)
#define PDH_INVALID_HANDLE ((PDH_STATUS)0xC0000BBCu)
#define PDH_INVALID_ARGUMENT ((PDH_STATUS)0xC0000BBDu)

// A rate of 100-ns time whose share is shown inverted (the idle time's counter type).
#define PERF_100NSEC_TIMER_INV 0x21510500u

typedef struct _PDH_RAW_COUNTER {
    DWORD CStatus;
    FILETIME TimeStamp;
    LONGLONG FirstValue;
    LONGLONG SecondValue;
    DWORD MultiCount;
} PDH_RAW_COUNTER, *PPDH_RAW_COUNTER;

// Only the local machine (no data source).
PDH_STATUS PdhOpenQueryA(LPCSTR dataSource, DWORD_PTR userData, PDH_HQUERY* query);
// Only "\Processor(_Total)\% Idle Time", in any case; any other path, or /proc/stat unreadable, fails and adds
// nothing.
PDH_STATUS PdhAddCounterA(PDH_HQUERY query, LPCSTR fullCounterPath, DWORD_PTR userData, PDH_HCOUNTER* counter);
// Samples the aggregate "cpu" line of /proc/stat for every counter of the query; when it cannot be read the
// counters keep their last sample and the call fails with PDH_NO_DATA.
PDH_STATUS PdhCollectQueryData(PDH_HQUERY query);
// The last sample: FirstValue is the idle time (idle and iowait), SecondValue the whole time (the first eight
// fields; guest time is inside user time), both per processor in 100-ns units. Before any sample both are 0 and
// CStatus is PDH_CSTATUS_INVALID_DATA.
PDH_STATUS PdhGetRawCounterValue(PDH_HCOUNTER counter, LPDWORD type, PPDH_RAW_COUNTER value);
// Closes the query and its counters.
PDH_STATUS PdhCloseQuery(PDH_HQUERY query);
