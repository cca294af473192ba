#pragma once
#include "CountedWatchedContainer.h"
#include "CpuUsageMonitor.h"
#include "Mutex.h"
#include "Singleton.h"
#include "Types.h"

#include <functional>
#include <map>

// Threads known to the memory and CPU reports.
class MemWatcher : public Singleton<MemWatcher> {
public:
    struct ThreadInfo {
        ThreadCpuUsageMonitor* m_cpuMonitor = nullptr;  // owned; tracked allocation
        // Handed to the iterateThreads callback; 0 when the thread is added.
        u64 m_threadData = 0;
    };

    MemWatcher();
    // Registers a thread with a CPU monitor of its own; a thread already known keeps its monitor.
    void AddThread(u32 threadId);
    // Forgets a thread and frees its monitor; an unknown id is ignored.
    void RemoveThread(u32 threadId);
    bool hasThread(u32 threadId);
    // The thread's monitor, or null; for tests.
    const ThreadCpuUsageMonitor* cpuMonitorOf(u32 threadId);

    // Calls `callback` with every known thread's id and datum, in ascending id order, under the watcher's lock.
    void iterateThreads(std::function<void(int threadId, u64 value)> callback);
    // Each thread's share of the machine's CPU time since the previous report.
    void printCpu();
    // The process's memory counters.
    void printMem();

private:
    Mutex m_lock;
    CountedWatchedContainer<std::map<int, ThreadInfo>> m_threads;
    u64 m_lastCpuReportMs;
    CpuUsageMonitor m_cpuMonitor;
};
