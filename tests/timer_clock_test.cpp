// test-traits: linux-only
// The process clock and the timers on clocks that the tests set.
#include "FatalStop.h"
#include "MemWatchedContainer.h"
#include "TestSupport.h"
#include "Timer.h"

#include <platform/testing.h>

#include <deque>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr LONGLONG kTicksPerMs = 10000;  // the stand-in's 10 MHz counter

SYSTEMTIME systemTime(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second, WORD ms) {
    SYSTEMTIME st{};
    st.wYear = year;
    st.wMonth = month;
    st.wDay = day;
    st.wHour = hour;
    st.wMinute = minute;
    st.wSecond = second;
    st.wMilliseconds = ms;
    return st;
}

// Items of the "Timers" container, from the watched containers' report.
u64 timersCount() {
    RecordingClient& log = sharedClient();
    log.clear();
    MemWatchedContainerDatabase::instance()->printWatchedContainers();
    for (const auto& line : log.linesWith("ContainerName = Timers items = ")) {
        return std::stoull(line.substr(line.find("items = ") + 8));
    }
    return 0;
}

}  // namespace

// The counter never runs backwards in one process, so every test starts far past the readings of the one before.
class TimerClockTest : public ::testing::Test {
protected:
    void SetUp() override { freshStart(); }
    void TearDown() override { platform_test::useRealClocks(); }

    // Real clocks, an empty log, and the counter at a new base.
    static void freshStart() {
        sharedClient().clear();
        platform_test::useRealClocks();
        s_base += 1000000000000LL;
        setMs(0);
    }
    // The counter at `ms` milliseconds past the base.
    static void setMs(i64 ms) { setTicks(ms * kTicksPerMs); }
    static void setTicks(i64 ticks) { platform_test::setPerformanceCounter(s_base + ticks); }
    static i64 baseMs() { return s_base / kTicksPerMs; }
    static ITimer* timer() { return Timer::instance(); }
    static WindowsTimer* windowsTimer() { return WindowsTimer::instance(); }

    static inline LONGLONG s_base = 4294967296LL * 10 * kTicksPerMs;  // past 2^32 tens of milliseconds
};

TEST_F(TimerClockTest, MillisecondsNanosecondsAndTensOfMillisecondsOfA10MHzCounter) {
    const i64 cases[] = {0, 1, 9999, 10000, 123456789};
    for (i64 ticks : cases) {
        setTicks(ticks);
        const i64 c = s_base + ticks;
        EXPECT_EQ(timer()->getTimestamp(), c / kTicksPerMs) << ticks;
        EXPECT_EQ(timer()->getNanoseconds(), c * 100) << ticks;
        EXPECT_EQ(timer()->getMicroseconds(), c / 10) << ticks;
        ASSERT_GT(static_cast<u64>(c / kTicksPerMs / 10), 0xFFFFFFFFull);
        EXPECT_EQ(timer()->getTimeIn10Ms(), static_cast<u32>(static_cast<u64>(c / kTicksPerMs) / 10)) << ticks;
    }
}

TEST_F(TimerClockTest, ReferenceIsTheTimestampLessTheOffset) {
    setMs(5000);
    EXPECT_EQ(timer()->setReference(200), baseMs() + 4800);
    setMs(5300);
    EXPECT_EQ(timer()->sinceReference(), 500);
}

TEST_F(TimerClockTest, ReadingBehindTheLastOneReturnsTheLastOne) {
    const i64 diffs[] = {0, -1, -50, -100};
    i64 start = 0;
    for (i64 diff : diffs) {
        start += 1000;
        sharedClient().clear();
        setTicks(start);
        u64 first, second, forward;
        windowsTimer()->getPerformanceCounter(&first);
        setTicks(start + diff);
        windowsTimer()->getPerformanceCounter(&second);
        setTicks(start + 500);
        windowsTimer()->getPerformanceCounter(&forward);

        EXPECT_EQ(first, static_cast<u64>(s_base + start)) << diff;
        EXPECT_EQ(second, first) << diff;
        EXPECT_EQ(forward, static_cast<u64>(s_base + start + 500)) << diff;
        const auto errors = sharedClient().linesWith(",Error,");
        if (diff == 0) {
            EXPECT_TRUE(errors.empty()) << errors.front();
            continue;
        }
        ASSERT_EQ(errors.size(), 1u) << diff;
        std::ostringstream expected;
        expected << ",WindowsTimer,getPerformanceCounter,New timestamp is before last timestamp:  res.QuadPart="
                 << s_base + start + diff << "   m_lastTimestamp=" << s_base + start << "   diff=" << diff << " \n";
        EXPECT_NE(errors[0].find(expected.str()), std::string::npos) << errors[0];
    }
}

