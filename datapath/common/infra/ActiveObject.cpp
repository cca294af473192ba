#include "ActiveObject.h"

#include "DeadLockChecker.h"
#include "DynamicTweaks.h"
#include "Logger.h"
#include "RateMonitor.h"
#include "Timer.h"
#include "TrackedAllocation.h"

#include <chrono>
#include <thread>
#include <vector>

namespace {
const char* nameOrEmpty(const char* name) { return name ? name : ""; }

u64 nowUs() { return static_cast<u64>(Timer::instance()->getMicroseconds()); }
}  // namespace

u32 ActiveObject::Action::getDeadlockTimeoutSec() {
    if (m_deadlockTimeoutSec != 0) return m_deadlockTimeoutSec;
    DeadLockCheckerManager::instance();
    return DynamicTweaks::instance()->t_defaultDlcTimeoutSec;
}

ActiveObject::ActiveObject(const char* name, bool* forceVerbose)
    : m_pq(1, nameOrEmpty(name), false), m_forceVerbose(forceVerbose), m_name(nameOrEmpty(name)) {
    ASSERT_MSG(Assert, name != 0, "");
    LOG(Info) << "AO<" << m_name << "> " << " m_name=" << m_name << " " << " m_forceVerbose=" << (*m_forceVerbose ? 1 : 0)
              << " " << " DynamicTweaks::instance()->t_ActiveObjectVerboseLogs="
              << (DynamicTweaks::instance()->t_ActiveObjectVerboseLogs ? 1 : 0) << " " << std::endl;
}

const char* ActiveObject::getName() { return m_name.c_str(); }

ActiveObject::~ActiveObject() {
    terminateAllThreads();
    trackedDelete(m_rateMonitor, __FILE__, __LINE__);
}

RateMonitor* ActiveObject::attachRateMonitor(const std::string& name, u32 submittedThreshold, u64 busyTimeThreshold,
                                             u32 completedThreshold, u64 timeDivisor, bool keepWindow,
                                             u64 windowStart) {
    RateMonitor* monitor = trackedNew<RateMonitor>("RateMonitor", __FILE__, __LINE__, name, submittedThreshold,
                                                   busyTimeThreshold, completedThreshold, timeDivisor, keepWindow,
                                                   windowStart);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ASSERT_MSG(Assert, m_rateMonitor == nullptr, "a rate monitor is attached already" << " m_name=" << m_name << " ");
        if (m_rateMonitor == nullptr) {
            m_rateMonitor = monitor;
            return monitor;
        }
    }
    trackedDelete(monitor, __FILE__, __LINE__);
    return nullptr;
}

void ActiveObject::closeRateIntervalLocked() {
    if (m_rateMonitor == nullptr) return;
    ScopedLock monitorLock(m_rateMonitor->m_mutex);
    if (m_rateMonitor->m_taskIntervalStart == 0) return;
    const u64 now = nowUs();
    m_rateMonitor->taskDone(now, now - m_rateMonitor->m_taskIntervalStart);
    m_rateMonitor->m_taskIntervalStart = 0;
}

void ActiveObject::onWorkerStart(u32 /*workerIndex*/) {}

u32 ActiveObject::getFreeQueueSlots() {
    std::lock_guard<std::mutex> lock(m_mutex);
    const i64 slots = static_cast<i64>(m_startedThreads) + 1 - static_cast<i64>(m_pq.size());
    return slots < 0 ? 0 : static_cast<u32>(slots);
}

RcStatus ActiveObject::addAction(Action* action) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_enabled) {
            if (m_rateMonitor) {
                // An interval runs from the first action queued on an empty queue until the queue is drained.
                ScopedLock monitorLock(m_rateMonitor->m_mutex);
                if (m_pq.empty() && m_rateMonitor->m_taskIntervalStart == 0) {
                    m_rateMonitor->m_taskIntervalStart = nowUs();
                    m_rateMonitor->incActiveTasksLocked(1);
                }
                ++m_rateMonitor->m_submittedTasks;
            }
            m_pq.enqueue(action, 0);
            m_cond.notify_one();
            return static_cast<RcStatus>(0);
        }
    }
    // No worker would ever run it.
    trackedDelete(action, __FILE__, __LINE__);
    return RC_ABORTED;
}

void ActiveObject::run() {
    u32 workerIndex;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_startedThreads;
        ++m_runningThreads;
        workerIndex = ++m_workerCounter;
    }
    {
        DlcKeepalive lease("", m_keepaliveListener);
        lease.m_active.store(false, std::memory_order_relaxed);
        onWorkerStart(workerIndex);

        std::unique_lock<std::mutex> lock(m_mutex);
        for (;;) {
            while (m_pq.empty()) {
                if (!m_enabled) break;
                const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
                const bool timedOut = m_cond.wait_until(lock, deadline) == std::cv_status::timeout;
                const bool verbose = (m_forceVerbose && *m_forceVerbose) ||
                                     DynamicTweaks::instance()->t_ActiveObjectVerboseLogs;
                if (verbose && timedOut && (!m_pq.empty() || !m_enabled)) {
                    LOG(Info) << "AO<" << m_name << "> " << m_name
                              << " !m_pq.empty() || !m_enabled, and wait timed out, unlikely, m_pq.size "
                              << m_pq.size() << " m_pq.empty " << (m_pq.empty() ? 1 : 0) << "  m_pq Priority "
                              << m_pq.curPriority() << std::endl;
                }
            }
            if (!m_enabled) break;  // queued actions are not run
            Action* action = nullptr;
            u32 priority = 0;
            m_pq.dequeue(action, priority);
            if (m_pq.empty()) closeRateIntervalLocked();
            lock.unlock();

            action->m_priority = priority;
            lease.m_timeoutSec.store(action->getDeadlockTimeoutSec(), std::memory_order_relaxed);
            lease.m_paused.store(true, std::memory_order_relaxed);
            lease.m_active.store(true, std::memory_order_relaxed);
            action->m_workerIndex = workerIndex;
            action->m_keepalive = &lease;
            action->run();
            lease.m_active.store(false, std::memory_order_relaxed);
            trackedDelete(action, __FILE__, __LINE__);

            lock.lock();
        }
    }
    // The lease is gone; past this point the object may be destroyed by terminateAllThreads.
    std::lock_guard<std::mutex> lock(m_mutex);
    --m_runningThreads;
}

void ActiveObject::terminateAllThreads() {
    waitForStart();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_enabled = false;
    }
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_startedThreads == m_threadsOpened.load() && m_runningThreads == 0) break;
            for (u32 i = 0; i < m_runningThreads; ++i) m_cond.notify_one();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    std::vector<Action*> discarded;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_pq.empty()) {
            LOG(Warn) << "ActiveObject queue was not empty during shutdown: " << m_pq.size()
                      << " items, details follow." << std::endl;
            for (u32 p = 0; p <= m_pq.curPriority(); ++p) {
                LOG(Warn) << "priority " << p << ": " << m_pq.size(p) << " items, " << m_pq.sizeBytes(p) << std::endl;
            }
            Action* action = nullptr;
            u32 priority = 0;
            while (m_pq.dequeue(action, priority)) discarded.push_back(action);
        }
        closeRateIntervalLocked();
    }
    for (Action* action : discarded) trackedDelete(action, __FILE__, __LINE__);
}

MemShieldAO::MemShieldAO() : ActiveObject("MemShieldAO", &s_forceVerbose) {}
