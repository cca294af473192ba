// The memory watcher's thread table and reports, and the CPU monitors, against the system's own counters. Under
// Wine only their shapes are pinned; the exact figures are pinned against fixture files in
// mem_watcher_standin_test.
#include "ChildSupport.h"
#include "CpuUsageMonitor.h"
#include "FatalStop.h"
#include "FileLoggerSupport.h"
#include "MemShield.h"
#include "MemWatcher.h"
#include "ServiceThreads.h"
#include "TestSupport.h"
#include "ThreadWrapper.h"
#include "Timer.h"
#include "TrackedAllocation.h"
#include "Tweaks.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <future>
#include <iostream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace {

u64 allocatedBytes() { return MemShield::instance()->m_allocatedBytes.load(); }

// Never a thread of this process: Linux ids stay below 2^22, Windows ids are multiples of 4.
constexpr u32 kNoThread = 4000000001u;

// The text after the columns "Class,method," of a log line, or "" when the line has other columns.
std::string textAfter(const std::string& line, const std::string& columns) {
    const std::string marker = "," + columns + ",";
    const size_t at = line.find(marker);
    return at == std::string::npos ? std::string() : line.substr(at + marker.size());
}

// "YYYY-MM-DD hh:mm:ss" is followed by ".mmm" only when the line has sub-second digits.
bool hasSubSecondDigits(const std::string& line) { return line.size() > 19 && line[19] == '.'; }

// Sets tweaks for one test and removes them at its end.
class TweakScope {
public:
    TweakScope() = default;
    TweakScope(std::initializer_list<std::pair<const char*, const char*>> tweaks) {
        for (const auto& [name, value] : tweaks) set(name, value);
    }
    ~TweakScope() {
        for (const std::string& name : m_names) setTweak(name, "");
    }
    void set(const std::string& name, const std::string& value) {
        setTweak(name, value);
        m_names.push_back(name);
    }

private:
    std::vector<std::string> m_names;
};

// A thread of this process that runs until released; `spin` makes it burn CPU meanwhile.
class HelperThread {
public:
    explicit HelperThread(bool spin) {
        std::promise<u32> id;
        std::future<u32> started = id.get_future();
        m_thread = std::thread([this, spin, &id] {
            id.set_value(GetCurrentThreadId());
            volatile u64 work = 0;
            while (!m_release.load()) {
                if (spin && m_spin.load()) {
                    for (int i = 0; i < 10000; ++i) work = work + static_cast<u64>(i);
                } else {
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
            }
        });
        m_id = started.get();
    }
    ~HelperThread() {
        m_release = true;
        m_thread.join();
    }
    u32 id() const { return m_id; }
    void spinFor(int ms) {
        m_spin = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        m_spin = false;
    }

private:
    std::thread m_thread;
    std::atomic<bool> m_release{false};
    std::atomic<bool> m_spin{false};
    u32 m_id = 0;
};

// A wrapped thread (named, registered with the watcher) that spins while asked to and ends when released.
class SpinningThread : public ThreadWrapper {
public:
    void run() override {
        m_id = GetCurrentThreadId();
        volatile u64 work = 0;
        while (!m_release.load()) {
            if (m_spin.load()) {
                for (int i = 0; i < 10000; ++i) work = work + static_cast<u64>(i);
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
        m_done = true;
    }
    std::atomic<u32> m_id{0};
    std::atomic<bool> m_spin{false};
    std::atomic<bool> m_release{false};
    std::atomic<bool> m_done{false};
};

}  // namespace

TEST(MemWatcherTest, AddingAThreadTwiceKeepsTheFirstMonitor) {
    sharedClient();
    waitForServiceThreads();
    MemWatcher* watcher = MemWatcher::instance();
    const u32 id = 4100001;
    const u64 baseline = allocatedBytes();
    sharedClient().clear();

    watcher->AddThread(id);
    const ThreadCpuUsageMonitor* first = watcher->cpuMonitorOf(id);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->m_threadId, id);
    EXPECT_EQ(first->m_lastUserTime, -1);
    EXPECT_EQ(first->m_cpuCount, hardwareThreadCount());
    const u64 withOne = allocatedBytes();
    EXPECT_EQ(withOne, baseline + sizeof(ThreadCpuUsageMonitor) + 8);  // one tracked object, counted only

