// test-traits: threaded
#include "ChildSupport.h"
#include "FatalStop.h"
#include "Future.h"
#include "ServiceThreads.h"
#include "TestSupport.h"

#include <atomic>
#include <thread>
#include <vector>

using FutureInternal::Future;

TEST(FutureTest, CopiesShareOneValue) {
    Future<RcStatus> future;
    const Future<RcStatus> copy = future;
    EXPECT_FALSE(copy.isSet());
    future.set(RC_TIME_OUT);
    EXPECT_TRUE(copy.isSet());
    EXPECT_FALSE(Future<RcStatus>().isSet());  // a new future has a value of its own
}

TEST(FutureDeathTest, SecondSetEndsTheProcess) {
    EXPECT_EXIT(
        {
            Future<RcStatus> future;
            Future<RcStatus> copy = future;
            future.set(RC_ERROR);
            copy.set(RC_ABORTED);
        },
        ::testing::ExitedWithCode(kFatalStopExitCode), "Assertion \\(!tempSmartPtr->m_bSet\\) failed .*Future\\.h " + rxDigit() + "+");
}

namespace {

// Records, in one journal, which observer was told what, on which thread.
struct Told {
    int observer;
    RcStatus value;
    std::thread::id thread;
};

class RecordingObserver : public FutureInternal::FutureObserver<RcStatus> {
public:
    RecordingObserver(int id, std::vector<Told>* journal) : m_id(id), m_journal(journal) {}
    void update(RcStatus value) override { m_journal->push_back({m_id, value, std::this_thread::get_id()}); }

private:
    int m_id;
    std::vector<Told>* m_journal;
};

}  // namespace

TEST(FutureTest, ObserversAreToldInTheOrderAddedOnTheSettingThread) {
    std::vector<Told> journal;
    RecordingObserver first(1, &journal), second(2, &journal), late(3, &journal), asked(4, &journal);
    Future<RcStatus> future;
    future.addObserver(&first);
    RcStatus value = RC_ERROR;
    EXPECT_FALSE(future.getValueOrAddObserver(value, &second));  // not set: added
    EXPECT_TRUE(journal.empty());

    std::thread::id setter;
    std::thread([&] {
        setter = std::this_thread::get_id();
        future.set(RC_TIME_OUT);
    }).join();
    ASSERT_EQ(journal.size(), 2u);
    EXPECT_EQ(journal[0].observer, 1);
    EXPECT_EQ(journal[1].observer, 2);
    for (const Told& told : journal) {
        EXPECT_EQ(told.value, RC_TIME_OUT);
        EXPECT_EQ(told.thread, setter);
    }

    future.addObserver(&late);  // set already: told at once, here
    ASSERT_EQ(journal.size(), 3u);
    EXPECT_EQ(journal[2].observer, 3);
    EXPECT_EQ(journal[2].value, RC_TIME_OUT);
    EXPECT_EQ(journal[2].thread, std::this_thread::get_id());

    EXPECT_TRUE(future.getValueOrAddObserver(value, &asked));  // set: the value, and no observer added
    EXPECT_EQ(value, RC_TIME_OUT);
    EXPECT_EQ(journal.size(), 3u);
}

TEST(FutureTest, SettingReleasesEveryWaiter) {
    Future<RcStatus> future;
    // Static: a waiter that is never released outlives the test.
    static std::atomic<int> released, waiting;
    released = 0;
    waiting = 0;
    for (int i = 0; i < 2; ++i) {
        // Detached with a copy of the handle: a waiter that is never released must not hang the test.
        std::thread([future]() mutable {
            ++waiting;
            if (future.wait() == RC_ABORTED) ++released;
        }).detach();
    }
    ASSERT_TRUE(waitUntil([&] { return waiting.load() == 2; }, 10000));
    EXPECT_EQ(released.load(), 0);
    future.set(RC_ABORTED);
    EXPECT_TRUE(waitUntil([&] { return released.load() == 2; }, 10000));
    EXPECT_EQ(future.wait(), RC_ABORTED);  // and a wait after the set returns at once
}

TEST(FutureTest, TheRepIsATrackedBlockFreedWithTheLastHandle) {
    waitForServiceThreads();
    const u64 baseline = MemShield::instance()->m_allocatedBytes.load();
    for (const bool set : {false, true}) {
        {
            Future<RcStatus> future;
            EXPECT_GT(MemShield::instance()->m_allocatedBytes.load(), baseline);
            Future<RcStatus> copy = future;
            if (set) copy.set(RC_ERROR);
        }
        EXPECT_EQ(MemShield::instance()->m_allocatedBytes.load(), baseline) << set;
    }
}

namespace {
// Drops the handle it is given, the last but the setter's own, while it is told the value.
class DroppingObserver : public FutureInternal::FutureObserver<RcStatus> {
public:
    explicit DroppingObserver(Future<RcStatus>** handle) : m_handle(handle) {}
    void update(RcStatus) override {
        delete *m_handle;
        *m_handle = nullptr;
    }

private:
    Future<RcStatus>** m_handle;
};
}  // namespace

TEST(FutureTest, TheRepOutlivesASetWhoseObserverDropsTheLastHandle) {
    waitForServiceThreads();
    const u64 baseline = MemShield::instance()->m_allocatedBytes.load();
    std::vector<Told> journal;
    auto* future = new Future<RcStatus>();
    DroppingObserver dropper(&future);
    RecordingObserver after(2, &journal);
    future->addObserver(&dropper);
    future->addObserver(&after);
    future->set(RC_ABORTED);  // the handle it was called on is gone before it returns
    EXPECT_EQ(future, nullptr);
    ASSERT_EQ(journal.size(), 1u);  // the observer after the one that dropped it is told too
    EXPECT_EQ(journal[0].value, RC_ABORTED);
    EXPECT_EQ(MemShield::instance()->m_allocatedBytes.load(), baseline);  // freed once set returned
}
