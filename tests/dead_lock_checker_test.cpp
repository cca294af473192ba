// test-traits: threaded
#include "ChildSupport.h"
#include "DeadLockChecker.h"
#include "DynamicTweaks.h"
#include "FatalStop.h"
#include "MemWatcher.h"
#include "ServiceThreads.h"
#include "TestSupport.h"
#include "Timer.h"
#include "TrackedAllocation.h"
#include "Tweaks.h"

#include <windows.h>

#include <chrono>
#include <limits>
#include <thread>
#include <string>
#include <vector>

namespace {

constexpr u64 kSec = 1000;

// Holds the manager's lock for a whole test, as the watchdog does for a round: the real watchdog of this process
// cannot judge the test's leases in between.
class WatchdogRound {
public:
    WatchdogRound() : m_lock(&DeadLockCheckerManager::instance()->m_mutex) {}

private:
    ScopedLock m_lock;
};

// Judges `lease` at `nowMs` the way the watchdog does; the caller holds a WatchdogRound.
void check(DlcKeepalive& lease, u64 nowMs, u32 periodSec = 60) { lease.checkLease(nowMs, periodSec); }

bool registered(DlcKeepalive* lease) {
    ScopedLock lock(&DeadLockCheckerManager::instance()->m_mutex);
    return DeadLockCheckerManager::instance()->m_lockSet.count(lease) != 0;
}

class Listener : public IDlcKeepaliveListener {
public:
    bool mayIncreaseTimeout(DlcKeepalive*) override {
        ++asked;
        return increase;
    }
    void onLeaseDone(DlcKeepalive*) override { ++done; }
    bool customTimeoutBehavior(std::string name) override {
        customNames.push_back(name);
        return custom;
    }
    bool increase = false;
    bool custom = false;
    int asked = 0;
    int done = 0;
    std::vector<std::string> customNames;
};

}  // namespace

TEST(DlcKeepaliveTest, ANewLeaseIsActivePausedAndRegistered) {
    sharedClient();
    DlcKeepalive lease("", nullptr);
    EXPECT_EQ(lease.m_name, "pid=" + std::to_string(GetCurrentThreadId()));
    EXPECT_TRUE(lease.m_active.load());
    EXPECT_TRUE(lease.m_paused.load());
    EXPECT_EQ(lease.m_lastRenewMs.load(), 0u);
    EXPECT_EQ(lease.m_timeoutSec.load(), DynamicTweaks::instance()->t_defaultDlcTimeoutSec.load());
    EXPECT_TRUE(registered(&lease));
    {
        DlcKeepalive other("other", nullptr);
        EXPECT_TRUE(registered(&other));
    }
    EXPECT_TRUE(registered(&lease));
}

TEST(DlcKeepaliveTest, StuckReportsFollowTheLeaseClock) {
    const std::string name = uniqueName("lease");
    DlcKeepalive lease(name, nullptr);
    DlcKeepalive idle(name + "_idle", nullptr);
    idle.m_active = false;
    WatchdogRound round;
    sharedClient().clear();
    check(lease, 0);  // paused: the clock starts here
    check(idle, 0);
    EXPECT_FALSE(lease.m_paused.load());
    const struct {
        u64 nowSec;
        const char* stuck;  // the line expected at this check, or none
    } timeline[] = {{60, nullptr}, {120, " is stuck for 120 sec\n"}, {180, " is stuck for 180 sec\n"},
                    {900, " is stuck for 900 sec\n"}};
    // Past 900 s the lease expires, which ends the process: the death test below covers that.
    for (const auto& t : timeline) {
        sharedClient().clear();
        check(lease, t.nowSec * kSec);
        check(idle, t.nowSec * kSec);
        const auto lines = sharedClient().linesWith(name);
        if (t.stuck) {
            ASSERT_EQ(lines.size(), 1u) << t.nowSec;
            EXPECT_NE(lines[0].find(",Error,"), std::string::npos) << lines[0];
            EXPECT_NE(lines[0].find("," + name + t.stuck), std::string::npos) << lines[0];
        } else {
            EXPECT_TRUE(lines.empty()) << t.nowSec;
        }
        EXPECT_EQ(idle.m_lastRenewMs.load(), t.nowSec * kSec);  // an idle lease is renewed at every check
    }
    // Paused again (a new action): the next check restarts the clock instead of judging.
    lease.m_paused = true;
    sharedClient().clear();
    check(lease, 2000 * kSec);
    check(lease, 2060 * kSec);
    EXPECT_TRUE(sharedClient().linesWith(name).empty());
    EXPECT_EQ(lease.m_lastRenewMs.load(), 2000 * kSec);
}

