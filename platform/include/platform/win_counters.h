// Stand-in declarations: thread and process handles opened for their counters.
#pragma once
#include <windows.h>

#define THREAD_QUERY_INFORMATION 0x0040u
#define PROCESS_VM_READ 0x0010u
#define PROCESS_QUERY_INFORMATION 0x0400u

#ifndef ERROR_INVALID_DATA
#define ERROR_INVALID_DATA 13u
#endif

// A handle on one of the process's own threads, for GetThreadTimes; NULL with ERROR_INVALID_PARAMETER when the
// process has no thread of that id. The handle is signalled once the thread has ended.
HANDLE OpenThread(DWORD desiredAccess, BOOL inheritHandle, DWORD threadId);
// The thread's user and kernel time in 100-ns units, counted in clock ticks. Creation and exit times are left 0.
// Fails once the thread has ended.
BOOL GetThreadTimes(HANDLE thread, LPFILETIME creationTime, LPFILETIME exitTime, LPFILETIME kernelTime,
                    LPFILETIME userTime);
// A handle on the calling process only; any other id gives NULL with ERROR_INVALID_PARAMETER.
HANDLE OpenProcess(DWORD desiredAccess, BOOL inheritHandle, DWORD processId);
