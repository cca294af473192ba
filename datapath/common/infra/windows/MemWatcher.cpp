#include "MemWatcher.h"

#include "Logger.h"
#include "Timer.h"
#include "TrackedAllocation.h"

#include <psapi.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

namespace {

const char* const kSource = "datapath\\common\\infra\\windows\\MemWatcherBase";

void deleteMonitor(ThreadCpuUsageMonitor* monitor, u32 line) { trackedDelete(monitor, kSource, line); }

}  // namespace

// The first report counts from here, not from the clock's reference.
MemWatcher::MemWatcher()
    : m_threads("MemWatcherThreads"), m_lastCpuReportMs(static_cast<u64>(Timer::instance()->sinceReference())) {}

// The monitor is made, and a duplicate freed, outside m_lock: the allocator's failure report takes m_lock to
// print the CPU shares, so no allocator call may wait while m_lock is held.
void MemWatcher::AddThread(u32 threadId) {
    ThreadCpuUsageMonitor* monitor = trackedNew<ThreadCpuUsageMonitor>("ThreadCpuUsageMonitor", kSource, __LINE__,
                                                                        threadId, -1, hardwareThreadCount());
    bool added;
    {
        ScopedLock lock(&m_lock);
        added = m_threads.emplace(static_cast<int>(threadId), ThreadInfo{monitor, 0}).second;
        m_threads.noteSize();
    }
    if (!added) {
        deleteMonitor(monitor, __LINE__);
        return;
    }
    LOG(Info) << "added " << " pid=" << threadId << " " << std::endl;
}

void MemWatcher::RemoveThread(u32 threadId) {
    ThreadCpuUsageMonitor* monitor = nullptr;
    {
        ScopedLock lock(&m_lock);
        auto it = m_threads.find(static_cast<int>(threadId));
        if (it == m_threads.end()) return;
        monitor = it->second.m_cpuMonitor;
        m_threads.erase(it);
        m_threads.noteSize();
    }
    deleteMonitor(monitor, __LINE__);
}

bool MemWatcher::hasThread(u32 threadId) {
    ScopedLock lock(&m_lock);
    return m_threads.count(static_cast<int>(threadId)) != 0;
}

const ThreadCpuUsageMonitor* MemWatcher::cpuMonitorOf(u32 threadId) {
    ScopedLock lock(&m_lock);
    auto it = m_threads.find(static_cast<int>(threadId));
    return it == m_threads.end() ? nullptr : it->second.m_cpuMonitor;
}

void MemWatcher::iterateThreads(std::function<void(int threadId, u64 value)> callback) {
    LOG(Info) << "start" << std::endl;
    ScopedLock lock(&m_lock);
    for (const auto& [id, info] : m_threads) callback(id, info.m_threadData);
    LOG(Info) << "done" << std::endl;
}

void MemWatcher::printCpu() {
    const i64 totalTicks = m_cpuMonitor.update();
    const u64 now = static_cast<u64>(Timer::instance()->sinceReference());
    LOG_D(Info, 0) << totalTicks << " cpu ticks in " << static_cast<u32>(now - m_lastCpuReportMs) << " ms"
                   << std::endl;
    m_lastCpuReportMs = now;

    std::vector<std::pair<std::string, int>> shares;
    std::vector<ThreadCpuUsageMonitor*> dropped;
    float sum = 0;
    {
        ScopedLock lock(&m_lock);
        for (auto it = m_threads.begin(); it != m_threads.end();) {
            const i64 ticks = it->second.m_cpuMonitor->update();
            if (ticks == -1) {
                dropped.push_back(it->second.m_cpuMonitor);
                it = m_threads.erase(it);
                continue;
            }
            std::string label = std::to_string(it->first);
            const std::string name = Logger::instance()->getThreadName(static_cast<u32>(it->first));
            if (!name.empty()) label += "[" + name + "]";
            if (totalTicks != 0) {
                const float percent = static_cast<float>(ticks * 100) / static_cast<float>(totalTicks);
                sum += percent;
                shares.emplace_back(std::move(label), static_cast<int>(percent));
            }
            ++it;
        }
        m_threads.noteSize();
    }
    for (ThreadCpuUsageMonitor* monitor : dropped) deleteMonitor(monitor, __LINE__);

    std::sort(shares.begin(), shares.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
    std::string text;
    for (const auto& [label, percent] : shares) {
        if (percent != 0) text += label + "=" + std::to_string(percent) + "% ";
    }
    LOG_D(Info, 0) << "total=" << static_cast<int>(sum) << " cpu(perc)" << text << std::endl;
}

void MemWatcher::printMem() {
    HANDLE hProcess = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, GetCurrentProcessId());
    ASSERT(NULL != hProcess);
    PROCESS_MEMORY_COUNTERS counters;
    if (GetProcessMemoryInfo(hProcess, &counters, sizeof(counters))) {
        LOG_D(Info, 0) << "memory information: " << "PWSS=" << counters.PeakWorkingSetSize
                       << " WSS=" << counters.WorkingSetSize << " QPPPU=" << counters.QuotaPeakPagedPoolUsage
                       << " QPU=" << counters.QuotaPagedPoolUsage << " QPNPPU=" << counters.QuotaPeakNonPagedPoolUsage
                       << " QNPPU=" << counters.QuotaNonPagedPoolUsage << " PFU=" << counters.PagefileUsage
                       << " PPFileU=" << counters.PeakPagefileUsage << std::endl;
    }
    CloseHandle(hProcess);
}