    watcher->AddThread(id);
    EXPECT_EQ(watcher->cpuMonitorOf(id), first);
    EXPECT_EQ(allocatedBytes(), withOne);
    EXPECT_EQ(sharedClient().linesWith(",MemWatcher,AddThread,added  pid=4100001 \n").size(), 1u);

    watcher->RemoveThread(id);
    EXPECT_FALSE(watcher->hasThread(id));
    EXPECT_EQ(allocatedBytes(), baseline);
    watcher->RemoveThread(id);  // unknown: nothing happens
    EXPECT_EQ(allocatedBytes(), baseline);
}

TEST(ThreadCpuUsageMonitorTest, FirstUpdateIsZeroThenTheUserTimeSinceThePrevious) {
    sharedClient().clear();
    HelperThread helper(true);
    ThreadCpuUsageMonitor monitor(helper.id(), -1, hardwareThreadCount());
    EXPECT_EQ(monitor.update(), 0);
    EXPECT_GE(monitor.m_lastUserTime, 0);
    helper.spinFor(100);
    const i64 first = monitor.m_lastUserTime;
    const i64 delta = monitor.update();
    EXPECT_GE(delta, 0);
    EXPECT_EQ(monitor.m_lastUserTime, first + delta);
    EXPECT_TRUE(sharedClient().linesWith(",ThreadCpuUsageMonitor,update,").empty());
}

TEST(ThreadCpuUsageMonitorTest, AThreadThatCannotBeOpenedCountsZero) {
    sharedClient().clear();
    ThreadCpuUsageMonitor monitor(kNoThread, -1, 1);
    EXPECT_EQ(monitor.update(), 0);
    EXPECT_EQ(monitor.update(), 0);
    EXPECT_EQ(monitor.m_lastUserTime, -1);
    const auto lines = sharedClient().linesWith(",ThreadCpuUsageMonitor,update,");
    ASSERT_EQ(lines.size(), 2u);
    for (const std::string& line : lines) {
        EXPECT_NE(line.find(",Error,"), std::string::npos) << line;
        EXPECT_EQ(textAfter(line, "ThreadCpuUsageMonitor,update"), "failed opening thread\n");
    }
}

TEST(CpuUsageMonitorTest, TheConstructorNamesItsMode) {
    const struct {
        const char* simulative;
        const char* random;
        const char* line;
    } cases[] = {
        {nullptr, nullptr, "Using real windows CPU counters \n"},
        {"0", "1", "Using real windows CPU counters \n"},
        {"1", nullptr, "Using simulative CPU counters \n"},
        {"1", "1", "Using simulative random CPU counters \n"},
        {"-1", "7", "Using simulative random CPU counters \n"},
    };
    for (const auto& c : cases) {
        TweakScope tweaks;
        if (c.simulative) tweaks.set("t_simulativeCpuUsage", c.simulative);
        if (c.random) tweaks.set("t_randomCpuUsage", c.random);
        sharedClient().clear();
        CpuUsageMonitor monitor;
        const auto lines = sharedClient().linesWith(",CpuUsageMonitor,CpuUsageMonitor,");
        ASSERT_EQ(lines.size(), 1u) << c.line;
        EXPECT_EQ(textAfter(lines[0], "CpuUsageMonitor,CpuUsageMonitor"), c.line);
        EXPECT_TRUE(hasSubSecondDigits(lines[0])) << lines[0];
        EXPECT_EQ(monitor.m_cpuPercent, 0);
        EXPECT_EQ(monitor.m_lastTotalTicks, 0);
        EXPECT_EQ(monitor.m_lastIdleTicks, 0);
        EXPECT_EQ(monitor.m_lastTotalDelta, 0);
        EXPECT_EQ(monitor.m_cpuCount, hardwareThreadCount());
    }
}

// rand() differs by platform: only the tables that leave it no choice.
TEST(CpuUsageMonitorTest, RandomSharesFollowTheCertainTables) {
    const struct {
        const char* which;
        const char* threshold;
        i64 expected;  // -1: unchanged
    } cases[] = {
        {"t_keepPrevCpuUsageProbabilityPercent", nullptr, -1},
        {"t_lowCpuUsageProbabilityPercent", nullptr, 0},
        {"t_midCpuUsageProbabilityPercent", nullptr, 89},
        {"t_midCpuUsageProbabilityPercent", "50", 49},
        {"t_midCpuUsageProbabilityPercent", "0", 0},
        {"t_highCpuUsageProbabilityPercent", nullptr, 100},
        {"t_highCpuUsageProbabilityPercent", "0", 100},
    };
    for (const auto& c : cases) {
        TweakScope tweaks({{"t_simulativeCpuUsage", "1"}, {"t_randomCpuUsage", "1"}, {c.which, "100"}});
        if (c.threshold) tweaks.set("t_TeskCompressionHighCpuThreshold", c.threshold);
        CpuUsageMonitor monitor;
        for (i64 start : {42, 0, 100}) {
            monitor.m_cpuPercent = start;
            sharedClient().clear();
            EXPECT_EQ(monitor.update(), 0);
            const i64 expected = c.expected < 0 ? start : c.expected;
            EXPECT_EQ(monitor.m_cpuPercent, expected) << c.which << " " << (c.threshold ? c.threshold : "");
            const auto lines = sharedClient().linesWith(",CpuUsageMonitor,randomCpuGeneratorForTests,");
            ASSERT_EQ(lines.size(), 1u);
            EXPECT_EQ(textAfter(lines[0], "CpuUsageMonitor,randomCpuGeneratorForTests"),
                      "CPU is " + std::to_string(expected) + "\n");
            EXPECT_TRUE(hasSubSecondDigits(lines[0])) << lines[0];
        }
    }
}

TEST(CpuUsageMonitorDeathTest, RandomProbabilitiesOtherThanOneHundredEndTheProcess) {
    const struct {
        const char* high;
        const char* mid;
        const char* low;
        const char* keep;
        const char* detail;
    } cases[] = {
        {"10", "20", "30", "30",
         " highCpuUsageProbabilityPercent=10  midCpuUsageProbabilityPercent=20  lowCpuUsageProbabilityPercent=30  "
         "keepPrevCpuUsageProbabilityPercent=30 \n"},
        {nullptr, nullptr, nullptr, nullptr,
         " highCpuUsageProbabilityPercent=0  midCpuUsageProbabilityPercent=0  lowCpuUsageProbabilityPercent=0  "
         "keepPrevCpuUsageProbabilityPercent=0 \n"},
        {"100", "1", nullptr, nullptr,
         " highCpuUsageProbabilityPercent=100  midCpuUsageProbabilityPercent=1  lowCpuUsageProbabilityPercent=0  "
         "keepPrevCpuUsageProbabilityPercent=0 \n"},
    };
    int index = 0;
    for (const auto& c : cases) {
        const std::string log = "random_sum_" + std::to_string(index++) + ".txt";
        EXPECT_EXIT(
            {
                endChildAfter(30, kChildHung);
                logLinesToFile(log);
                setTweak("t_simulativeCpuUsage", "1");
                setTweak("t_randomCpuUsage", "1");
                if (c.high) setTweak("t_highCpuUsageProbabilityPercent", c.high);
                if (c.mid) setTweak("t_midCpuUsageProbabilityPercent", c.mid);
                if (c.low) setTweak("t_lowCpuUsageProbabilityPercent", c.low);
                if (c.keep) setTweak("t_keepPrevCpuUsageProbabilityPercent", c.keep);
                CpuUsageMonitor monitor;
                monitor.update();
                std::_Exit(1);
            },
            ::testing::ExitedWithCode(kFatalStopExitCode), "")
            << c.detail;
        const std::string text = readFile(log);
        const std::string expected =
            ": highCpuUsageProbabilityPercent + lowCpuUsageProbabilityPercent + keepPrevCpuUsageProbabilityPercent + "
            "midCpuUsageProbabilityPercent == 100 failed. " +
            std::string(c.detail);
        const size_t at = text.find(expected);
        ASSERT_NE(at, std::string::npos) << expected << "\n" << text;
        const size_t lineStart = text.rfind('\n', at) + 1;
        EXPECT_NE(text.substr(lineStart, at - lineStart).find(",Assert,"), std::string::npos) << text;
        EXPECT_EQ(text.find("CPU is "), std::string::npos) << text;
    }
}

TEST(CpuUsageMonitorTest, SimulatedSharesAreZeroWithoutTicks) {
    TweakScope tweaks({{"t_simulativeCpuUsage", "1"}});
    CpuUsageMonitor monitor;
    monitor.m_cpuPercent = 55;
    sharedClient().clear();
    EXPECT_EQ(monitor.update(), 0);
    EXPECT_EQ(monitor.m_cpuPercent, 0);
    EXPECT_TRUE(sharedClient().linesWith(",CpuUsageMonitor,update,").empty());
}

// The mode is read at every update: a monitor made simulated has no counter, and the read's failure is logged.
TEST(CpuUsageMonitorTest, RealModeWithoutACounterLogsTheReadStatus) {
    TweakScope tweaks({{"t_simulativeCpuUsage", "1"}});
    CpuUsageMonitor monitor;
    ASSERT_EQ(monitor.m_counter, nullptr);
    setTweak("t_simulativeCpuUsage", "0");
    sharedClient().clear();
    EXPECT_EQ(monitor.update(), 0);
    EXPECT_EQ(monitor.m_lastTotalTicks, 0);
    const auto lines = sharedClient().linesWith(",CpuUsageMonitor,update,");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(",Error,"), std::string::npos) << lines[0];
    const std::string text = textAfter(lines[0], "CpuUsageMonitor,update");
    EXPECT_TRUE(std::regex_match(text, std::regex("PdhGetRawCounterValue returned error  sts=-?[1-9][0-9]* \n")))
        << text;
}

