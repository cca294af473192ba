#pragma once
#include "MemWatchedContainer.h"
#include "Mutex.h"
#include "Singleton.h"
#include "Types.h"

#include <map>

// Threads known to the memory and CPU reports.
class MemWatcher : public Singleton<MemWatcher> {
public:
    struct ThreadInfo {
        u32 threadId = 0;
    };

    MemWatcher();
    void AddThread(u32 threadId);
    void RemoveThread(u32 threadId);
    bool hasThread(u32 threadId);

private:
    Mutex m_lock;
    StlMemShiledContainer<std::map<int, ThreadInfo>> m_threads;
};
