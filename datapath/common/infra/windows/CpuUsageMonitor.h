#pragma once
#include "Types.h"

#include <windows.h>

// The number of hardware threads, 1 when the system does not tell.
u32 hardwareThreadCount();

// One thread's user time between two updates.
class ThreadCpuUsageMonitor {
public:
    ThreadCpuUsageMonitor(u32 threadId, i64 lastUserTime, u32 cpuCount)
        : m_threadId(threadId), m_lastUserTime(lastUserTime), m_cpuCount(cpuCount) {}

    // The thread's user time in 100-ns units since the previous update; 0 at the first update and when the
    // thread cannot be opened or queried.
    i64 update();

    u32 m_threadId;
    i64 m_lastUserTime;  // -1 before the first update
    u32 m_cpuCount;
};

// The machine's busy share, from the processors' idle-time counter, or simulated for tests (the tweaks
// "t_simulativeCpuUsage" and "t_randomCpuUsage", read again at every update).
class CpuUsageMonitor {
public:
    CpuUsageMonitor();
    ~CpuUsageMonitor();
    CpuUsageMonitor(const CpuUsageMonitor&) = delete;
    CpuUsageMonitor& operator=(const CpuUsageMonitor&) = delete;

    // The machine's time base ticks (100-ns units per processor) since the previous update; 0 when simulated or
    // when the counter cannot be read.
    i64 update();
    // Sets the busy share by the probability tweaks; returns 0.
    int randomCpuGeneratorForTests();

    i64 m_cpuPercent = 0;
    i64 m_lastTotalTicks = 0;
    i64 m_lastIdleTicks = 0;
    i64 m_lastTotalDelta = 0;
    u32 m_cpuCount = 1;
    // The performance-data query and its counter; opened only in real mode.
    HANDLE m_query = nullptr;
    HANDLE m_counter = nullptr;
};