TEST(MemWatcherTest, SimulatedCpuReportShowsNoThread) {
    sharedClient();
    TweakScope tweaks({{"t_simulativeCpuUsage", "1"}});
    MemWatcher* watcher = MemWatcher::instance();
    watcher->AddThread(GetCurrentThreadId());
    sharedClient().clear();
    watcher->printCpu();
    watcher->RemoveThread(GetCurrentThreadId());
    const auto lines = sharedClient().linesWith(",MemWatcher,printCpu,");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(std::regex_match(textAfter(lines[0], "MemWatcher,printCpu"), std::regex("0 cpu ticks in [0-9]+ ms\n")))
        << lines[0];
    EXPECT_EQ(textAfter(lines[1], "MemWatcher,printCpu"), "total=0 cpu(perc)\n");
    for (const std::string& line : lines) EXPECT_FALSE(hasSubSecondDigits(line)) << line;
}

// A thread's first update only records its time, so it is left out; a thread that spun shows with its name.
TEST(MemWatcherTest, CpuReportShowsTheThreadsThatRan) {
    sharedClient();
    MemWatcher* watcher = MemWatcher::instance();
    // Never deleted: its thread may still be ending when the test returns.
    static SpinningThread* const spinner = new SpinningThread();
    spinner->open();
    ASSERT_TRUE(waitUntil([&] { return spinner->m_id != 0 && watcher->hasThread(spinner->m_id); }, 10000));
    const u32 id = spinner->m_id;
    const std::string label = std::to_string(id) + "[" + Logger::instance()->getThreadName(id) + "]=";
    ASSERT_NE(label.find("SpinningThread"), std::string::npos) << label;

    sharedClient().clear();
    watcher->printCpu();
    auto lines = sharedClient().linesWith(",MemWatcher,printCpu,total=");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].find(label), std::string::npos) << lines[0];

    spinner->m_spin = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    spinner->m_spin = false;
    sharedClient().clear();
    watcher->printCpu();
    spinner->m_release = true;
    const auto pdhErrors = sharedClient().linesWith("PdhGetRawCounterValue returned error ");
    lines = sharedClient().linesWith(",MemWatcher,printCpu,");
    ASSERT_EQ(lines.size(), 2u);
    for (const std::string& line : lines) EXPECT_FALSE(hasSubSecondDigits(line)) << line;
    const std::string ticks = textAfter(lines[0], "MemWatcher,printCpu");
    const std::string shares = textAfter(lines[1], "MemWatcher,printCpu");
    if (!pdhErrors.empty()) {
        // Wine's performance data lacks the processor idle-time counter: the read fails, no ticks, so no thread.
        std::cout << "the processor idle-time counter cannot be read here: " << pdhErrors[0];
        EXPECT_NE(pdhErrors[0].find(",Error,"), std::string::npos) << pdhErrors[0];
        EXPECT_TRUE(std::regex_match(ticks, std::regex("0 cpu ticks in [0-9]+ ms\n"))) << ticks;
        EXPECT_EQ(shares, "total=0 cpu(perc)\n");
        EXPECT_TRUE(waitUntil([&] { return !watcher->hasThread(id); }, 10000));
        return;
    }
    EXPECT_TRUE(std::regex_match(ticks, std::regex("[1-9][0-9]* cpu ticks in [0-9]+ ms\n"))) << ticks;
    std::smatch match;
    ASSERT_TRUE(std::regex_match(shares, match, std::regex("total=([0-9]+) cpu\\(perc\\)(.*)\n"))) << shares;
    const size_t at = shares.find(label);
    ASSERT_NE(at, std::string::npos) << label << "\n" << shares;
    const int percent = std::atoi(shares.c_str() + at + label.size());
    EXPECT_GT(percent, 0) << shares;
    EXPECT_EQ(shares.compare(at + label.size() + std::to_string(percent).size(), 2, "% "), 0) << shares;
    EXPECT_GE(std::atoi(match[1].str().c_str()), percent) << shares;
    EXPECT_TRUE(waitUntil([&] { return !watcher->hasThread(id); }, 10000));
}

