#pragma once
#include "Mutex.h"
#include "Types.h"

#include <string>

// Throughput, latency and concurrency of a named activity over windows of completed tasks, logged at the end of
// each window. Times are process-clock microseconds. The owner calls everything with m_mutex held.
class RateMonitor {
public:
    // A time divisor of 0 is taken as 1: the printed times divide by it.
    RateMonitor(const std::string& name, u32 submittedThreshold, u64 busyTimeThreshold, u32 completedThreshold,
                u64 timeDivisor, bool keepWindow, u64 windowStart);
    RateMonitor(const RateMonitor&) = delete;
    RateMonitor& operator=(const RateMonitor&) = delete;
    ~RateMonitor();

    // c is 1 (a task became active) or -1 (one ended).
    void incActiveTasksLocked(int c);
    // One task completed at `now` after `elapsed`; reports and resets the window when it is due.
    void taskDone(u64 now, u64 elapsed);
    // Logs the window's line.
    void update();

    std::string m_name;
    Mutex m_mutex;
    u64 m_taskIntervalStart = 0;
    u64 m_lastTaskDone = 0;
    u64 m_idleStart = 0;
    u64 m_busyStart = 0;
    u64 m_idleTime = 0;
    u32 m_currentActiveTasks = 0;
    u64 m_elapsedSum = 0;
    u32 m_submittedTasks = 0;
    u32 m_networkTasks = 0;
    u32 m_networkRate = 0;
    u32 m_rate = 0;
    u64 m_windowTime = 0;
    u64 m_busyTime = 0;
    u64 m_maxElapsed = 0;
    u32 m_completedTasks = 0;
    u32 m_submittedThreshold;
    u64 m_busyTimeThreshold;
    u32 m_completedThreshold;
    u64 m_windowStart;
    u32 m_networkBwRate = 0;
    u32 m_bwRate = 0;
    u32 m_maxConcurrency = 0;
    u32 m_minConcurrency = 0;
    float m_avgConcurrency = 0;
    float m_busyConcurrency = 0;
    u64 m_concurrencyIntegral = 0;
    u64 m_lastChange = 0;
    u64 m_timeDivisor;
    bool m_keepWindow;
};
