#pragma once
#include "Mutex.h"
#include "Trigger.h"
#include "Types.h"

#include <windows.h>

#include <atomic>
#include <vector>

// Base of every long-lived thread: names the thread for the log, registers it with the memory watcher and runs
// the body. Threads are never joined; the object must outlive them.
class ThreadWrapper {
public:
    ThreadWrapper() = default;
    // The readable name of the dynamic type, "class FileLoggerClient".
    virtual const char* getName();
    virtual ~ThreadWrapper() = default;
    virtual void run() = 0;

    // Starts one more thread on this object.
    void open();
    // Returns once every opened thread has recorded its id; any number of threads may wait at once.
    void waitForStart();

    static DWORD WINAPI threadEntry(LPVOID object);

protected:
    void threadCallback();

    Trigger m_startTrigger;
    std::vector<u32> m_startedIds;
    Mutex m_startedIdsLock;
    std::atomic<u32> m_threadsOpened{0};
};