TEST(MemWatcherTest, MemoryReportGivesTheProcessCounters) {
    sharedClient().clear();
    MemWatcher::instance()->printMem();
    const auto lines = sharedClient().linesWith(",MemWatcher,printMem,");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_FALSE(hasSubSecondDigits(lines[0])) << lines[0];
    std::smatch match;
    const std::string text = textAfter(lines[0], "MemWatcher,printMem");
    ASSERT_TRUE(std::regex_match(text, match,
                                 std::regex("memory information: PWSS=([0-9]+) WSS=([0-9]+) QPPPU=[0-9]+ QPU=[0-9]+ "
                                            "QPNPPU=[0-9]+ QNPPU=[0-9]+ PFU=([0-9]+) PPFileU=([0-9]+)\n")))
        << text;
    const unsigned long long peak = std::stoull(match[1]);
    const unsigned long long now = std::stoull(match[2]);
    EXPECT_GT(now, 0u);
    EXPECT_GE(peak, now);
    EXPECT_GT(std::stoull(match[3]), 0u);
}

// The first report's elapsed time counts from the watcher's creation, even with a clock reference far back.
TEST(MemWatcherDeathTest, FirstCpuReportCountsFromTheWatchersCreation) {
    EXPECT_EXIT(
        {
            endChildAfter(30, kChildHung);
            logLinesToFile("first_report.txt");
            setTweak("t_simulativeCpuUsage", "1");
            Timer::instance()->setReference(5000000000LL);  // 58 days: past 32 bits of milliseconds
            MemWatcher::instance();
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            MemWatcher::instance()->printCpu();
            std::_Exit(0);
        },
        ::testing::ExitedWithCode(0), "");
    const std::string text = readFile("first_report.txt");
    const size_t at = text.find(",MemWatcher,printCpu,0 cpu ticks in ");
    ASSERT_NE(at, std::string::npos) << text;
    const long ms = std::atol(text.c_str() + at + std::string(",MemWatcher,printCpu,0 cpu ticks in ").size());
    EXPECT_GE(ms, 45) << text;
    EXPECT_LT(ms, 20000) << text;
}

