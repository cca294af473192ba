// test-traits: linux-only
// Linux-only: the windows are timed on the stand-in's performance counter, set by the test.
#include "ChildSupport.h"
#include "FatalStop.h"
#include "RateMonitor.h"
#include "TestSupport.h"

#include <platform/testing.h>

#include <string>
#include <vector>

namespace {

// The process clock's microseconds stand at `us` (the stand-in's counter runs at 10 MHz).
void setClockUs(u64 us) { platform_test::setPerformanceCounter(static_cast<LONGLONG>(us * 10)); }

// The message column of the monitor's lines.
std::vector<std::string> reportsOf(const std::string& name) {
    std::vector<std::string> messages;
    const std::string head = ",NON,RateMonitor,update," + name + " time=";
    for (const auto& line : sharedClient().lines()) {
        const size_t at = line.find(head);
        if (at != std::string::npos && line.find(",Info,") != std::string::npos) {
            messages.push_back(line.substr(at + head.size() - name.size() - 6));
        }
    }
    return messages;
}

class RateMonitorTest : public ::testing::Test {
protected:
    void SetUp() override {
        sharedClient();
        setClockUs(1);
    }
    void TearDown() override { platform_test::useRealClocks(); }

    // One task active from `start` (as the active object opens an interval) with `submitted` actions counted.
    static void openInterval(RateMonitor& monitor, u64 start, u32 submitted) {
        setClockUs(start);
        monitor.m_taskIntervalStart = start;
        monitor.incActiveTasksLocked(1);
        monitor.m_submittedTasks = submitted;
    }
    static void finish(RateMonitor& monitor, u64 now) {
        setClockUs(now);
        monitor.taskDone(now, now - monitor.m_taskIntervalStart);
    }
};

}  // namespace

TEST_F(RateMonitorTest, UpdatePrintsTheLineFromTheWindowsFigures) {
    const struct {
        const char* what;
        u64 divisor;
        u32 networkRate, completed, networkBw, minC, maxC;
        float avgC, busyC;
        const char* line;
    } cases[] = {
        {"plain", 1, 0, 0, 0, 0, 1, 0, 0, " time=3000 (2000) rate=5<bw=7>\n"},
        {"network only", 1, 9, 0, 0, 0, 1, 0, 0, " time=3000 (2000) rate=5 (network=9)<bw=7>\n"},
        {"latency only, divided", 10, 0, 2, 0, 0, 1, 0, 0,
         " time=300 (200) rate=5 latency=[Avg: 150 Max: 250]<bw=7>\n"},
        {"network and latency", 1, 9, 2, 0, 0, 1, 0, 0,
         " time=3000 (2000) rate=5 (network=9) latency=[Avg: 1500 Max: 2500]<bw=7>\n"},
        {"network share of the wall time", 1, 0, 0, 4, 0, 1, 0, 0, " time=3000 (2000) rate=5<bw=7 (nwBw=4)>\n"},
        {"concurrency above 1", 1, 0, 0, 0, 1, 3, 1.5f, 2.0f,
         " time=3000 (2000) rate=5<bw=7> concurrency=[Min:1 Avg:1.5(2.0) Max:3]\n"},
        {"concurrency rounded to one decimal", 1, 0, 0, 0, 0, 2, 0.25f, 1.06f,
         " time=3000 (2000) rate=5<bw=7> concurrency=[Min:0 Avg:0.2(1.1) Max:2]\n"},
        {"a zero divisor counts as 1", 0, 0, 2, 0, 0, 1, 0, 0,
         " time=3000 (2000) rate=5 latency=[Avg: 1500 Max: 2500]<bw=7>\n"},
    };
    int index = 0;
    for (const auto& c : cases) {
        const std::string name = uniqueName("line" + std::to_string(index++));
        RateMonitor monitor(name, 0, 0, 0, c.divisor, false, 0);
        monitor.m_windowTime = 3000;
        monitor.m_busyTime = 2000;
        monitor.m_rate = 5;
        monitor.m_bwRate = 7;
        monitor.m_networkRate = c.networkRate;
        monitor.m_completedTasks = c.completed;
        monitor.m_elapsedSum = 3000;
        monitor.m_maxElapsed = 2500;
        monitor.m_networkBwRate = c.networkBw;
        monitor.m_minConcurrency = c.minC;
        monitor.m_maxConcurrency = c.maxC;
        monitor.m_avgConcurrency = c.avgC;
        monitor.m_busyConcurrency = c.busyC;
        monitor.update();
        EXPECT_EQ(reportsOf(name), std::vector<std::string>{name + c.line}) << c.what;
    }
}