TEST_F(TimerClockTest, TimestampDoesNotStepBackAcrossAMillisecond) {
    setTicks(20);
    EXPECT_EQ(timer()->getTimestamp(), baseMs());
    setTicks(-30);  // 50 ticks back, in the millisecond before
    EXPECT_EQ(timer()->getTimestamp(), baseMs());
    EXPECT_EQ(sharedClient().linesWith("New timestamp is before last timestamp:").size(), 1u);
}

TEST_F(TimerClockTest, ReadingMoreThan100TicksBehindEndsTheProcess) {
    const std::string out = "backwards_stdout.txt";
    EXPECT_EXIT(
        {
            redirectStdoutTo(out);
            u64 value;
            windowsTimer()->getPerformanceCounter(&value);
            setTicks(-101);
            windowsTimer()->getPerformanceCounter(&value);
        },
        ::testing::ExitedWithCode(kFatalStopExitCode), "");
    const std::string printed = readFile(out);
    EXPECT_NE(printed.find(",Assert,"), std::string::npos) << printed;
    EXPECT_NE(printed.find("Timer.cpp"), std::string::npos) << printed;
    EXPECT_NE(printed.find(": diff >= -MINIMUM_ACCEPTABLE_TICKS_DIFF failed. New timestamp is more than 100 ticks "
                           "before last timestamp\n"),
              std::string::npos)
        << printed;
}

TEST_F(TimerClockTest, CoarseTimestampRefreshesOnlyAfterMoreThanASecondOfTickCount) {
    const ULONGLONG tick = 1000000000000000ULL;  // far past the real tick count
    setMs(10);
    platform_test::setTickCount(tick);
    EXPECT_EQ(timer()->getLastTimestampMs_Inaccurate(false), baseMs() + 10);  // refreshed

    setMs(20);
    platform_test::setTickCount(tick + 1000);
    EXPECT_EQ(timer()->getLastTimestampMs_Inaccurate(false), baseMs() + 10);
    platform_test::setTickCount(tick + 5000);
    EXPECT_EQ(timer()->getLastTimestampMs_Inaccurate(true), baseMs() + 10);  // never refreshes
    platform_test::setTickCount(tick + 1001);
    EXPECT_EQ(timer()->getLastTimestampMs_Inaccurate(false), baseMs() + 20);

    setMs(30);
    EXPECT_EQ(timer()->getTimestamp(), baseMs() + 30);
    EXPECT_EQ(timer()->getLastTimestampMs_Inaccurate(true), baseMs() + 30);  // the last reading, whoever made it
}

TEST_F(TimerClockTest, EpochMillisecondsOfTheSystemTime) {
    const struct {
        SYSTEMTIME time;
        i64 epochMs;
    } cases[] = {
        {systemTime(2026, 12, 9, 9, 5, 7, 42), 1796807107042LL},
        {systemTime(1970, 1, 1, 0, 0, 0, 0), 0},
        {systemTime(1969, 12, 31, 23, 59, 59, 999), -1},
        {systemTime(1601, 1, 1, 0, 0, 0, 0), -11644473600000LL},
    };
    for (const auto& c : cases) {
        platform_test::setSystemTime(c.time);
        EXPECT_EQ(timer()->getEpochMs(), c.epochMs) << c.time.wYear;
    }
}

