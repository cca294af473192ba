#include "ThreadWrapper.h"

#include "Logger.h"
#include "MemWatcher.h"
#include "Timer.h"
#include "TypeName.h"

#include <cstdlib>
#include <string>
#include <typeinfo>

namespace {
std::atomic<u32> g_internalThreadCounter{0};
}

const char* ThreadWrapper::getName() { return readableTypeName(typeid(*this)); }

void ThreadWrapper::open() {
    m_threadsOpened.fetch_add(1);
    HANDLE h = CreateThread(NULL, 0, &ThreadWrapper::threadEntry, this, 0, NULL);
    ASSERT(h != NULL);
    CloseHandle(h);
}

void ThreadWrapper::waitForStart() {
    bool waited = false;
    for (;;) {
        size_t started;
        {
            ScopedLock lock(&m_startedIdsLock);
            started = m_startedIds.size();
        }
        if (started == m_threadsOpened.load()) {
            // The trigger resets as it releases one waiter: pass the set on, so that every other waiter returns
            // too. A set left over when none waits costs a later waiter one more look at the count.
            if (waited) m_startTrigger.set();
            return;
        }
        m_startTrigger.wait();
        waited = true;
    }
}

DWORD WINAPI ThreadWrapper::threadEntry(LPVOID object) {
    static_cast<ThreadWrapper*>(object)->threadCallback();
    return 0;
}

void ThreadWrapper::threadCallback() {
    const u32 internalId = g_internalThreadCounter.fetch_add(1) + 1;
    const std::string name = getName();
    const u32 threadId = GetCurrentThreadId();
    Logger::instance()->setThreadName(name);
    LOG(Info) << "Starting ThreadWrapper of type " << name << " internalId=" << internalId << " " << std::endl;
    {
        ScopedLock lock(&m_startedIdsLock);
        m_startedIds.push_back(threadId);
        if (m_startedIds.size() == m_threadsOpened.load()) m_startTrigger.set();
    }
    MemWatcher::instance()->AddThread(threadId);
    std::srand(static_cast<unsigned>(internalId + static_cast<u64>(Timer::instance()->getEpochMs())));

    run();

    MemWatcher::instance()->RemoveThread(threadId);
    Logger::instance()->eraseThreadName(threadId);
    LOG(Info) << "Ending ThreadWrapper of type " << name << " internalId=" << internalId << " " << std::endl;
}
