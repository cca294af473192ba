#include "MemWatcher.h"

MemWatcher::MemWatcher() : m_threads("MemWatcherThreads") {}

void MemWatcher::AddThread(u32 threadId) {
    ScopedLock lock(&m_lock);
    m_threads[static_cast<int>(threadId)].threadId = threadId;
}

void MemWatcher::RemoveThread(u32 threadId) {
    ScopedLock lock(&m_lock);
    m_threads.erase(static_cast<int>(threadId));
}

bool MemWatcher::hasThread(u32 threadId) {
    ScopedLock lock(&m_lock);
    return m_threads.count(static_cast<int>(threadId)) != 0;
}
