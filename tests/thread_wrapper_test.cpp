#include "ChildSupport.h"
#include "Logger.h"
#include "MemWatcher.h"
#include "Semaphore.h"
#include "TestSupport.h"
#include "ThreadWrapper.h"

#include <windows.h>

#include <atomic>
#include <regex>
#include <thread>

class SampleWorker : public ThreadWrapper {
public:
    void run() override {
        {
            std::lock_guard<std::mutex> lock(m_lock);
            m_runThreads.push_back(GetCurrentThreadId());
        }
        m_release.wait();
    }
    std::vector<u32> startedIds() {
        ScopedLock lock(&m_startedIdsLock);
        return m_startedIds;
    }
    std::vector<u32> runThreads() {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_runThreads;
    }
    Semaphore m_release{0};

private:
    std::mutex m_lock;
    std::vector<u32> m_runThreads;
};

TEST(ThreadWrapperTest, DefaultNameIsTheReadableTypeName) {
    SampleWorker worker;
    EXPECT_STREQ(worker.getName(), "class SampleWorker");
}

TEST(ThreadWrapperTest, ThreadsAnnounceThemselvesRegisterAndUnregister) {
    RecordingClient& log = sharedClient();
    static auto* worker = new SampleWorker();  // threads are never joined: the object outlives them
    worker->open();
    worker->open();
    worker->waitForStart();
    ASSERT_EQ(worker->startedIds().size(), 2u);  // both recorded before waitForStart returned

    const std::regex starting("^[^,]+,Info,(\\d+),NON,[^,]*,[^,]*,Starting ThreadWrapper of type class SampleWorker "
                              "internalId=(\\d+) \n$");
    std::vector<std::string> ids;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (log.linesWith("Starting ThreadWrapper of type class SampleWorker").size() < 2 &&
           std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    for (const auto& line : log.linesWith("Starting ThreadWrapper of type class SampleWorker")) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, starting)) << line;
        ids.push_back(m[2]);
    }
    ASSERT_EQ(ids.size(), 2u);
    EXPECT_NE(ids[0], ids[1]);

    // Registration with the memory watcher follows the start record: once the bodies run, both are done.
    while (worker->runThreads().size() < 2) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    for (u32 tid : worker->startedIds()) {
        EXPECT_TRUE(MemWatcher::instance()->hasThread(tid));
        EXPECT_EQ(Logger::instance()->getThreadName(tid), "class SampleWorker");
    }

    worker->m_release.post();
    worker->m_release.post();
    for (const auto& id : ids) {
        EXPECT_TRUE(log.waitForLine("Ending ThreadWrapper of type class SampleWorker internalId=" + id + " \n"));
    }
    for (u32 tid : worker->startedIds()) {
        EXPECT_FALSE(MemWatcher::instance()->hasThread(tid));
        EXPECT_EQ(Logger::instance()->getThreadName(tid), "");
    }
    EXPECT_EQ(worker->startedIds().size(), 2u);  // the record of started threads stays
}

// Each thread is held while it takes its name, before it records its id: the first until both are opened, the
// second until the test lets it go.
class HeldThreads : public ThreadWrapper {
public:
    const char* getName() override {
        (++m_named == 1 ? m_first : m_second).wait();
        return "class HeldThreads";
    }
    void run() override {}
    void waitForStartTrigger() { m_startTrigger.wait(); }
    Semaphore m_first{0};
    Semaphore m_second{0};

private:
    std::atomic<int> m_named{0};
};

TEST(ThreadWrapperTest, StartTriggerWaitsForEveryOpenedThread) {
    static auto* wrapper = new HeldThreads();
    wrapper->open();
    wrapper->open();
    std::atomic<bool> triggered{false};
    std::thread waiter([&] {
        wrapper->waitForStartTrigger();
        triggered = true;
    });
    wrapper->m_first.post();
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_FALSE(triggered);  // one of two threads has recorded its id
    wrapper->m_second.post();
    waiter.join();
    EXPECT_TRUE(triggered);
}

TEST(ThreadWrapperTest, EveryWaiterForStartReturns) {
    static auto* wrapper = new HeldThreads();  // threads are never joined: the object outlives them
    wrapper->open();
    wrapper->open();
    static std::atomic<int> entered, returned;
    entered = 0;
    returned = 0;
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i) {
        waiters.emplace_back([] {
            ++entered;
            wrapper->waitForStart();
            ++returned;
        });
    }
    EXPECT_TRUE(waitUntil([&] { return entered.load() == 3; }, 10000));  // the threads are joined below
    wrapper->m_first.post();
    std::this_thread::sleep_for(std::chrono::milliseconds(150));  // all three wait on the trigger
    EXPECT_EQ(returned.load(), 0);
    wrapper->m_second.post();
    if (!waitUntil([&] { return returned.load() == 3; }, 10000)) {
        for (auto& waiter : waiters) waiter.detach();
        FAIL() << "only " << returned.load() << " of 3 waiters for the start returned";
    }
    for (auto& waiter : waiters) waiter.join();
    wrapper->waitForStart();  // and a later one, at once
}