TEST(DlcKeepaliveTest, ListenerMayExtendOrTakeOverTheExpiry) {
    const std::string name = uniqueName("listened");
    Listener listener;
    listener.increase = true;
    DlcKeepalive lease(name, &listener);
    lease.m_timeoutSec = 100;
    WatchdogRound round;
    check(lease, 0);
    sharedClient().clear();
    check(lease, 120 * kSec);
    EXPECT_EQ(lease.m_timeoutSec.load(), 160u);
    EXPECT_EQ(sharedClient().linesWith("," + name + " increasing timeout by 60\n").size(), 1u);

    // One period or less below the largest value: no increase, even when the listener agrees.
    const struct {
        u32 timeout, after;
    } limits[] = {{std::numeric_limits<u32>::max() - 60, std::numeric_limits<u32>::max() - 60},
                  {std::numeric_limits<u32>::max() - 61, std::numeric_limits<u32>::max() - 1}};
    for (const auto& l : limits) {
        lease.m_timeoutSec = l.timeout;
        check(lease, 180 * kSec);
        EXPECT_EQ(lease.m_timeoutSec.load(), l.after) << l.timeout;
    }

    // Expired, and the listener deals with it: the process goes on, and the next check asks again.
    listener.increase = false;
    listener.custom = true;
    lease.m_timeoutSec = 100;
    sharedClient().clear();
    check(lease, 200 * kSec);
    check(lease, 260 * kSec);
    ASSERT_EQ(listener.customNames.size(), 2u);
    EXPECT_EQ(listener.customNames[0], name);
    EXPECT_EQ(sharedClient().linesWith("," + name + " custom timeout behavior executed, rescheduling\n").size(), 2u);
    const auto control = sharedClient().linesWith("," + name + " waited too long  deltaSec=200  m_timeoutSec=100  m_listener=");
    ASSERT_EQ(control.size(), 1u);
    EXPECT_NE(control[0].find(",Control,"), std::string::npos);
    EXPECT_NE(control[0].find("  checking custom behavior\n"), std::string::npos);
}

TEST(DlcKeepaliveTest, AnObservingLeaseEndsWithItsFuture) {
    Listener listener;
    FutureInternal::Future<RcStatus> future;
    waitForServiceThreads();
    const u64 baseline = MemShield::instance()->m_allocatedBytes.load();
    auto* lease = trackedNew<DlcKeepalive>("DlcKeepalive", __FILE__, __LINE__, "observer", &listener);
    future.addObserver(lease);
    EXPECT_TRUE(registered(lease));
    future.set(RC_ERROR);
    EXPECT_EQ(listener.done, 1);
    EXPECT_FALSE(registered(lease));
    EXPECT_EQ(MemShield::instance()->m_allocatedBytes.load(), baseline);  // it deleted itself
}

TEST(DlcKeepaliveDeathTest, ExpiryDependsOnTheBacktraceTweak) {
    const struct {
        const char* tweak;  // nullptr: not set at all
        std::vector<std::string> expected;
        std::vector<std::string> absent;
    } cases[] = {
        {nullptr, {"tweak \"t_disableBtPrint\" not found"}, {" threadName=", "failed. expiring waited too long"}},
        {"1", {",backtrace printing is disabled\n", "failed. expiring waited too long"}, {" threadName="}},
        {"0",
         {",start\n", " threadName=", "currently not Implemented in windows threadId=", "  threadData=0  threadName=",
          ",done\n", "failed. expiring waited too long"},
         {"backtrace printing is disabled"}},
    };
    int index = 0;
    for (const auto& c : cases) {
        const std::string log = "expiry_" + std::to_string(index++) + ".txt";
        EXPECT_EXIT(
            {
                endChildAfter(30, kChildHung);
                logLinesToFile(log);
                redirectStdoutTo(log + ".out");
                if (c.tweak) Tweaks::instance()->update("t_disableBtPrint", c.tweak);
                MemWatcher::instance()->AddThread(GetCurrentThreadId());
                DlcKeepalive lease("expiring", nullptr);
                WatchdogRound round;
                check(lease, 0);
                check(lease, 961 * kSec);
                std::_Exit(0);
            },
            ::testing::ExitedWithCode(kFatalStopExitCode), "")
            << index;
        const std::string text = readFile(log) + readFile(log + ".out");
        EXPECT_NE(text.find("expiring waited too long  deltaSec=961  m_timeoutSec=900"), std::string::npos) << text;
        for (const auto& e : c.expected) EXPECT_NE(text.find(e), std::string::npos) << e << "\n" << text;
        for (const auto& a : c.absent) EXPECT_EQ(text.find(a), std::string::npos) << a << "\n" << text;
    }
}

