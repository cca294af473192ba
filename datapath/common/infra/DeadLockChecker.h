#pragma once
#include "Future.h"
#include "CountedWatchedContainer.h"
#include "Mutex.h"
#include "RcStatus.h"
#include "Singleton.h"
#include "ThreadWrapper.h"
#include "Types.h"

#include <atomic>
#include <set>
#include <string>

class DlcKeepalive;

// Lets the owner of a lease take part in its judgement.
class IDlcKeepaliveListener {
public:
    virtual ~IDlcKeepaliveListener() = default;
    // Asked when the lease is stuck: true adds one check period to its time-out.
    virtual bool mayIncreaseTimeout(DlcKeepalive* keepalive) = 0;
    // The future the lease observes was set; the lease deletes itself right after.
    virtual void onLeaseDone(DlcKeepalive* keepalive) = 0;
    // Asked when the lease has expired: true means the owner dealt with it and the process goes on.
    virtual bool customTimeoutBehavior(std::string name) = 0;
};

// A lease of a thread that may get stuck. The owner marks it active while it works and inactive while it idles;
// the watchdog reads the flags from its own thread, so each is a whole atomic value.
class DlcKeepalive : public FutureInternal::FutureObserver<RcStatus> {
public:
    DlcKeepalive(const std::string& name, IDlcKeepaliveListener* listener);
    ~DlcKeepalive() override;
    DlcKeepalive(const DlcKeepalive&) = delete;
    DlcKeepalive& operator=(const DlcKeepalive&) = delete;

    // For a tracked-allocated lease observing a future: tells the listener, then deletes the lease.
    void update(RcStatus value) override;

    // One judgement at `nowMs` (process clock) with a check period of `periodSec`; the caller holds the manager's
    // lock.
    void checkLease(u64 nowMs, u32 periodSec);
    void printThreadsBackTrace();

    std::atomic<bool> m_active{true};
    // The next check restarts the lease's clock instead of judging it.
    std::atomic<bool> m_paused{true};
    std::atomic<u64> m_lastRenewMs{0};
    std::string m_name;
    std::atomic<u32> m_timeoutSec{0};
    IDlcKeepaliveListener* m_listener;
};

// The set of all leases and the watchdog thread that checks them once per period.
class DeadLockCheckerManager : public Singleton<DeadLockCheckerManager>, public ThreadWrapper {
public:
    DeadLockCheckerManager();
    ~DeadLockCheckerManager() override = default;
    void run() override;

    void registerChecker(DlcKeepalive* checker);
    void unregisterChecker(DlcKeepalive* checker);

    // The check period: the cached interval, never below 1 s.
    static u32 checkIntervalSec();

    // Guards the lease set; held for a whole check round.
    Mutex m_mutex;
    CountedWatchedContainer<std::set<DlcKeepalive*>> m_lockSet;
};

class ThreadBacktracePrinter {
public:
    // No stack is walked on this platform: two lines name the thread.
    static void print(u32 threadId, u64 threadData);
};
