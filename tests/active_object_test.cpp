// test-traits: threaded
#include "ActiveObject.h"
#include "ChildSupport.h"
#include "DeadLockChecker.h"
#include "DynamicTweaks.h"
#include "FatalStop.h"
#include "PriorityQueue.h"
#include "Semaphore.h"
#include "ServiceThreads.h"
#include "TestSupport.h"
#include "TrackedAllocation.h"
#include "Tweaks.h"

#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace {

bool g_noForce = false;

// What an action saw while it ran.
struct Seen {
    int ticket = -1;
    u32 workerIndex = 0;
    u32 priority = 99;
    bool leaseActive = false;
    u32 leaseTimeout = 0;
};

// Shared by the actions of one test; every wait on it is bounded.
struct Journal {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<Seen> runs;
    int destroyed = 0;
    bool released = false;
    bool blockerRunning = false;

    bool waitFor(const std::function<bool()>& done, int ms = 10000) {
        std::unique_lock<std::mutex> guard(lock);
        return changed.wait_for(guard, std::chrono::milliseconds(ms), done);
    }
    void release() {
        std::lock_guard<std::mutex> guard(lock);
        released = true;
        changed.notify_all();
    }
};

class RecordingAction : public ActiveObject::Action {
public:
    RecordingAction(Journal* journal, int ticket, u32 timeoutSec, bool blocks = false)
        : m_journal(journal), m_ticket(ticket), m_blocks(blocks) {
        m_deadlockTimeoutSec = timeoutSec;
    }
    ~RecordingAction() override {
        std::lock_guard<std::mutex> guard(m_journal->lock);
        ++m_journal->destroyed;
        m_journal->changed.notify_all();
    }
    void run() override {
        Seen seen;
        seen.ticket = m_ticket;
        seen.workerIndex = m_workerIndex;
        seen.priority = m_priority;
        seen.leaseActive = m_keepalive && m_keepalive->m_active.load();
        seen.leaseTimeout = m_keepalive ? m_keepalive->m_timeoutSec.load() : 0;
        std::unique_lock<std::mutex> guard(m_journal->lock);
        m_journal->runs.push_back(seen);
        if (m_blocks) {
            m_journal->blockerRunning = true;
            m_journal->changed.notify_all();
            // Bounded: a test that never releases still ends.
            m_journal->changed.wait_for(guard, std::chrono::seconds(20), [&] { return m_journal->released; });
        }
        m_journal->changed.notify_all();
    }

private:
    Journal* m_journal;
    int m_ticket;
    bool m_blocks;
};

RecordingAction* newAction(Journal* journal, int ticket, u32 timeoutSec = 0, bool blocks = false) {
    return trackedNew<RecordingAction>("RecordingAction", __FILE__, __LINE__, journal, ticket, timeoutSec, blocks);
}

// Lets a test see whether termination has begun.
class ProbeAO : public ActiveObject {
public:
    explicit ProbeAO(const char* name) : ActiveObject(name, &g_noForce) {}
    bool enabled() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_enabled;
    }
    u64 queued() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_pq.size();
    }
};

// Its worker is held as it takes its name, before it records its start, until the test lets it go.
class HeldStartAO : public ProbeAO {
public:
    explicit HeldStartAO(const char* name) : ProbeAO(name) {}
    const char* getName() override {
        m_hold.timedWait(20000);  // bounded: a test that never lets go still ends
        return ProbeAO::getName();
    }
    Semaphore m_hold{0};
};

}  // namespace

TEST(ActiveObjectTest, ConstructorLogsItsNameAndStartsNoThread) {
    const std::string name = uniqueName("ctorAO");
    sharedClient();
    auto* ao = new ProbeAO(name.c_str());
    EXPECT_EQ(sharedClient()
                  .linesWith(",AO<" + name + ">  m_name=" + name + "  m_forceVerbose=0  "
                             "DynamicTweaks::instance()->t_ActiveObjectVerboseLogs=0 \n")
                  .size(),
              1u);
    EXPECT_TRUE(sharedClient().linesWith("Starting ThreadWrapper of type " + name).empty());
    // No thread was opened: termination returns at once, also a second time.
    static std::atomic<bool> done;
    done = false;
    std::thread terminator([ao] {
        ao->terminateAllThreads();
        ao->terminateAllThreads();
        done = true;
    });
    if (!waitUntil([&] { return done.load(); }, 10000)) {
        terminator.detach();  // the object stays, for the thread that hangs on it
        FAIL() << "termination of an object without threads hangs";
    }
    terminator.join();
    delete ao;
}