TEST(DlcKeepaliveDeathTest, RegistrationMistakesEndTheProcess) {
    const struct {
        void (*run)();
        const char* text;
    } cases[] = {
        {[] {
             DlcKeepalive lease("twice", nullptr);
             DeadLockCheckerManager::instance()->registerChecker(&lease);
         },
         "checker already registered"},
        {[] {
             DlcKeepalive lease("gone", nullptr);
             DeadLockCheckerManager::instance()->unregisterChecker(&lease);
         },
         "checker not found"},
    };
    int index = 0;
    for (const auto& c : cases) {
        const std::string printed = printedByFatalStop("registration_" + std::to_string(index++) + ".txt", c.run);
        EXPECT_NE(printed.find(": ret failed.  checker="), std::string::npos) << printed;
        EXPECT_NE(printed.find(c.text), std::string::npos) << printed;
    }
}

// The watchdog itself, at a short interval set before anything starts it.
TEST(DeadLockCheckerManagerDeathTest, WatchdogChecksEveryIntervalOfAtLeastOneSecond) {
    const struct {
        const char* interval;
    } cases[] = {{"1"}, {"0"}, {"-5"}};
    int index = 0;
    for (const auto& c : cases) {
        const std::string log = "watchdog_" + std::to_string(index++) + ".txt";
        EXPECT_EXIT(
            {
                endChildAfter(30, kChildHung);
                logLinesToFile(log);
                Tweaks::instance()->update("t_deadlockCheckerIntervalSec", c.interval);
                if (DeadLockCheckerManager::checkIntervalSec() != 1) std::_Exit(1);
                DlcKeepalive lease("watched", nullptr);
                lease.m_active = false;
                const auto rounds = [&] { return countOf(readFile(log), " m_lockSet.size()="); };
                if (!waitUntil([&] { return rounds() >= 1; }, 10000)) std::_Exit(2);
                const auto first = std::chrono::steady_clock::now();
                if (!waitUntil([&] { return rounds() >= 2; }, 10000)) std::_Exit(3);
                std::this_thread::sleep_for(std::chrono::milliseconds(1000));
                // About one round a second, however late this thread wakes: not a spin.
                const auto elapsedSec =
                    std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - first).count();
                std::_Exit(rounds() <= static_cast<size_t>(elapsedSec) + 3 ? 0 : 4);
            },
            ::testing::ExitedWithCode(0), "")
            << c.interval;
    }
}

namespace {
void blockForever(void*) {
    for (;;) Sleep(1000);
}
}  // namespace

TEST(DeadLockCheckerManagerDeathTest, BlockedTimerCallbackShowsAsStuck) {
    EXPECT_EXIT(
        {
            endChildAfter(30, kChildHung);
            logLinesToFile("timer_stuck.txt");
            Tweaks::instance()->update("t_deadlockCheckerIntervalSec", "1");
            Timer::instance()->start();
            Timer::instance()->addTimer(&blockForever, nullptr, 10, true);
            const bool stuck = waitUntil(
                [] {
                    // More than one period: 2 s, or more when this machine is slow.
                    const std::string text = readFile("timer_stuck.txt");
                    const size_t at = text.find(",Error,");
                    return at != std::string::npos && text.find(",timer is stuck for ", at) != std::string::npos;
                },
                15000);
            std::_Exit(stuck ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(MemWatcherTest, IterateThreadsVisitsIdsInOrder) {
    sharedClient();
    MemWatcher* watcher = MemWatcher::instance();
    const u32 ids[] = {4000003, 4000001, 4000002};
    for (u32 id : ids) watcher->AddThread(id);
    std::vector<std::pair<int, u64>> seen;
    sharedClient().clear();
    watcher->iterateThreads([&](int id, u64 value) {
        if (id >= 4000001 && id <= 4000003) seen.emplace_back(id, value);
    });
    for (u32 id : ids) watcher->RemoveThread(id);
    const std::vector<std::pair<int, u64>> expected = {{4000001, 0}, {4000002, 0}, {4000003, 0}};
    EXPECT_EQ(seen, expected);
    const auto lines = sharedClient().linesWith(",MemWatcher,iterateThreads,");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find(",start\n"), std::string::npos);
    EXPECT_NE(lines[1].find(",done\n"), std::string::npos);

    sharedClient().clear();
    ThreadBacktracePrinter::print(4000001, 7);
    const auto printed = sharedClient().linesWith(",ThreadBacktracePrinter,print,");
    ASSERT_EQ(printed.size(), 2u);
    EXPECT_NE(printed[0].find(", threadName= pid=4000001\n"), std::string::npos) << printed[0];
    EXPECT_NE(printed[1].find(",currently not Implemented in windows threadId=4000001  threadData=7  threadName= \n"),
              std::string::npos)
        << printed[1];
}
