#include "Mutex.h"
#include "Semaphore.h"
#include "Singleton.h"
#include "TestSupport.h"
#include "Trigger.h"

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

using namespace std::chrono;

namespace {

bool finishesWithin(std::atomic<bool>& done, int ms) {
    const auto until = steady_clock::now() + milliseconds(ms);
    while (!done && steady_clock::now() < until) std::this_thread::sleep_for(milliseconds(1));
    return done;
}

}  // namespace

// The locks of singletons are constant-initialised (they exist before any static initialiser runs) and are never
// destroyed.
constinit NeverDestroyed<Mutex> g_neverDestroyedLock;

TEST(MutexTest, ExcludesOtherThreadsAndOutlivesStaticDestruction) {
    Mutex* lock = g_neverDestroyedLock.get();
    long long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                ScopedLock hold(lock);
                ++counter;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(counter, 80000);
}

TEST(TriggerTest, SetBeforeTheWaitIsNotLostAndSetsDoNotAccumulate) {
    Trigger trigger;
    trigger.set();
    trigger.set();
    trigger.wait();  // returns at once: the earlier set is pending

    std::atomic<bool> woke{false};
    std::thread waiter([&] {
        trigger.wait();  // the two sets above counted as one
        woke = true;
    });
    EXPECT_FALSE(finishesWithin(woke, 100));
    trigger.set();
    EXPECT_TRUE(finishesWithin(woke, 5000));
    waiter.join();
}

TEST(SemaphoreTest, TimedWait) {
    Semaphore empty(0);
    const auto start = steady_clock::now();
    EXPECT_FALSE(empty.timedWait(0));
    EXPECT_FALSE(empty.timedWait(60));
    EXPECT_GE(duration_cast<milliseconds>(steady_clock::now() - start).count(), 60);

    Semaphore one(1);
    EXPECT_TRUE(one.timedWait(0));
    EXPECT_FALSE(one.timedWait(0));  // the count went back to 0
}

TEST(SemaphoreTest, PostWakesOneWaiterPerCount) {
    Semaphore semaphore(0);
    std::atomic<int> passed{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i) waiters.emplace_back([&] {
        semaphore.wait();
        ++passed;
    });
    semaphore.post();
    semaphore.post();
    const auto until = steady_clock::now() + seconds(5);
    while (passed < 2 && steady_clock::now() < until) std::this_thread::sleep_for(milliseconds(1));
    std::this_thread::sleep_for(milliseconds(50));
    EXPECT_EQ(passed, 2);
    semaphore.post();
    for (auto& t : waiters) t.join();
    EXPECT_EQ(passed, 3);
}

TEST(UnownedMutexTest, ReleasedByAnotherThread) {
    UnownedMutex mutex;
    mutex.lock();
    std::atomic<bool> second{false};
    std::thread locker([&] {
        mutex.lock();
        second = true;
        mutex.unlock();
    });
    EXPECT_FALSE(finishesWithin(second, 100));
    std::thread([&] { mutex.unlock(); }).join();
    EXPECT_TRUE(finishesWithin(second, 5000));
    locker.join();
}

TEST(ScopedLockTest, ReleasesWhenAnExceptionPasses) {
    Mutex mutex;
    try {
        ScopedLock lock(&mutex);
        throw std::runtime_error("x");
    } catch (const std::runtime_error&) {
    }
    std::atomic<bool> taken{false};
    std::thread([&] {
        ScopedLock lock(&mutex);
        taken = true;
    }).join();
    EXPECT_TRUE(taken);
}

namespace {

std::atomic<int> g_slowConstructions{0};

struct SlowService : Singleton<SlowService> {
    SlowService() {
        ++g_slowConstructions;
        std::this_thread::sleep_for(milliseconds(30));
    }
    int value = 42;
};

std::atomic<int> g_flakyAttempts{0};

struct FlakyService : Singleton<FlakyService> {
    FlakyService() {
        if (++g_flakyAttempts == 1) throw std::runtime_error("first construction fails");
    }
};

}  // namespace

TEST(SingletonTest, ConcurrentFirstUseBuildsOneInstance) {
    std::atomic<bool> go{false};
    std::vector<SlowService*> seen(8, nullptr);
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) threads.emplace_back([&, i] {
        while (!go) std::this_thread::yield();
        seen[i] = SlowService::instance();
    });
    go = true;
    for (auto& t : threads) t.join();
    EXPECT_EQ(g_slowConstructions, 1);
    for (auto* p : seen) {
        ASSERT_EQ(p, seen[0]);
        EXPECT_EQ(p->value, 42);
    }
}

TEST(SingletonTest, ThrowingConstructorPassesTheExceptionAndALaterCallTriesAgain) {
    EXPECT_THROW(FlakyService::instance(), std::runtime_error);
    FlakyService* second = FlakyService::instance();  // the lock was released and nothing was stored
    EXPECT_NE(second, nullptr);
    EXPECT_EQ(FlakyService::instance(), second);
    EXPECT_EQ(g_flakyAttempts, 2);
}