TEST(ActiveObjectTest, ActionsRunInTheOrderAddedWithTheWorkersLease) {
    waitForServiceThreads();
    const u64 baseline = MemShield::instance()->m_allocatedBytes.load();
    Journal journal;
    {
        ProbeAO ao(uniqueName("fifoAO").c_str());
        ao.open();
        std::mutex ticketLock;
        int nextTicket = 0;
        std::vector<std::thread> producers;
        for (int t = 0; t < 3; ++t) {
            producers.emplace_back([&] {
                for (int i = 0; i < 50; ++i) {
                    std::lock_guard<std::mutex> guard(ticketLock);
                    const int ticket = nextTicket++;
                    EXPECT_EQ(ao.addAction(newAction(&journal, ticket, ticket % 2 ? 30 : 0)), static_cast<RcStatus>(0));
                }
            });
        }
        for (auto& producer : producers) producer.join();
        ASSERT_TRUE(journal.waitFor([&] { return journal.destroyed == 150; }));
        std::lock_guard<std::mutex> guard(journal.lock);
        ASSERT_EQ(journal.runs.size(), 150u);
        for (size_t i = 0; i < journal.runs.size(); ++i) {
            const Seen& seen = journal.runs[i];
            EXPECT_EQ(seen.ticket, static_cast<int>(i));
            EXPECT_EQ(seen.workerIndex, 1u);
            EXPECT_EQ(seen.priority, 0u);
            EXPECT_TRUE(seen.leaseActive);
            EXPECT_EQ(seen.leaseTimeout, seen.ticket % 2 ? 30u : DynamicTweaks::instance()->t_defaultDlcTimeoutSec.load())
                << seen.ticket;
        }
    }
    // Every action was freed by the worker; the object is gone with its worker, whose thread frees its CPU monitor
    // as it ends.
    EXPECT_TRUE(allocatedBytesReturnTo(baseline)) << MemShield::instance()->m_allocatedBytes.load() << " " << baseline;
}

TEST(ActiveObjectTest, FreeQueueSlotsCountTheStartedWorkersAndTheQueue) {
    Journal journal;
    ProbeAO ao(uniqueName("slotsAO").c_str());
    ao.open();
    ao.waitForStart();
    ASSERT_TRUE(waitUntil([&] { return ao.getFreeQueueSlots() == 2; }, 10000));  // the worker is in its loop
    ao.addAction(newAction(&journal, 0, 0, true));
    ASSERT_TRUE(journal.waitFor([&] { return journal.blockerRunning; }));
    const struct {
        int queued;
        u32 slots;
    } cases[] = {{0, 2}, {1, 1}, {2, 0}, {3, 0}};
    int queued = 0;
    for (const auto& c : cases) {
        while (queued < c.queued) ao.addAction(newAction(&journal, ++queued));
        EXPECT_EQ(ao.getFreeQueueSlots(), c.slots) << c.queued;
    }
    journal.release();
    ASSERT_TRUE(journal.waitFor([&] { return journal.destroyed == 4; }));
}

TEST(ActiveObjectTest, TerminationDiscardsQueuedActionsUnrun) {
    Journal journal;
    sharedClient();
    auto* ao = new ProbeAO(uniqueName("termAO").c_str());
    ao->open();
    ao->addAction(newAction(&journal, 0, 0, true));
    ASSERT_TRUE(journal.waitFor([&] { return journal.blockerRunning; }));
    ao->addAction(newAction(&journal, 1));
    ao->addAction(newAction(&journal, 2));
    sharedClient().clear();
    std::thread terminator([&] { ao->terminateAllThreads(); });
    ASSERT_TRUE(waitUntil([&] { return !ao->enabled(); }, 10000));
    journal.release();
    terminator.join();
    {
        std::lock_guard<std::mutex> guard(journal.lock);
        EXPECT_EQ(journal.runs.size(), 1u);
        EXPECT_EQ(journal.destroyed, 3);
    }
    EXPECT_EQ(sharedClient().linesWith(",Warn,").size(), 2u);
    EXPECT_EQ(sharedClient().linesWith(",ActiveObject queue was not empty during shutdown: 2 items, details follow.\n").size(), 1u);
    EXPECT_EQ(sharedClient().linesWith(",priority 0: 2 items, 0\n").size(), 1u);

    // Nothing runs an action added now: it is deleted at once.
    EXPECT_EQ(ao->addAction(newAction(&journal, 3)), RC_ABORTED);
    EXPECT_EQ(ao->queued(), 0u);
    {
        std::lock_guard<std::mutex> guard(journal.lock);
        EXPECT_EQ(journal.runs.size(), 1u);
        EXPECT_EQ(journal.destroyed, 4);
    }
    ao->terminateAllThreads();  // a second call returns
    delete ao;                  // after termination: clean under the sanitizers
}

TEST(ActiveObjectTest, EveryCallerOfTerminationReturns) {
    auto* ao = new HeldStartAO(uniqueName("twoTermAO").c_str());
    ao->open();
    static std::atomic<int> entered, returned;
    entered = 0;
    returned = 0;
    std::vector<std::thread> terminators;
    for (int i = 0; i < 2; ++i) {
        terminators.emplace_back([ao] {
            ++entered;
            ao->terminateAllThreads();
            ++returned;
        });
    }
    // Both wait for the worker's start, which is set once.
    EXPECT_TRUE(waitUntil([&] { return entered.load() == 2; }, 10000));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(returned.load(), 0);
    ao->m_hold.post();
    if (!waitUntil([&] { return returned.load() == 2; }, 10000)) {
        for (auto& terminator : terminators) terminator.detach();  // the object stays, for the one that hangs
        FAIL() << "only " << returned.load() << " of 2 terminations returned";
    }
    for (auto& terminator : terminators) terminator.join();
    EXPECT_FALSE(ao->enabled());
    ao->terminateAllThreads();  // and a later one
    delete ao;
}

