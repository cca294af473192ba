#pragma once
#include "PriorityQueue.h"
#include "RcStatus.h"
#include "Singleton.h"
#include "ThreadWrapper.h"
#include "Types.h"

#include <condition_variable>
#include <mutex>
#include <string>

class DlcKeepalive;
class IDlcKeepaliveListener;
class RateMonitor;

// A named worker: its threads take actions from a queue and run them one at a time, each under a deadlock-checker
// lease. The creator opens the threads.
class ActiveObject : public ThreadWrapper {
public:
    // One piece of work. Made with the tracked allocation; the worker deletes it after it ran.
    class Action {
    public:
        virtual ~Action() = default;
        virtual void run() = 0;
        // The lease time-out while it runs: its own, or the default one.
        virtual u32 getDeadlockTimeoutSec();

        u32 m_priority = 0;
        u32 m_workerIndex = 0;
        DlcKeepalive* m_keepalive = nullptr;
        u32 m_deadlockTimeoutSec = 0;
    };

    ActiveObject(const char* name, bool* forceVerbose);
    const char* getName() override;
    ~ActiveObject() override;
    void run() override;
    // Started workers + 1 - queued actions, never below 0.
    virtual u32 getFreeQueueSlots();
    virtual void onWorkerStart(u32 workerIndex);

    // Queues the action and wakes one worker: 0. Once the object is terminated the action is deleted unrun:
    // RC_ABORTED.
    RcStatus addAction(Action* action);
    // Stops every worker and deletes the queued actions unrun.
    void terminateAllThreads();
    // Builds a rate monitor (RateMonitor's constructor arguments) that the object owns from now on and feeds with
    // its actions; one per object. Returns it.
    RateMonitor* attachRateMonitor(const std::string& name, u32 submittedThreshold, u64 busyTimeThreshold,
                                   u32 completedThreshold, u64 timeDivisor, bool keepWindow, u64 windowStart);

protected:
    // With m_mutex held: reports the monitor's open interval as one task done.
    void closeRateIntervalLocked();

    PriorityQueue<Action*> m_pq;
    std::mutex m_mutex;
    std::condition_variable m_cond;
    bool m_enabled = true;
    u32 m_startedThreads = 0;
    u32 m_runningThreads = 0;
    u32 m_workerCounter = 0;
    bool* m_forceVerbose;
    std::string m_name;
    RateMonitor* m_rateMonitor = nullptr;
    IDlcKeepaliveListener* m_keepaliveListener = nullptr;
};

// The tracked allocator's active object. Nothing posts to it; its one worker idles.
class MemShieldAO : public ActiveObject, public Singleton<MemShieldAO, MemShieldAO> {
public:
    MemShieldAO();
    using Singleton<MemShieldAO, MemShieldAO>::instance;

    static inline bool s_forceVerbose = false;
};
