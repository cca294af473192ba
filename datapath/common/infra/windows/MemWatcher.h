#pragma once
#include "CountedWatchedContainer.h"
#include "Mutex.h"
#include "Singleton.h"
#include "Types.h"

#include <functional>
#include <map>

// Threads known to the memory and CPU reports.
class MemWatcher : public Singleton<MemWatcher> {
public:
    struct ThreadInfo {
        u32 threadId = 0;
        // Handed to the iterateThreads callback; 0 when the thread is added.
        u64 m_threadData = 0;
    };

    MemWatcher();
    void AddThread(u32 threadId);
    void RemoveThread(u32 threadId);
    bool hasThread(u32 threadId);

    // Calls `callback` with every known thread's id and datum, in ascending id order, under the watcher's lock.
    void iterateThreads(std::function<void(int threadId, u64 value)> callback);
    // The CPU and memory reports; empty until the monitors exist.
    void printCpu();
    void printMem();

private:
    Mutex m_lock;
    CountedWatchedContainer<std::map<int, ThreadInfo>> m_threads;
};