TEST_F(TimerClockTest, PrintTimeDigits) {
    const struct {
        SYSTEMTIME time;
        int digits;
        const char* text;
    } cases[] = {
        {systemTime(2026, 12, 9, 9, 5, 7, 42), 3, "2026-12-09 09:05:07.042"},
        {systemTime(2026, 12, 9, 9, 5, 7, 42), 2, "2026-12-09 09:05:07.04"},
        {systemTime(2026, 12, 9, 9, 5, 7, 42), 1, "2026-12-09 09:05:07.0"},
        {systemTime(2026, 12, 9, 9, 5, 7, 42), 0, "2026-12-09 09:05:07"},
        {systemTime(2026, 12, 9, 9, 5, 7, 999), 1, "2026-12-09 09:05:07.9"},  // cut, not rounded
        {systemTime(2026, 1, 2, 23, 59, 58, 7), 3, "2026-01-02 23:59:58.007"},
        {systemTime(987, 1, 2, 3, 4, 5, 6), 0, " 987-01-02 03:04:05"},  // the year takes the stream's own fill
    };
    for (const auto& c : cases) {
        platform_test::setSystemTime(c.time);
        std::ostringstream os;
        Timer::printTime(os, c.digits);
        EXPECT_EQ(os.str(), c.text) << c.digits;
        EXPECT_EQ(os.fill(), '0');
    }
}

// The system time's calendar fields are converted once a second per thread: two readings on one thread, on either
// side of a second's boundary within one minute, each show their own second.
TEST_F(TimerClockTest, SystemTimeTurnsOverWithTheSecond) {
    std::vector<std::string> printed;
    for (const SYSTEMTIME& time : {systemTime(2026, 12, 9, 9, 5, 7, 999), systemTime(2026, 12, 9, 9, 5, 8, 0)}) {
        platform_test::setSystemClock(time);
        std::ostringstream os;
        Timer::printTime(os, 3);
        printed.push_back(os.str());
    }
    EXPECT_EQ(printed, (std::vector<std::string>{"2026-12-09 09:05:07.999", "2026-12-09 09:05:08.000"}));
}

TEST_F(TimerClockTest, LogLinesStartWithTheSystemTime) {
    platform_test::setSystemTime(systemTime(2026, 12, 9, 9, 5, 7, 42));
    LOG(Info) << "stamped" << std::endl;
    LOG_D(Info, 0) << "report" << std::endl;
    ASSERT_EQ(sharedClient().linesWith("stamped").size(), 1u);
    EXPECT_EQ(sharedClient().linesWith("stamped")[0].rfind("2026-12-09 09:05:07.042,Info,", 0), 0u);
    EXPECT_EQ(sharedClient().linesWith("report")[0].rfind("2026-12-09 09:05:07,Info,", 0), 0u);
}

namespace {

// Context of a test timer. Periodic timers are never removed, so it lives as long as the process.
struct Probe {
    int calls = 0;
    i64 advanceTicks = 0;       // the first call moves the counter forward by this much
    i64 counterBase = 0;
    std::vector<u32> added;     // handles of timers that the callback added
    bool addsTimer = false;

    static Probe* make() {
        static std::deque<Probe> probes;  // keeps every probe where it is
        return &probes.emplace_back();
    }
    static void callback(void* context) {
        auto* probe = static_cast<Probe*>(context);
        ++probe->calls;
        if (probe->advanceTicks) {
            LARGE_INTEGER now;
            QueryPerformanceCounter(&now);
            platform_test::setPerformanceCounter(now.QuadPart + std::exchange(probe->advanceTicks, 0));
        }
        if (std::exchange(probe->addsTimer, false)) {
            probe->added.push_back(Timer::instance()->addTimer(&Probe::callback, probe, 10, true));
        }
    }
};

}  // namespace

TEST_F(TimerClockTest, OneShotTimerRunsOnceAfterItsTimeAndIsErased) {
    const u64 before = timersCount();
    Probe* probe = Probe::make();
    timer()->addTimer(&Probe::callback, probe, 250, true);
    EXPECT_EQ(timersCount(), before + 1);

    setMs(250);
    windowsTimer()->activateTimers();
    EXPECT_EQ(probe->calls, 0);  // due, but not past due
    setMs(251);
    windowsTimer()->activateTimers();
    EXPECT_EQ(probe->calls, 1);
    EXPECT_EQ(timersCount(), before);
    setMs(5000);
    windowsTimer()->activateTimers();
    EXPECT_EQ(probe->calls, 1);
}

