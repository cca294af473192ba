#include "MemWatcher.h"
#include "Logger.h"

MemWatcher::MemWatcher() : m_threads("MemWatcherThreads") {}

void MemWatcher::AddThread(u32 threadId) {
    ScopedLock lock(&m_lock);
    m_threads[static_cast<int>(threadId)].threadId = threadId;
    m_threads.noteSize();
}

void MemWatcher::RemoveThread(u32 threadId) {
    ScopedLock lock(&m_lock);
    m_threads.erase(static_cast<int>(threadId));
    m_threads.noteSize();
}

bool MemWatcher::hasThread(u32 threadId) {
    ScopedLock lock(&m_lock);
    return m_threads.count(static_cast<int>(threadId)) != 0;
}

void MemWatcher::iterateThreads(std::function<void(int threadId, u64 value)> callback) {
    LOG(Info) << "start" << std::endl;
    ScopedLock lock(&m_lock);
    for (const auto& [id, info] : m_threads) callback(id, info.m_threadData);
    LOG(Info) << "done" << std::endl;
}

void MemWatcher::printCpu() {}

void MemWatcher::printMem() {}
