// The process clock on the real clocks, and the timers on the tick thread.
#include "TestSupport.h"
#include "Timer.h"

#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <thread>
#include <vector>

namespace {

ITimer* timer() { return Timer::instance(); }

void burnCpu(std::chrono::milliseconds length) {
    const auto until = std::chrono::steady_clock::now() + length;
    volatile u64 sink = 0;
    while (std::chrono::steady_clock::now() < until) sink = sink + 1;
}

void ignore(void*) {}

// One tick thread for the whole process: each start would add another.
void startOnce() {
    static const bool started = [] {
        timer()->start();
        return true;
    }();
    (void)started;
}

}  // namespace

// Each of these runs in a process of its own, before anything else there reads the clock or starts the timer.
TEST(TimerFreshProcessDeathTest, CoarseTimestampIsZeroBeforeTheFirstReading) {
    EXPECT_EXIT({ std::exit(timer()->getLastTimestampMs_Inaccurate(true) == 0 ? 0 : 1); },
                ::testing::ExitedWithCode(0), "");
}

TEST(TimerFreshProcessDeathTest, ProcessCpuTimeIsZeroBeforeStart) {
    EXPECT_EXIT(
        {
            burnCpu(std::chrono::milliseconds(20));
            std::exit(timer()->getProcessCpuTime() == 0 ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(TimerFreshProcessDeathTest, FirstTimerHandleIs1001) {
    EXPECT_EXIT({ std::exit(timer()->addTimer(&ignore, nullptr, 3600000, true) == 1001 ? 0 : 1); },
                ::testing::ExitedWithCode(0), "");
}

TEST(TimerTest, ParseTimestamp) {
    struct tm parsed;
    ASSERT_TRUE(timer()->parseTimestamp("2026-12-09T09:05:07Z", &parsed));
    EXPECT_EQ(parsed.tm_year, 126);
    EXPECT_EQ(parsed.tm_mon, 11);
    EXPECT_EQ(parsed.tm_mday, 9);
    EXPECT_EQ(parsed.tm_hour, 9);
    EXPECT_EQ(parsed.tm_min, 5);
    EXPECT_EQ(parsed.tm_sec, 7);
    EXPECT_EQ(parsed.tm_wday, 0);
    EXPECT_EQ(parsed.tm_yday, 0);
    EXPECT_EQ(parsed.tm_isdst, 0);

    const char* bad[] = {"", "garbage", "2026-12-09 09:05:07Z", "2026-12-09T09:05Z", "2026/12/09T09:05:07Z"};
    for (const char* text : bad) {
        struct tm untouched = {};
        untouched.tm_year = 77;
        ::testing::internal::CaptureStdout();
        const bool ok = timer()->parseTimestamp(text, &untouched);
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), "failed to scan\n") << text;
        EXPECT_FALSE(ok) << text;
        EXPECT_EQ(untouched.tm_year, 77) << text;
    }
}

TEST(TimerTest, ClocksFollowTheSystemsClocks) {
    const auto systemMs = [] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::system_clock::now().time_since_epoch())
            .count();
    };
    const i64 epochBefore = systemMs();
    const i64 epoch = timer()->getEpochMs();
    EXPECT_LE(epochBefore - 20, epoch);
    EXPECT_LE(epoch, systemMs() + 20);

    // Microseconds and nanoseconds are one clock: a nanosecond reading lies between the microsecond readings
    // around it.
    const i64 usBefore = timer()->getMicroseconds();
    const i64 ns = timer()->getNanoseconds();
    const i64 usAfter = timer()->getMicroseconds();
    EXPECT_LE(usBefore * 1000, ns);
    EXPECT_LT(ns, (usAfter + 1) * 1000);

    const i64 ms = timer()->getTimestamp();
    const i64 us = timer()->getMicroseconds();
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    const i64 msLater = timer()->getTimestamp();
    const i64 usLater = timer()->getMicroseconds();
    EXPECT_GE(msLater - ms, 59);
    EXPECT_LT(msLater - ms, 5000);
    EXPECT_GE(usLater - us, 59000);
    EXPECT_LT(usLater - us, 5000000);
    EXPECT_EQ(timer()->getLastTimestampMs_Inaccurate(true), msLater);
}

