#pragma once
#include "DynamicTweaks.h"
#include "Logger.h"
#include "MemWatchedContainer.h"
#include "Timer.h"
#include "Tweaks.h"
#include "Types.h"

#include <atomic>
#include <list>
#include <sstream>
#include <string>
#include <vector>

// A list that keeps its own item count, so emptiness and size tests never walk it.
template <class T>
class OptimizedList {
public:
    virtual ~OptimizedList() = default;

    bool empty() const { return size() == 0; }
    // The memory report reads the count without the owner's lock; only the owner writes it.
    u64 size() const { return m_count.load(std::memory_order_relaxed); }
    void pushBack(const T& item) {
        m_items.push_back(item);
        m_count.store(size() + 1, std::memory_order_relaxed);
    }
    T& front() { return m_items.front(); }
    void popFront() {
        m_items.pop_front();
        if (size() > 0) m_count.store(size() - 1, std::memory_order_relaxed);
    }

private:
    std::list<T> m_items;
    std::atomic<u64> m_count{0};
};

// Items by priority: removal takes the highest priority that holds items, first in first out within one.
template <class T>
class PriorityQueue : public MemWatchedContainer {
public:
    struct QueueStats {
        u64 m_sizeBytes = 0;
        u64 m_highWatermark = 0;
        u64 m_lowWatermark = 0;
    };

    PriorityQueue(u32 priorities, const std::string& name, bool printStats)
        : MemWatchedContainer(name, sizeof(T)),
          m_queues(priorities),
          m_queueStats(priorities),
          m_printStats(printStats),
          m_statsName(name) {
        m_statsIntervalMs = static_cast<u32>(Tweaks::instance()->intVal("t_TeskPriorityQueuePrintIntervalMs", 10000));
        if (DynamicTweaks::instance()->t_IOVerboseLogs) m_statsIntervalMs = 500;
        MemWatchedContainerDatabase::instance()->registerContainer(this);
    }
    ~PriorityQueue() override { MemWatchedContainerDatabase::instance()->unregisterContainer(this); }
    PriorityQueue(const PriorityQueue&) = delete;
    PriorityQueue& operator=(const PriorityQueue&) = delete;

    u64 size() const override {
        u64 total = 0;
        for (const auto& list : m_queues) total += list.size();
        return total;
    }
    virtual void setName(const std::string& name) { m_statsName = name; }

    bool empty() const { return size() == 0; }

    void enqueue(const T& item, u32 priority) {
        ASSERT_MSG(Assert, priority < m_queues.size(),
                   "priority too high" << " priority=" << priority << " m_queues.size()=" << m_queues.size());
        if (priority >= m_queues.size()) return;
        printStatsIfNeeded();
        OptimizedList<T>& list = m_queues[priority];
        list.pushBack(item);
        if (list.size() > m_queueStats[priority].m_highWatermark) m_queueStats[priority].m_highWatermark = list.size();
        // Removal scans downward from here: an item above it would never be found.
        if (priority > m_curPriority) m_curPriority = priority;
    }

    bool dequeue(T& item, u32& priority) {
        for (u32 p = m_curPriority;; p = --m_curPriority) {
            OptimizedList<T>& list = m_queues[p];
            if (!list.empty()) {
                priority = p;
                item = list.front();
                list.popFront();
                removedItemFromPrio(p, 0);
                printStatsIfNeeded();
                return true;
            }
            if (p == 0) return false;
        }
    }

    u64 size(u32 priority) const {
        ASSERT_MSG(Assert, priority < m_queues.size(), "invalid priority");
        return priority < m_queues.size() ? m_queues[priority].size() : 0;
    }
    u64 sizeBytes(u32 priority) const {
        ASSERT_MSG(Assert, priority < m_queueStats.size(), "invalid priority");
        return priority < m_queueStats.size() ? m_queueStats[priority].m_sizeBytes : 0;
    }
    u32 curPriority() const { return m_curPriority; }
    const QueueStats& stats(u32 priority) const { return m_queueStats[priority]; }

    void removedItemFromPrio(u32 prio, u64 itemSize) {
        ASSERT_MSG(Assert, m_queueStats[prio].m_sizeBytes >= itemSize,
                   " m_queueStats[prio].m_sizeBytes=" << m_queueStats[prio].m_sizeBytes << " itemSize=" << itemSize);
        if (m_queueStats[prio].m_sizeBytes < itemSize) return;
        m_queueStats[prio].m_sizeBytes -= itemSize;
        if (m_queues[prio].size() < m_queueStats[prio].m_lowWatermark) {
            m_queueStats[prio].m_lowWatermark = m_queues[prio].size();
        }
    }

    void printStatsIfNeeded() {
        if (!m_printStats) return;
        const u64 now = static_cast<u64>(Timer::instance()->getTimestamp());
        if (now - m_lastStatsMs < m_statsIntervalMs) return;
        m_lastStatsMs = now;
        std::ostringstream line;
        line << "(" << m_statsName << ")";
        for (u32 p = static_cast<u32>(m_queues.size()); p-- > 0;) {
            QueueStats& stats = m_queueStats[p];
            line << "Q" << p << ":" << m_queues[p].size() << " (" << stats.m_sizeBytes << " B " << "WM-H"
                 << stats.m_highWatermark << " L" << stats.m_lowWatermark << ") ";
            stats.m_highWatermark = stats.m_lowWatermark = m_queues[p].size();
        }
        LOG(Info) << line.str() << std::endl;
    }

private:
    u32 m_curPriority = 0;
    std::vector<OptimizedList<T>> m_queues;
    std::vector<QueueStats> m_queueStats;
    bool m_printStats;
    u64 m_lastStatsMs = 0;
    u32 m_statsIntervalMs = 10000;
    std::string m_statsName;
};