// A failure report of the allocator ends with the process's memory, then the threads' CPU shares.
TEST(MemWatcherDeathTest, FailureReportEndsWithMemoryThenCpu) {
    EXPECT_EXIT(
        {
            endChildAfter(30, kChildHung);
            logLinesToFile("failure_report.txt");
            MemShield::s_enabled = true;
            u8* p = trackedArrayNew<u8>(10, "u8", "mem_watcher_test.cpp", 1);
            trackedArrayFree(p, "mem_watcher_test.cpp", 2);
            trackedArrayFree(p, "mem_watcher_test.cpp", 3);
            std::_Exit(1);
        },
        ::testing::ExitedWithCode(kFatalStopExitCode), "");
    const std::string text = readFile("failure_report.txt");
    const size_t total = text.find(",MemShield,printAllocations,Total memory allocation: ");
    const size_t memory = text.find(",MemWatcher,printMem,memory information: PWSS=");
    const size_t ticks = text.find(" cpu ticks in ", memory);
    const size_t shares = text.find(",MemWatcher,printCpu,total=", memory);
    const size_t freed = text.find(" Timer::instance()->getLastTimestampMs_Inaccurate(true)=");
    ASSERT_NE(total, std::string::npos) << text;
    ASSERT_NE(memory, std::string::npos) << text;
    ASSERT_NE(ticks, std::string::npos) << text;
    ASSERT_NE(shares, std::string::npos) << text;
    ASSERT_NE(freed, std::string::npos) << text;
    EXPECT_LT(total, memory);
    EXPECT_LT(ticks, shares);
    EXPECT_LT(shares, freed);
    // Between the memory line and the CPU lines the reporting thread logs only for the machine's monitor (the
    // service threads may log meanwhile).
    const size_t memoryLine = text.rfind('\n', memory) + 1;
    auto threadOf = [&](size_t lineStart) {
        const size_t first = text.find(',', lineStart);
        const size_t second = text.find(',', first + 1);
        const size_t third = text.find(',', second + 1);
        return text.substr(second + 1, third - second - 1);
    };
    const std::string reportingThread = threadOf(memoryLine);
    size_t line = text.find('\n', memory) + 1;
    const size_t ticksLine = text.rfind('\n', ticks) + 1;
    EXPECT_EQ(threadOf(ticksLine), reportingThread);
    for (; line < ticksLine; line = text.find('\n', line) + 1) {
        const std::string between = text.substr(line, text.find('\n', line) - line);
        if (threadOf(line) != reportingThread) continue;
        EXPECT_NE(between.find(",CpuUsageMonitor,update,"), std::string::npos) << between << "\n" << text;
    }
}