TEST_F(TimerClockTest, PeriodicTimerIsRescheduledFromTheStartOfThePass) {
    Probe* probe = Probe::make();
    probe->advanceTicks = 30 * kTicksPerMs;  // the first call takes 30 ms
    const u64 before = timersCount();
    timer()->addTimer(&Probe::callback, probe, 100, false);

    const struct {
        i64 ms;
        int calls;
    } passes[] = {{100, 0}, {101, 1}, {201, 1}, {202, 2}, {250, 2}, {303, 3}};
    for (const auto& pass : passes) {
        setMs(pass.ms);
        windowsTimer()->activateTimers();
        EXPECT_EQ(probe->calls, pass.calls) << "pass at " << pass.ms;
    }
    EXPECT_EQ(timersCount(), before + 1);
}

TEST_F(TimerClockTest, SlowCallbackIsReportedAndStaysScheduled) {
    const struct {
        i64 durationMs;
        bool reported;
    } cases[] = {{2000, false}, {2001, true}};
    for (const auto& c : cases) {
        freshStart();
        Probe* probe = Probe::make();
        probe->advanceTicks = c.durationMs * kTicksPerMs;
        timer()->addTimer(&Probe::callback, probe, 100, false);
        setMs(101);
        windowsTimer()->activateTimers();
        ASSERT_EQ(probe->calls, 1);
        const auto errors = sharedClient().linesWith(",Error,");
        EXPECT_EQ(errors.size(), c.reported ? 1u : 0u) << c.durationMs;
        if (c.reported) {
            EXPECT_NE(errors[0].find(",WindowsTimer,activateTimers,timer invocation took more than 1 seconds!\n"),
                      std::string::npos)
                << errors[0];
        }
        setMs(c.durationMs + 300);
        windowsTimer()->activateTimers();
        EXPECT_EQ(probe->calls, 2) << c.durationMs;
    }
}

TEST_F(TimerClockTest, CallbackMayAddATimer) {
    Probe* probe = Probe::make();
    probe->addsTimer = true;
    timer()->addTimer(&Probe::callback, probe, 50, true);
    setMs(51);
    windowsTimer()->activateTimers();
    ASSERT_EQ(probe->calls, 1);
    ASSERT_EQ(probe->added.size(), 1u);
    EXPECT_EQ(sharedClient().linesWith("added timer old=0 new=" + std::to_string(probe->added[0]) + "\n").size(), 1u);

    setMs(61);
    windowsTimer()->activateTimers();  // the new timer is due 10 ms after the first one's pass
    EXPECT_EQ(probe->calls, 1);
    setMs(62);
    windowsTimer()->activateTimers();
    EXPECT_EQ(probe->calls, 2);
}

TEST(TimerConstructionDeathTest, CounterFrequencyOutOfRangeEndsTheProcess) {
    const struct {
        LONGLONG frequency;
        const char* check;
    } cases[] = {
        {0, "bSuccess"},                           // no performance counter
        {999, "m_ticksPerMs > 0"},                 // under one tick per millisecond
        {4294967296000LL, "freq.HighPart == 0"},  // 2^32 ticks per millisecond
    };
    for (const auto& c : cases) {
        EXPECT_EXIT(
            {
                platform_test::setPerformanceFrequency(c.frequency);
                Timer::instance()->getTimestamp();
            },
            ::testing::ExitedWithCode(kFatalStopExitCode),
            std::string(",Error,[0-9]+,NON,WindowsTimer,WindowsTimer,Assertion \\(") + c.check +
                "\\) failed .*Timer\\.cpp [0-9]+")
            << c.frequency;
    }
}

TEST(TimerConstructionDeathTest, TickThreadThatCannotBeCreatedEndsTheProcess) {
    EXPECT_EXIT(
        {
            platform_test::failCreateThread(1, ERROR_NOT_ENOUGH_MEMORY);
            Timer::instance()->start();
        },
        ::testing::ExitedWithCode(kFatalStopExitCode), ",Timer,start,Assertion \\(h != NULL\\) failed");
}