namespace {
// Knows its worker's thread, whose lease is named after it.
class LeaseAO : public ProbeAO {
public:
    explicit LeaseAO(const char* name) : ProbeAO(name) {}
    void onWorkerStart(u32) override { m_workerId = GetCurrentThreadId(); }
    std::atomic<u32> m_workerId{0};
};
}  // namespace

// The real watchdog at a 1 s period: a lease is judged stuck from its third round of unrenewed activity.
TEST(ActiveObjectDeathTest, OnlyAWorkerInsideAnActionIsReportedStuck) {
    EXPECT_EXIT(
        {
            endChildAfter(60, kChildHung);
            Tweaks::instance()->update("t_deadlockCheckerIntervalSec", "1");
            logLinesToFile("ao_lease.txt");
            LeaseAO ao("leaseAO");
            ao.open();
            if (!waitUntil([&] { return ao.m_workerId.load() != 0; }, 10000)) std::_Exit(2);
            const std::string stuckLine = ",pid=" + std::to_string(ao.m_workerId.load()) + " is stuck for ";
            const auto rounds = [] { return countOf(readFile("ao_lease.txt"), " m_lockSet.size()="); };
            const auto stuck = [&] { return countOf(readFile("ao_lease.txt"), stuckLine); };
            // Four rounds begun: three judged the lease in full.
            const auto fourRounds = [&] {
                const size_t from = rounds();
                return waitUntil([&] { return rounds() >= from + 4; }, 20000);
            };
            if (!fourRounds()) std::_Exit(3);
            if (stuck() != 0) std::_Exit(4);  // idle from its start

            Journal journal;
            ao.addAction(newAction(&journal, 0, 600));
            if (!journal.waitFor([&] { return journal.destroyed == 1; })) std::_Exit(5);
            if (!fourRounds()) std::_Exit(3);
            if (stuck() != 0) std::_Exit(6);  // idle between actions

            ao.addAction(newAction(&journal, 1, 600, true));
            if (!journal.waitFor([&] { return journal.blockerRunning; })) std::_Exit(5);
            const bool reported = waitUntil([&] { return stuck() != 0; }, 20000);
            journal.release();
            if (!journal.waitFor([&] { return journal.destroyed == 2; })) std::_Exit(5);
            std::_Exit(reported ? 0 : 7);
        },
        ::testing::ExitedWithCode(0), "")
        << readFile("ao_lease.txt");
}

TEST(PriorityQueueTest, HigherPrioritiesComeFirstAndEachIsFirstInFirstOut) {
    PriorityQueue<int> queue(3, uniqueName("pq"), false);
    const struct {
        int item;
        u32 priority;
    } added[] = {{1, 0}, {2, 2}, {3, 1}, {4, 2}, {5, 0}};
    for (const auto& a : added) queue.enqueue(a.item, a.priority);
    EXPECT_EQ(queue.size(), 5u);
    EXPECT_EQ(queue.size(2), 2u);
    EXPECT_EQ(queue.stats(2).m_highWatermark, 2u);
    const struct {
        int item;
        u32 priority;
    } expected[] = {{2, 2}, {4, 2}, {3, 1}, {1, 0}, {5, 0}};
    for (const auto& e : expected) {
        int item = 0;
        u32 priority = 99;
        ASSERT_TRUE(queue.dequeue(item, priority));
        EXPECT_EQ(item, e.item);
        EXPECT_EQ(priority, e.priority);
    }
    int item = 0;
    u32 priority = 0;
    EXPECT_FALSE(queue.dequeue(item, priority));
    EXPECT_EQ(queue.size(), 0u);
    // An item above the last priority taken is found again.
    queue.enqueue(7, 1);
    ASSERT_TRUE(queue.dequeue(item, priority));
    EXPECT_EQ(item, 7);
}

TEST(ActiveObjectDeathTest, BadNamesAndPrioritiesEndTheProcess) {
    const struct {
        const char* what;
        void (*run)();
        const char* text;
    } cases[] = {
        {"null name", [] { ProbeAO ao(nullptr); }, ": name != 0 failed. \n"},
        {"priority past the queues",
         [] {
             PriorityQueue<int> queue(3, "pq", false);
             queue.enqueue(1, 3);
         },
         ": priority < m_queues.size() failed. priority too high priority=3 m_queues.size()=3\n"},
    };
    int index = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string printed = printedByFatalStop("ao_death_" + std::to_string(index++) + ".txt", c.run);
        EXPECT_NE(printed.find(",Assert,"), std::string::npos) << c.what << printed;
        EXPECT_NE(printed.find(c.text), std::string::npos) << c.what << printed;
    }
}