TEST(TimerTest, ThreadCyclesGrowWithTheThreadsWork) {
    ULONG64 probe;
    if (!QueryThreadCycleTime(GetCurrentThread(), &probe)) {
        // Only Wine's "not implemented" is a reason to skip; any other failure is one.
        const DWORD error = GetLastError();
        ASSERT_EQ(error, 120u) << "QueryThreadCycleTime failed";
        EXPECT_EQ(timer()->getThreadCycles(), 0u);
        GTEST_SKIP() << "this system counts no thread cycles (error 120, not implemented)";
    }
    const u64 before = timer()->getThreadCycles();
    burnCpu(std::chrono::milliseconds(30));
    const u64 after = timer()->getThreadCycles();
    EXPECT_GT(before, 0u);
    EXPECT_GT(after, before);
}

TEST(TimerTest, AddedTimersAreLoggedWithConsecutiveHandles) {
    RecordingClient& log = sharedClient();
    log.clear();
    const u32 first = timer()->addTimer(&ignore, nullptr, 3600000, true);
    const u32 second = timer()->addTimer(&ignore, nullptr, 3600000, false);
    EXPECT_GE(first, 1001u);
    EXPECT_EQ(second, first + 1);
    const auto added = log.linesWith("added timer ");
    ASSERT_EQ(added.size(), 2u);
    const std::string tid = std::to_string(GetCurrentThreadId());
    EXPECT_NE(added[0].find(",Info," + tid + ",NON,WindowsTimer,addTimer,added timer old=0 new=" +
                            std::to_string(first) + "\n"),
              std::string::npos)
        << added[0];
    EXPECT_NE(added[1].find(",added timer old=0 new=" + std::to_string(second) + "\n"), std::string::npos)
        << added[1];
    EXPECT_TRUE(log.linesWith("replacing existing timer").empty());
}

TEST(TimerTest, ConcurrentReadersSeeTheClockOnlyMoveForward) {
    std::atomic<int> backwards{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 4; ++t) {
        readers.emplace_back([&] {
            i64 last = 0;
            for (int i = 0; i < 2000; ++i) {
                const i64 now = timer()->getTimestamp();
                if (now < last) ++backwards;
                last = now;
                if (timer()->getLastTimestampMs_Inaccurate(i % 2 == 0) > timer()->getTimestamp()) ++backwards;
            }
        });
    }
    for (auto& reader : readers) reader.join();
    EXPECT_EQ(backwards.load(), 0);
}

namespace {

struct Tally {
    std::atomic<int> calls{0};
    std::atomic<u32> threadId{0};
    static void callback(void* context) {
        auto* tally = static_cast<Tally*>(context);
        tally->threadId = GetCurrentThreadId();
        ++tally->calls;
    }
};

bool waitFor(const std::function<bool()>& condition, int ms) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

}  // namespace

// The tick thread runs until the process ends; so do these timers.
TEST(TimerTickThreadTest, PeriodicAndOneShotTimersRunOnTheTickThread) {
    static Tally periodic;
    static Tally oneShot;
    startOnce();
    const i64 added = timer()->getTimestamp();
    timer()->addTimer(&Tally::callback, &periodic, 50, false);
    timer()->addTimer(&Tally::callback, &oneShot, 250, true);

    ASSERT_TRUE(waitFor([] { return oneShot.calls > 0; }, 10000));
    EXPECT_GE(timer()->getTimestamp() - added, 250);
    ASSERT_TRUE(waitFor([] { return periodic.calls >= 4; }, 10000)) << periodic.calls;
    const int periodicCalls = periodic.calls;
    EXPECT_TRUE(waitFor([&] { return periodic.calls > periodicCalls + 2; }, 10000));  // a few more ticks

    EXPECT_EQ(oneShot.calls, 1);  // erased: a one-shot timer left in place would run at every tick
    EXPECT_NE(periodic.threadId, 0u);
    EXPECT_NE(periodic.threadId, GetCurrentThreadId());
    EXPECT_EQ(oneShot.threadId, periodic.threadId);
}

TEST(TimerTickThreadTest, ProcessCpuTimeIsPerProcessorMicroseconds) {
    startOnce();  // counts the processors
    burnCpu(std::chrono::milliseconds(50));
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    ASSERT_GT(info.dwNumberOfProcessors, 0u);
    const auto processTime = [] {
        FILETIME creation, exit, kernel, user;
        EXPECT_TRUE(GetProcessTimes(GetCurrentProcess(), &creation, &exit, &kernel, &user));
        const auto value = [](const FILETIME& ft) {
            return (static_cast<u64>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
        };
        return value(kernel) + value(user);
    };
    const u64 divisor = static_cast<u64>(info.dwNumberOfProcessors) * 10;
    const u64 low = processTime() / divisor;
    const u64 cpu = timer()->getProcessCpuTime();
    const u64 high = processTime() / divisor;
    EXPECT_GT(low, 0u);
    EXPECT_LE(low, cpu);
    EXPECT_LE(cpu, high);
}
