#include "DeadLockChecker.h"

#include "DynamicTweaks.h"
#include "Logger.h"
#include "MemWatcher.h"
#include "Timer.h"
#include "TrackedAllocation.h"
#include "Tweaks.h"

#include <windows.h>

#include <chrono>
#include <limits>
#include <thread>

DlcKeepalive::DlcKeepalive(const std::string& name, IDlcKeepaliveListener* listener)
    : m_name(name), m_listener(listener) {
    DeadLockCheckerManager* manager = DeadLockCheckerManager::instance();
    m_timeoutSec.store(DynamicTweaks::instance()->t_defaultDlcTimeoutSec, std::memory_order_relaxed);
    if (m_name.empty()) m_name = "pid=" + std::to_string(GetCurrentThreadId());
    manager->registerChecker(this);
}

DlcKeepalive::~DlcKeepalive() { DeadLockCheckerManager::instance()->unregisterChecker(this); }

void DlcKeepalive::update(RcStatus /*value*/) {
    if (m_listener) m_listener->onLeaseDone(this);
    trackedDelete(this, __FILE__, __LINE__);
}

void DlcKeepalive::checkLease(u64 nowMs, u32 periodSec) {
    if (!m_active.load(std::memory_order_relaxed) || m_paused.load(std::memory_order_relaxed)) {
        m_paused.store(false, std::memory_order_relaxed);
        m_lastRenewMs.store(nowMs, std::memory_order_relaxed);
        return;
    }
    const u64 deltaSec = (nowMs - m_lastRenewMs.load(std::memory_order_relaxed)) / 1000;
    if (deltaSec <= periodSec) return;
    LOG_D(Error, 0) << m_name << " is stuck for " << deltaSec << " sec" << std::endl;
    const u32 timeoutSec = m_timeoutSec.load(std::memory_order_relaxed);
    if (m_listener && m_listener->mayIncreaseTimeout(this) &&
        static_cast<u64>(timeoutSec) + periodSec < std::numeric_limits<u32>::max()) {
        LOG_D(Info, 0) << m_name << " increasing timeout by " << periodSec << std::endl;
        m_timeoutSec.store(timeoutSec + periodSec, std::memory_order_relaxed);
    }
    if (deltaSec <= m_timeoutSec.load(std::memory_order_relaxed)) return;
    LOG_D(Control, 0) << m_name << " waited too long " << " deltaSec=" << deltaSec << " " << " m_timeoutSec="
                      << m_timeoutSec.load(std::memory_order_relaxed) << " " << " m_listener="
                      << static_cast<const void*>(m_listener) << " " << " checking custom behavior" << std::endl;
    if (m_listener && m_listener->customTimeoutBehavior(std::string(m_name))) {
        LOG_D(Error, 0) << m_name << " custom timeout behavior executed, rescheduling" << std::endl;
        return;
    }
    printThreadsBackTrace();
    ASSERT_MSG(Assert, false, m_name << " waited too long");
}

void DlcKeepalive::printThreadsBackTrace() {
    // No default: when the tweak is not set at all, the registry's stop ends the process here.
    if (Tweaks::instance()->uintVal("t_disableBtPrint") != 0) {
        LOG(Info) << "backtrace printing is disabled" << std::endl;
        return;
    }
    MemWatcher::instance()->iterateThreads(
        [](int threadId, u64 value) { ThreadBacktracePrinter::print(static_cast<u32>(threadId), value); });
}

DeadLockCheckerManager::DeadLockCheckerManager() : m_lockSet("DeadLockCheckers") {
    // Made before the watchdog starts, so that it never makes a singleton itself while the process may be ending.
    Logger::instance();
    DynamicTweaks::instance();
    MemWatcher::instance();
    Tweaks::instance();
    Timer::instance()->getTimestamp();
    open();
}

u32 DeadLockCheckerManager::checkIntervalSec() {
    const i32 interval = DynamicTweaks::instance()->t_deadlockCheckerIntervalSec;
    // 0 would spin with the lock held nearly all the time, a negative value would never judge anything.
    return interval < 1 ? 1u : static_cast<u32>(interval);
}

void DeadLockCheckerManager::run() {
    for (;;) {
        const u32 periodSec = checkIntervalSec();
        std::this_thread::sleep_for(std::chrono::milliseconds(static_cast<i64>(periodSec) * 1000));
        ScopedLock lock(&m_mutex);
        LOG_D(Info, 0) << " m_lockSet.size()=" << m_lockSet.size() << " " << std::endl;
        const u64 now = static_cast<u64>(Timer::instance()->getTimestamp());
        for (DlcKeepalive* lease : m_lockSet) lease->checkLease(now, periodSec);
    }
}

void DeadLockCheckerManager::registerChecker(DlcKeepalive* checker) {
    bool ret;
    {
        ScopedLock lock(&m_mutex);
        ret = m_lockSet.insert(checker).second;
        m_lockSet.noteSize();
    }
    ASSERT_MSG(Assert, ret, " checker=" << static_cast<const void*>(checker) << " " << "checker already registered");
}

void DeadLockCheckerManager::unregisterChecker(DlcKeepalive* checker) {
    bool ret;
    {
        ScopedLock lock(&m_mutex);
        ret = m_lockSet.erase(checker) != 0;
        m_lockSet.noteSize();
    }
    ASSERT_MSG(Assert, ret, " checker=" << static_cast<const void*>(checker) << " " << "checker not found");
}

void ThreadBacktracePrinter::print(u32 threadId, u64 threadData) {
    const std::string name = Logger::instance()->getThreadName(threadId);
    LOG(Info) << " threadName=" << name << " " << "pid=" << threadId << std::endl;
    LOG(Info) << "currently not Implemented in windows" << " threadId=" << threadId << " " << " threadData="
              << threadData << " " << " threadName=" << name << " " << std::endl;
}