namespace {

// Holds the thread that writes a line containing `text` until released.
class BlockingClient : public LoggerClient {
public:
    explicit BlockingClient(std::string text) : m_text(std::move(text)) {}
    void write(const std::string& line) override {
        if (line.find(m_text) == std::string::npos) return;
        m_blocked = true;
        while (!m_release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::atomic<bool> m_blocked{false};
    std::atomic<bool> m_release{false};

private:
    std::string m_text;
};

}  // namespace

// While the allocator is being made on one thread, a thread that registers waits for it without holding the
// watcher's lock: the table stays readable.
TEST(MemWatcherDeathTest, RegistrationWaitsForTheAllocatorOutsideTheWatchersLock) {
    EXPECT_EXIT(
        {
            endChildAfter(30, kChildHung);
            MemWatcher::instance();
            auto* client = new BlockingClient("AO<MemShieldAO>");
            Logger::instance()->registerClient(client, 255);
            std::thread maker([] { MemShield::instance(); });  // stops at its worker's first line
            if (!waitUntil([&] { return client->m_blocked.load(); }, 10000)) std::_Exit(2);
            std::thread registering([] { MemWatcher::instance()->AddThread(4100003); });
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            std::atomic<bool> readable{false};
            std::thread reader([&] {
                MemWatcher::instance()->hasThread(4100005);
                readable = true;
            });
            const bool answered = waitUntil([&] { return readable.load(); }, 2000);
            client->m_release = true;
            maker.join();
            registering.join();
            reader.join();
            if (!answered) std::_Exit(3);
            std::_Exit(MemWatcher::instance()->hasThread(4100003) ? 0 : 4);
        },
        ::testing::ExitedWithCode(0), "");
}

// A log client may ask the watcher: "added" is logged after the lock is released.
TEST(MemWatcherDeathTest, TheAddedLineIsLoggedOutsideTheWatchersLock) {
    class AskingClient : public LoggerClient {
    public:
        void write(const std::string& line) override {
            if (line.find(",MemWatcher,AddThread,added ") != std::string::npos) {
                m_known = MemWatcher::instance()->hasThread(4100007);
            }
        }
        std::atomic<bool> m_known{false};
    };
    EXPECT_EXIT(
        {
            endChildAfter(30, kChildHung);
            auto* client = new AskingClient();
            Logger::instance()->registerClient(client, 255);
            finishWithin(5000, "AddThread", [] { MemWatcher::instance()->AddThread(4100007); });
            std::_Exit(client->m_known ? 0 : 4);
        },
        ::testing::ExitedWithCode(0), "");
}

// Wrapped threads start and end while the reports run, with the allocator in registered mode and a queued file
// log: every line is a tracked allocation. Under ThreadSanitizer a lock-order inversion ends the child.
TEST(MemWatcherDeathTest, ThreadsStartAndEndBesideTheReports) {
    class ShortThread : public ThreadWrapper {
    public:
        void run() override { m_ran = true; }
        std::atomic<bool> m_ran{false};
    };
    EXPECT_EXIT(
        {
            endChildAfter(60, kChildHung);
            MemShield::s_enabled = true;
            LogFolder folder;
            auto* file = new FileLoggerClient(folder.base, 3, 0, "");
            Logger::instance()->registerClient(file, 255);
            std::atomic<bool> stop{false};
            std::thread reporter([&] {
                while (!stop.load()) {
                    MemWatcher::instance()->printCpu();
                    MemWatcher::instance()->printMem();
                    MemWatcher::instance()->iterateThreads([](int, u64) {});
                }
            });
            std::vector<ShortThread*> threads;
            for (int i = 0; i < 40; ++i) {
                auto* thread = new ShortThread();  // kept: a thread may still be ending at the exit
                thread->open();
                threads.push_back(thread);
                if (i % 8 == 7) std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            const bool ran = waitUntil(
                [&] {
                    for (ShortThread* thread : threads) {
                        if (!thread->m_ran) return false;
                    }
                    return true;
                },
                20000);
            stop = true;
            reporter.join();
            std::_Exit(ran ? 0 : 2);
        },
        ::testing::ExitedWithCode(0), "");
}
