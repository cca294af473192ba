// Process status: the memory counters of the calling process.
#pragma once
#include <windows.h>

typedef struct _PROCESS_MEMORY_COUNTERS {
    DWORD cb;
    DWORD PageFaultCount;
    SIZE_T PeakWorkingSetSize;
    SIZE_T WorkingSetSize;
    SIZE_T QuotaPeakPagedPoolUsage;
    SIZE_T QuotaPagedPoolUsage;
    SIZE_T QuotaPeakNonPagedPoolUsage;
    SIZE_T QuotaNonPagedPoolUsage;
    SIZE_T PagefileUsage;
    SIZE_T PeakPagefileUsage;
} PROCESS_MEMORY_COUNTERS, *PPROCESS_MEMORY_COUNTERS;

// From /proc/self/status, in bytes: the working set is the resident set (VmHWM at its peak, VmRSS now), the
// page-file usage the data segment (VmData); Linux keeps no peak of that, so its peak is the peak of the whole
// address space (VmPeak). The quota-pool counters and the page-fault count have no counterpart and are 0.
// `process` is an OpenProcess handle or GetCurrentProcess(). FALSE with ERROR_INSUFFICIENT_BUFFER when `cb` is
// smaller than the record, and FALSE when the counters cannot be read.
BOOL GetProcessMemoryInfo(HANDLE process, PPROCESS_MEMORY_COUNTERS counters, DWORD cb);