TEST_F(RateMonitorTest, TaskDoneReportsTheWindowFromTheClockAndStartsANewOne) {
    const std::string name = uniqueName("window");
    RateMonitor monitor(name, 0, 0, 1, 1, false, 1000);
    openInterval(monitor, 1000, 3);
    setClockUs(1500);
    monitor.incActiveTasksLocked(1);  // a second task for the last 500 us
    finish(monitor, 2000);
    // B = W = 1000 us; concurrency integral 500 x 1 + 500 x 2 over 1000 us.
    EXPECT_EQ(reportsOf(name), std::vector<std::string>{name + " time=1000 (1000) rate=3000 latency=[Avg: 1000 Max: "
                                                                "1000]<bw=3000> concurrency=[Min:0 Avg:1.5(1.5) Max:2]\n"});
    EXPECT_EQ(monitor.m_windowStart, 2000u);
    EXPECT_EQ(monitor.m_currentActiveTasks, 1u);

    // The second task ends the next window: busy from 2000 to 4000, nothing submitted in it.
    monitor.m_taskIntervalStart = 1000;
    finish(monitor, 4000);
    const auto reports = reportsOf(name);
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[1], name + " time=2000 (2000) rate=0 latency=[Avg: 3000 Max: 3000]<bw=0>\n");
    EXPECT_EQ(monitor.m_currentActiveTasks, 0u);
}

TEST_F(RateMonitorTest, AWindowWithoutBusyTimeReportsTheRatesAsNotComputable) {
    const std::string name = uniqueName("zero");
    RateMonitor monitor(name, 0, 0, 1, 1, false, 4000);
    openInterval(monitor, 5000, 2);
    finish(monitor, 5000);
    EXPECT_EQ(reportsOf(name), std::vector<std::string>{name + " time=0 (0) rate=4294967295 (network=4294967295) "
                                                                "latency=[Avg: 0 Max: 0]<bw=2000>\n"});
}

TEST_F(RateMonitorTest, RatesAreComputedIn64BitsAndClampedAt32) {
    const struct {
        u32 submitted, network;
        u64 busy;  // the wall time is twice the busy time
        u32 rate, bw, networkRate;
    } cases[] = {
        {4295, 0, 1000000, 4295, 2147, 0},
        {10000, 5000, 1000000, 10000, 5000, 5000},
        {5000000, 0, 1000, 0xFFFFFFFFu, 2500000000u, 0},
        {0xFFFFFFFFu, 1, 1, 0xFFFFFFFFu, 0xFFFFFFFFu, 1000000},
        {1, 0, 3, 333333, 166666, 0},
    };
    for (const auto& c : cases) {
        RateMonitor monitor("", 0, 0, 1, 1, true, 100000000 - 2 * c.busy);
        openInterval(monitor, 100000000 - c.busy, c.submitted);
        monitor.m_networkTasks = c.network;
        finish(monitor, 100000000);
        EXPECT_EQ(monitor.m_busyTime, c.busy) << c.submitted;
        EXPECT_EQ(monitor.m_rate, c.rate) << c.submitted;
        EXPECT_EQ(monitor.m_bwRate, c.bw) << c.submitted;
        EXPECT_EQ(monitor.m_networkRate, c.networkRate) << c.submitted;
    }
}

TEST_F(RateMonitorTest, AWindowIsReportedOnlyWhenBusyEnoughAndCompleteEnough) {
    const struct {
        const char* what;
        u32 submittedThreshold;
        u64 busyThreshold;
        u32 completedThreshold;
        u32 submitted;
        u64 busy;
        bool reported;
    } cases[] = {
        {"busy time above its threshold", 100, 999, 1, 0, 1000, true},
        {"submitted above its threshold", 2, 5000, 1, 3, 1000, true},
        {"both at their thresholds", 3, 1000, 1, 3, 1000, false},
        {"not enough completed", 0, 0, 2, 5, 1000, false},
    };
    int index = 0;
    for (const auto& c : cases) {
        const std::string name = uniqueName("due" + std::to_string(index++));
        RateMonitor monitor(name, c.submittedThreshold, c.busyThreshold, c.completedThreshold, 1, false, 1000);
        openInterval(monitor, 1000, c.submitted);
        finish(monitor, 1000 + c.busy);
        EXPECT_EQ(reportsOf(name).size(), c.reported ? 1u : 0u) << c.what;
        // An unreported window goes on.
        EXPECT_EQ(monitor.m_completedTasks, c.reported ? 0u : 1u) << c.what;
        EXPECT_EQ(monitor.m_submittedTasks, c.reported ? 0u : c.submitted) << c.what;
        EXPECT_EQ(monitor.m_windowStart, c.reported ? 1000 + c.busy : 1000u) << c.what;
    }
}

