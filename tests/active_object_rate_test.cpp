// test-traits: threaded
#include "ActiveObject.h"
#include "ChildSupport.h"
#include "MemShield.h"
#include "RateMonitor.h"
#include "ServiceThreads.h"
#include "TestSupport.h"
#include "TrackedAllocation.h"
#include "Timer.h"

#include <atomic>
#include <limits>
#include <string>

namespace {

bool g_noForce = false;
std::atomic<int> g_ran{0};
std::atomic<int> g_destroyed{0};

class CountingAction : public ActiveObject::Action {
public:
    ~CountingAction() override { ++g_destroyed; }
    void run() override { ++g_ran; }
};

RcStatus addCounting(ActiveObject& ao) {
    return ao.addAction(trackedNew<CountingAction>("CountingAction", __FILE__, __LINE__));
}

u64 nowUs() { return static_cast<u64>(Timer::instance()->getMicroseconds()); }

// The figures of the monitor's one reported line: " time=W (B) rate=R".
struct Report {
    bool found = false;
    u64 busy = 0;
    u64 rate = 0;
};

Report reportOf(const std::string& name) {
    Report report;
    const auto lines = sharedClient().linesWith(",RateMonitor,update," + name + " time=");
    if (lines.size() != 1) return report;
    const std::string& line = lines[0];
    const size_t open = line.find(" (", line.find(" time="));
    const size_t rate = line.find(") rate=");
    if (open == std::string::npos || rate == std::string::npos) return report;
    report.found = true;
    report.busy = std::stoull(line.substr(open + 2, rate - open - 2));
    report.rate = std::stoull(line.substr(rate + 7));
    return report;
}

u64 expectedRate(u64 actions, u64 busy) {
    if (busy == 0) return 0xFFFFFFFFu;
    const u64 rate = actions * 1000000 / busy;
    return rate > 0xFFFFFFFFu ? 0xFFFFFFFFu : rate;
}

u32 activeTasks(RateMonitor* monitor) {
    ScopedLock lock(monitor->m_mutex);
    return monitor->m_currentActiveTasks;
}

}  // namespace

// Every action queued while the queue was busy belongs to one interval: the window reports them all. The
// threshold lets the window through only when every action was counted, not only the interval.
TEST(ActiveObjectRateTest, ABurstIsReportedWithEveryActionCounted) {
    constexpr int kActions = 5000;  // past 4295: the rate's product would wrap in 32 bits
    sharedClient();
    g_ran = 0;
    g_destroyed = 0;
    waitForServiceThreads();
    const u64 baseline = MemShield::instance()->m_allocatedBytes.load();
    const std::string name = uniqueName("burst");
    {
        ActiveObject ao(name.c_str(), &g_noForce);
        RateMonitor* monitor = ao.attachRateMonitor(name, kActions - 1, std::numeric_limits<u64>::max(), 1, 1,
                                                    false, nowUs());
        ASSERT_NE(monitor, nullptr);
        // The worker starts after the burst is queued, so the whole burst is one interval.
        for (int i = 0; i < kActions; ++i) ASSERT_EQ(addCounting(ao), static_cast<RcStatus>(0));
        {
            ScopedLock lock(monitor->m_mutex);
            EXPECT_EQ(monitor->m_submittedTasks, static_cast<u32>(kActions));
            EXPECT_EQ(monitor->m_currentActiveTasks, 1u);
            EXPECT_NE(monitor->m_taskIntervalStart, 0u);
        }
        ao.open();
        ASSERT_TRUE(waitUntil([] { return g_destroyed.load() == kActions; }, 20000)) << g_destroyed.load();
        EXPECT_EQ(g_ran.load(), kActions);
        const Report report = reportOf(name);
        ASSERT_TRUE(report.found) << "no window reported for " << name;
        EXPECT_EQ(report.rate, expectedRate(kActions, report.busy)) << "busy " << report.busy;
        EXPECT_EQ(activeTasks(monitor), 0u);
        {
            ScopedLock lock(monitor->m_mutex);
            EXPECT_EQ(monitor->m_taskIntervalStart, 0u);
            EXPECT_EQ(monitor->m_submittedTasks, 0u);  // a new window
        }
    }
    // The object freed its monitor with the tracked delete, after its destructor's check passed; its worker thread
    // frees its CPU monitor as it ends.
    EXPECT_TRUE(allocatedBytesReturnTo(baseline)) << MemShield::instance()->m_allocatedBytes.load() << " " << baseline;
}

// Termination discards the queued actions and closes their interval: the active count is back to 0.
TEST(ActiveObjectRateTest, TerminationClosesAnOpenInterval) {
    sharedClient();
    g_ran = 0;
    g_destroyed = 0;
    const std::string name = uniqueName("terminated");
    ActiveObject* ao = new ActiveObject(name.c_str(), &g_noForce);
    RateMonitor* monitor = ao->attachRateMonitor(name, 0, 0, 1, 1, false, nowUs());
    for (int i = 0; i < 3; ++i) ASSERT_EQ(addCounting(*ao), static_cast<RcStatus>(0));
    EXPECT_EQ(activeTasks(monitor), 1u);
    ao->terminateAllThreads();
    EXPECT_EQ(g_destroyed.load(), 3);
    EXPECT_EQ(g_ran.load(), 0);
    EXPECT_EQ(activeTasks(monitor), 0u);
    const Report report = reportOf(name);
    ASSERT_TRUE(report.found);
    EXPECT_EQ(report.rate, expectedRate(3, report.busy));

    // A terminated object neither runs nor counts what it is given: no interval is left open.
    EXPECT_EQ(addCounting(*ao), RC_ABORTED);
    {
        ScopedLock lock(monitor->m_mutex);
        EXPECT_EQ(monitor->m_currentActiveTasks, 0u);
        EXPECT_EQ(monitor->m_taskIntervalStart, 0u);
        EXPECT_EQ(monitor->m_submittedTasks, 0u);
    }
    delete ao;
}