TEST_F(RateMonitorTest, TheReportResetsTheWindowUnlessKept) {
    const struct {
        const char* what;
        const char* name;
        bool keep;
        bool logged;
    } cases[] = {
        {"named", "reset", false, true},
        {"unnamed: no line, still reset", "", false, false},
        {"kept window", "kept", true, true},
    };
    for (const auto& c : cases) {
        const std::string name = c.name[0] ? uniqueName(c.name) : std::string();
        const size_t linesBefore = sharedClient().linesWith(",RateMonitor,update,").size();
        RateMonitor monitor(name, 0, 0, 1, 1, c.keep, 500);
        setClockUs(800);
        monitor.incActiveTasksLocked(1);
        setClockUs(900);
        monitor.incActiveTasksLocked(-1);  // 100 us idle from here
        openInterval(monitor, 1000, 4);
        monitor.m_networkTasks = 2;
        setClockUs(1200);
        monitor.incActiveTasksLocked(1);  // still active after the report
        finish(monitor, 1500);
        EXPECT_EQ(sharedClient().linesWith(",RateMonitor,update,").size() - linesBefore, c.logged ? 1u : 0u) << c.what;

        EXPECT_EQ(monitor.m_currentActiveTasks, 1u) << c.what;
        EXPECT_EQ(monitor.m_lastChange, 1500u) << c.what;
        EXPECT_EQ(monitor.m_busyStart, 1500u) << c.what;
        EXPECT_EQ(monitor.m_idleStart, 900u) << c.what;
        EXPECT_EQ(monitor.m_lastTaskDone, 1500u) << c.what;
        if (c.keep) {
            EXPECT_EQ(monitor.m_idleTime, 100u) << c.what;
            EXPECT_EQ(monitor.m_elapsedSum, 500u) << c.what;
            EXPECT_EQ(monitor.m_submittedTasks, 4u) << c.what;
            EXPECT_EQ(monitor.m_networkTasks, 2u) << c.what;
            EXPECT_EQ(monitor.m_taskIntervalStart, 1000u) << c.what;
            EXPECT_EQ(monitor.m_busyTime, 600u) << c.what;
            EXPECT_EQ(monitor.m_maxElapsed, 500u) << c.what;
            EXPECT_EQ(monitor.m_completedTasks, 1u) << c.what;
            EXPECT_EQ(monitor.m_minConcurrency, 0u) << c.what;
            EXPECT_EQ(monitor.m_maxConcurrency, 2u) << c.what;
            EXPECT_EQ(monitor.m_windowStart, 500u) << c.what;
            EXPECT_EQ(monitor.m_concurrencyIntegral, 100u + 200u + 300u * 2) << c.what;
        } else {
            EXPECT_EQ(monitor.m_idleTime, 0u) << c.what;
            EXPECT_EQ(monitor.m_elapsedSum, 0u) << c.what;
            EXPECT_EQ(monitor.m_submittedTasks, 0u) << c.what;
            EXPECT_EQ(monitor.m_networkTasks, 0u) << c.what;
            EXPECT_EQ(monitor.m_taskIntervalStart, 0u) << c.what;
            EXPECT_EQ(monitor.m_busyTime, 0u) << c.what;
            EXPECT_EQ(monitor.m_maxElapsed, 0u) << c.what;
            EXPECT_EQ(monitor.m_completedTasks, 0u) << c.what;
            EXPECT_EQ(monitor.m_minConcurrency, 1u) << c.what;
            EXPECT_EQ(monitor.m_maxConcurrency, 1u) << c.what;
            EXPECT_EQ(monitor.m_windowStart, 1500u) << c.what;  // the clock when the window was reset
            EXPECT_EQ(monitor.m_concurrencyIntegral, 0u) << c.what;
        }
        // Window 500..1500: busy 800..900 and 1000..1500; the report counts the open stretch.
        EXPECT_EQ(monitor.m_windowTime, 700u) << c.what;
        EXPECT_EQ(monitor.m_rate, 4u * 1000000 / 600) << c.what;
        EXPECT_EQ(monitor.m_networkBwRate, 2u * 1000000 / 1000) << c.what;
        monitor.incActiveTasksLocked(-1);
    }
}

TEST(RateMonitorDeathTest, MisuseEndsTheProcess) {
    const struct {
        const char* what;
        void (*run)();
        const char* text;
    } cases[] = {
        {"step of 2", [] { RateMonitor("deathMon", 0, 0, 0, 1, false, 0).incActiveTasksLocked(2); },
         ": c == 1 || c == -1 failed.  c=2  m_name=deathMon \n"},
        {"end without an active task", [] { RateMonitor("deathMon", 0, 0, 0, 1, false, 0).incActiveTasksLocked(-1); },
         ": m_currentActiveTasks > 0 failed.  m_name=deathMon \n"},
        {"destroyed while active",
         [] {
             RateMonitor monitor("deathMon", 0, 0, 0, 1, false, 0);
             monitor.incActiveTasksLocked(1);
         },
         ": m_currentActiveTasks == 0 failed.  m_name=deathMon  m_currentActiveTasks=1 \n"},
    };
    int index = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string printed = printedByFatalStop("rate_death_" + std::to_string(index++) + ".txt", c.run);
        EXPECT_NE(printed.find(",Assert,"), std::string::npos) << c.what << "\n" << printed;
        EXPECT_NE(printed.find(",NON,RateMonitor,"), std::string::npos) << c.what << "\n" << printed;
        EXPECT_NE(printed.find(c.text), std::string::npos) << c.what << "\n" << printed;
    }
}
