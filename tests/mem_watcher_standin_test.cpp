// test-traits: linux-only
// The CPU monitors and the memory report on the stand-in's counters: exact figures from fixture /proc files, the
// real /proc of this process, and a failing OpenProcess.
#include "ChildSupport.h"
#include "CpuUsageMonitor.h"
#include "FatalStop.h"
#include "FileLoggerSupport.h"
#include "MemWatcher.h"
#include "TestSupport.h"

#include <pdh.h>
#include <platform/testing.h>
#include <psapi.h>

#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <string>
#include <thread>

namespace fs = std::filesystem;

namespace {

const i64 kTicksPerSecond = sysconf(_SC_CLK_TCK);
i64 hundredNs(i64 ticks) { return ticks * 10000000 / kTicksPerSecond; }

std::string textAfter(const std::string& line, const std::string& columns) {
    const std::string marker = "," + columns + ",";
    const size_t at = line.find(marker);
    return at == std::string::npos ? std::string() : line.substr(at + marker.size());
}

bool hasSubSecondDigits(const std::string& line) { return line.size() > 19 && line[19] == '.'; }

void writeFile(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

// A /proc of fixture files for one test; the stand-in reads it until the test ends.
class FixtureProc {
public:
    FixtureProc() : m_root(fs::absolute(uniqueName("proc"))) {
        fs::create_directories(m_root / "self" / "task");
        platform_test::setProcRoot(m_root.c_str());
    }
    ~FixtureProc() {
        platform_test::setProcRoot(nullptr);
        std::error_code ignored;
        fs::remove_all(m_root, ignored);
    }
    // A task's stat line with the given user and kernel ticks; the name holds blanks and brackets.
    void task(u32 id, i64 user, i64 kernel) {
        std::ostringstream line;
        line << id << " (odd) name (x)) S 1 1 1 0 -1 4194304 10 0 0 0 " << user << " " << kernel
             << " 0 0 20 0 1 0 100 1000 10 18446744073709551615 1 1 0 0 0 0 0 0 0 0 0 0 17 3 0 0 0 0 0\n";
        writeFile(m_root / "self" / "task" / std::to_string(id) / "stat", line.str());
    }
    void removeTaskStat(u32 id) { fs::remove(m_root / "self" / "task" / std::to_string(id) / "stat"); }
    void removeTask(u32 id) { fs::remove_all(m_root / "self" / "task" / std::to_string(id)); }
    // /proc/stat with the aggregate line's ten fields and `processors` cpuN lines.
    void stat(const std::string& fields, int processors) {
        std::string text = "cpu  " + fields + "\n";
        for (int i = 0; i < processors; ++i) text += "cpu" + std::to_string(i) + " 1 2 3 4 5 6 7 8 0 0\n";
        text += "intr 12345 0 0\nctxt 999\nbtime 1700000000\n";
        writeFile(m_root / "stat", text);
    }
    void removeStat() { fs::remove(m_root / "stat"); }
    void status(const std::string& text) { writeFile(m_root / "self" / "status", text); }
    void removeStatus() { fs::remove(m_root / "self" / "status"); }

private:
    fs::path m_root;
};

class TweakScope {
public:
    TweakScope(const char* name, const char* value) : m_name(name) { setTweak(name, value); }
    ~TweakScope() { setTweak(m_name, ""); }

private:
    std::string m_name;
};

u64 threadCpuNs() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<u64>(ts.tv_sec) * 1000000000 + static_cast<u64>(ts.tv_nsec);
}

}  // namespace

TEST(ThreadCpuUsageMonitorStandinTest, UserTimeComesFromTheTasksStatFile) {
    sharedClient();
    FixtureProc proc;
    proc.task(777, 150, 20);
    ThreadCpuUsageMonitor monitor(777, -1, 4);
    sharedClient().clear();
    EXPECT_EQ(monitor.update(), 0);
    EXPECT_EQ(monitor.m_lastUserTime, hundredNs(150));
    proc.task(777, 250, 900);  // kernel time is not counted
    EXPECT_EQ(monitor.update(), hundredNs(100));
    EXPECT_EQ(monitor.update(), 0);
    EXPECT_TRUE(sharedClient().linesWith(",ThreadCpuUsageMonitor,update,").empty());

    // The thread ends: its task folder is there but its times are gone, then the folder too.
    const struct {
        void (*change)(FixtureProc&);
        const char* error;
    } cases[] = {
        {[](FixtureProc& p) { p.removeTaskStat(777); }, "failed getting thread times\n"},
        {[](FixtureProc& p) { p.removeTask(777); }, "failed opening thread\n"},
    };
    for (const auto& c : cases) {
        c.change(proc);
        sharedClient().clear();
        EXPECT_EQ(monitor.update(), 0) << c.error;
        EXPECT_EQ(monitor.m_lastUserTime, hundredNs(250)) << c.error;
        const auto lines = sharedClient().linesWith(",ThreadCpuUsageMonitor,update,");
        ASSERT_EQ(lines.size(), 1u) << c.error;
        EXPECT_NE(lines[0].find(",Error,"), std::string::npos) << lines[0];
        EXPECT_EQ(textAfter(lines[0], "ThreadCpuUsageMonitor,update"), c.error);
    }
}

// A thread that burns about 200 ms of CPU shows about 2,000,000 units of user time, within the clock's ticks.
TEST(ThreadCpuUsageMonitorStandinTest, SpinningThreadShowsItsUserTime) {
    std::promise<u32> idPromise;
    std::future<u32> idFuture = idPromise.get_future();
    std::promise<void> goPromise;
    std::shared_future<void> go = goPromise.get_future().share();
    std::promise<u64> spentPromise;
    std::future<u64> spent = spentPromise.get_future();
    std::atomic<bool> release{false};
    std::thread spinner([&] {
        idPromise.set_value(GetCurrentThreadId());
        go.wait();
        const u64 start = threadCpuNs();
        // The thread's clock is a system call: read it seldom, so that the time is spent in user mode.
        volatile u64 work = 0;
        while (threadCpuNs() - start < 200000000) {
            for (int i = 0; i < 200000; ++i) work = work + 1;
        }
        spentPromise.set_value(threadCpuNs() - start);
        while (!release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    ThreadCpuUsageMonitor monitor(idFuture.get(), -1, 1);
    EXPECT_EQ(monitor.update(), 0);
    goPromise.set_value();
    const i64 spentHundredNs = static_cast<i64>(spent.get() / 100);
    const i64 delta = monitor.update();
    release = true;
    spinner.join();
    // The user time is counted in ticks, and a tick of the spin may be taken for kernel time.
    EXPECT_NEAR(static_cast<double>(delta), static_cast<double>(spentHundredNs), static_cast<double>(hundredNs(3)))
        << "spent " << spentHundredNs;
}

TEST(CpuUsageMonitorStandinTest, RealModeBusyShareFromProcStatSamples) {
    sharedClient();
    FixtureProc proc;
    // user nice system idle iowait irq softirq steal guest guest_nice; guest time is inside user time.
    proc.stat("100 0 100 700 100 0 0 0 50 50", 2);
    CpuUsageMonitor monitor;
    ASSERT_NE(monitor.m_counter, nullptr);
    const struct {
        const char* fields;  // null: /proc/stat cannot be read
        i64 totalDelta;      // in ticks of all processors
        i64 idleDelta;
        i64 busy;
    } samples[] = {
        // The first update counts from zero: the constructor's sample is not kept.
        {"100 0 100 700 100 0 0 0 50 50", 1000, 800, 20},
        {"300 10 190 780 120 0 0 0 0 0", 400, 100, 75},
        {"330 10 190 780 120 2 2 6 0 0", 40, 0, 100},
        {"330 10 190 840 160 2 2 6 0 0", 100, 100, 0},
        {"330 10 200 840 180 2 2 6 0 0", 30, 20, 33},
        {"330 10 200 840 180 2 2 6 0 0", 0, 0, 0},
        {nullptr, 0, 0, 0},  // the last sample is kept
    };
    for (const auto& s : samples) {
        if (s.fields) {
            proc.stat(s.fields, 2);
        } else {
            proc.removeStat();
        }
        sharedClient().clear();
        const i64 totalDelta = hundredNs(s.totalDelta) / 2;
        const i64 idleDelta = hundredNs(s.idleDelta) / 2;
        const std::string what = s.fields ? s.fields : "unreadable";
        EXPECT_EQ(monitor.update(), totalDelta) << what;
        EXPECT_EQ(monitor.m_cpuPercent, s.busy) << what;
        EXPECT_EQ(monitor.m_lastTotalDelta, totalDelta) << what;
        const auto lines = sharedClient().linesWith(",CpuUsageMonitor,update,");
        ASSERT_EQ(lines.size(), 2u) << what;
        EXPECT_EQ(textAfter(lines[0], "CpuUsageMonitor,update"),
                  "totalTicks=" + std::to_string(totalDelta) + " idleTicks=" + std::to_string(idleDelta) +
                      " m_cpuCount=" + std::to_string(hardwareThreadCount()) + " \n")
            << what;
        EXPECT_EQ(textAfter(lines[1], "CpuUsageMonitor,update"), "CPU is " + std::to_string(s.busy) + "\n") << what;
        for (const std::string& line : lines) EXPECT_FALSE(hasSubSecondDigits(line)) << line;
    }
}

TEST(CpuUsageMonitorStandinTest, ACounterThatCouldNotBeAddedLogsTheInvalidHandle) {
    sharedClient();
    const struct {
        const char* what;
        bool statReadable;
        const char* simulative;
    } cases[] = {
        {"/proc/stat unreadable when the monitor was made", false, "0"},
        {"made in simulated mode", true, "1"},
    };
    for (const auto& c : cases) {
        FixtureProc proc;
        if (c.statReadable) proc.stat("1 2 3 4 5 6 7 8 9 10", 1);
        CpuUsageMonitor* monitor;
        {
            TweakScope mode("t_simulativeCpuUsage", c.simulative);
            monitor = new CpuUsageMonitor();
        }
        EXPECT_EQ(monitor->m_counter, nullptr) << c.what;
        proc.stat("1 2 3 4 5 6 7 8 9 10", 1);
        sharedClient().clear();
        EXPECT_EQ(monitor->update(), 0) << c.what;
        const auto lines = sharedClient().linesWith(",CpuUsageMonitor,update,");
        ASSERT_EQ(lines.size(), 1u) << c.what;
        EXPECT_NE(lines[0].find(",Error,"), std::string::npos) << lines[0];
        EXPECT_EQ(textAfter(lines[0], "CpuUsageMonitor,update"),
                  "PdhGetRawCounterValue returned error  sts=" + std::to_string(PDH_INVALID_HANDLE) + " \n")
            << c.what;
        EXPECT_EQ(std::to_string(PDH_INVALID_HANDLE), "-1073738820");
        delete monitor;
    }
}

TEST(PdhStandinTest, OnlyTheIdleTimeCounterOfTheLocalMachine) {
    FixtureProc proc;
    proc.stat("10 0 10 60 20 0 0 0 0 0", 4);
    PDH_HQUERY query = nullptr;
    EXPECT_EQ(PdhOpenQueryA("\\\\other", 0, &query), PDH_INVALID_ARGUMENT);
    ASSERT_EQ(PdhOpenQueryA(nullptr, 0, &query), ERROR_SUCCESS);
    PDH_HCOUNTER counter = nullptr;
    EXPECT_EQ(PdhAddCounterA(query, "\\Processor(_Total)\\% Processor Time", 0, &counter), PDH_CSTATUS_NO_COUNTER);
    EXPECT_EQ(counter, nullptr);
    EXPECT_EQ(PdhCollectQueryData(query), PDH_NO_DATA);  // a query without counters
    EXPECT_EQ(PdhAddCounterA(nullptr, "\\Processor(_Total)\\% Idle Time", 0, &counter), PDH_INVALID_HANDLE);
    ASSERT_EQ(PdhAddCounterA(query, "\\processor(_total)\\% idle time", 0, &counter), ERROR_SUCCESS);

    DWORD type = 0;
    PDH_RAW_COUNTER raw;
    ASSERT_EQ(PdhGetRawCounterValue(counter, &type, &raw), ERROR_SUCCESS);
    EXPECT_EQ(raw.CStatus, static_cast<DWORD>(PDH_CSTATUS_INVALID_DATA));  // nothing collected yet
    ASSERT_EQ(PdhCollectQueryData(query), ERROR_SUCCESS);
    ASSERT_EQ(PdhGetRawCounterValue(counter, &type, &raw), ERROR_SUCCESS);
    EXPECT_EQ(type, PERF_100NSEC_TIMER_INV);
    EXPECT_EQ(raw.CStatus, PDH_CSTATUS_VALID_DATA);
    EXPECT_EQ(raw.FirstValue, hundredNs(80) / 4);
    EXPECT_EQ(raw.SecondValue, hundredNs(100) / 4);

    for (PDH_HCOUNTER bad : {static_cast<PDH_HCOUNTER>(nullptr), static_cast<PDH_HCOUNTER>(query)}) {
        EXPECT_EQ(PdhGetRawCounterValue(bad, &type, &raw), PDH_INVALID_HANDLE);
    }
    EXPECT_EQ(PdhCollectQueryData(nullptr), PDH_INVALID_HANDLE);
    EXPECT_EQ(PdhCloseQuery(query), ERROR_SUCCESS);
    EXPECT_EQ(PdhGetRawCounterValue(counter, &type, &raw), PDH_INVALID_HANDLE);
    EXPECT_EQ(PdhCloseQuery(query), PDH_INVALID_HANDLE);
}

TEST(ProcessCountersStandinTest, HandlesOfThisProcessAndItsThreadsOnly) {
    SetLastError(0);
    EXPECT_EQ(OpenThread(THREAD_QUERY_INFORMATION, FALSE, 4000000001u), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, GetCurrentProcessId() + 1000000), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, GetCurrentProcessId());
    ASSERT_NE(process, nullptr);
    PROCESS_MEMORY_COUNTERS counters;
    EXPECT_FALSE(GetProcessMemoryInfo(process, &counters, sizeof(counters) - 1));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    FILETIME times[4];
    EXPECT_FALSE(GetThreadTimes(process, &times[0], &times[1], &times[2], &times[3]));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_TRUE(CloseHandle(process));
    EXPECT_FALSE(GetProcessMemoryInfo(process, &counters, sizeof(counters)));

    // A thread that ended between the open and the query.
    std::promise<u32> id;
    std::promise<void> end;
    std::thread ended([&] {
        id.set_value(GetCurrentThreadId());
        end.get_future().wait();
    });
    const u32 tid = id.get_future().get();
    HANDLE thread = OpenThread(THREAD_QUERY_INFORMATION, FALSE, tid);
    ASSERT_NE(thread, nullptr);
    EXPECT_TRUE(GetThreadTimes(thread, &times[0], &times[1], &times[2], &times[3]));
    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_TIMEOUT);
    end.set_value();
    ended.join();
    ASSERT_TRUE(waitUntil([&] { return !fs::exists("/proc/self/task/" + std::to_string(tid)); }, 5000));
    EXPECT_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
    EXPECT_FALSE(GetThreadTimes(thread, &times[0], &times[1], &times[2], &times[3]));
    EXPECT_TRUE(CloseHandle(thread));
}

TEST(MemWatcherStandinTest, MemoryReportFromTheStatusFile) {
    sharedClient();
    FixtureProc proc;
    const std::string status =
        "Name:\tmem_watcher\nVmPeak:\t  40000 kB\nVmSize:\t  30000 kB\nVmHWM:\t    2000 kB\nVmRSS:\t    1500 kB\n"
        "VmData:\t   12000 kB\n";
    const struct {
        const char* what;
        std::string text;  // empty: no file
        const char* expected;  // null: nothing logged
    } cases[] = {
        {"all counters", status,
         "memory information: PWSS=2048000 WSS=1536000 QPPPU=0 QPU=0 QPNPPU=0 QNPPU=0 PFU=12288000 PPFileU=40960000\n"},
        {"no status file", "", nullptr},
        {"no VmHWM", "VmPeak:\t 1 kB\nVmRSS:\t 1 kB\nVmData:\t 1 kB\n", nullptr},
    };
    for (const auto& c : cases) {
        if (c.text.empty()) {
            proc.removeStatus();
        } else {
            proc.status(c.text);
        }
        sharedClient().clear();
        MemWatcher::instance()->printMem();
        const auto lines = sharedClient().linesWith(",MemWatcher,printMem,");
        if (!c.expected) {
            EXPECT_TRUE(lines.empty()) << c.what;
            EXPECT_TRUE(sharedClient().linesWith(",MemWatcher,").empty()) << c.what;
            continue;
        }
        ASSERT_EQ(lines.size(), 1u) << c.what;
        EXPECT_EQ(textAfter(lines[0], "MemWatcher,printMem"), c.expected);
        EXPECT_FALSE(hasSubSecondDigits(lines[0])) << lines[0];
    }
}

namespace {

// kB of a "Name:" line of /proc/self/status.
long long statusKb(const std::string& name) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, name.size() + 1, name + ":") == 0) return std::atoll(line.c_str() + name.size() + 1);
    }
    return -1;
}

// The number after `key` in `text`.
long long valueAfter(const std::string& text, const std::string& key) {
    const size_t at = text.find(key);
    return at == std::string::npos ? -1 : std::atoll(text.c_str() + at + key.size());
}

}  // namespace

TEST(MemWatcherStandinTest, MemoryReportAgreesWithTheProcessStatus) {
    sharedClient();
    const long long hwmBefore = statusKb("VmHWM") * 1024;
    const long long rssBefore = statusKb("VmRSS") * 1024;
    sharedClient().clear();
    MemWatcher::instance()->printMem();
    const long long hwmAfter = statusKb("VmHWM") * 1024;
    const long long rssAfter = statusKb("VmRSS") * 1024;
    const long long peakAfter = statusKb("VmPeak") * 1024;
    const auto lines = sharedClient().linesWith(",MemWatcher,printMem,");
    ASSERT_EQ(lines.size(), 1u);
    const std::string text = textAfter(lines[0], "MemWatcher,printMem");
    EXPECT_GE(valueAfter(text, "PWSS="), hwmBefore) << text;
    EXPECT_LE(valueAfter(text, "PWSS="), hwmAfter) << text;
    const long long slack = 4 << 20;  // the resident set moves while the line is made
    EXPECT_GE(valueAfter(text, "WSS="), std::min(rssBefore, rssAfter) - slack) << text;
    EXPECT_LE(valueAfter(text, "WSS="), std::max(rssBefore, rssAfter) + slack) << text;
    EXPECT_NE(text.find(" QPPPU=0 QPU=0 QPNPPU=0 QNPPU=0 PFU="), std::string::npos) << text;
    EXPECT_GT(valueAfter(text, "PFU="), 0) << text;
    EXPECT_LE(valueAfter(text, "PPFileU="), peakAfter) << text;
    EXPECT_GE(valueAfter(text, "PPFileU="), valueAfter(text, "PFU=")) << text;
}

TEST(MemWatcherStandinDeathTest, AProcessThatCannotBeOpenedEndsTheProcess) {
    EXPECT_EXIT(
        {
            endChildAfter(30, kChildHung);
            platform_test::failNextOpenProcess();
            MemWatcher::instance()->printMem();
            std::_Exit(1);
        },
        ::testing::ExitedWithCode(kFatalStopExitCode), "Assertion \\(NULL != hProcess\\) failed");
}

namespace {
// Ends the process with 0 when the report lists the shares highest first; prints the report's last line.
[[noreturn]] void reportSharesAndExit() {
    MemWatcher* watcher = MemWatcher::instance();  // its machine counter made on the real /proc
    sharedClient();
    FixtureProc proc;
    // Ascending ids hold neither ascending nor descending shares; the last one did not run.
    const struct {
        u32 id;
        i64 userTicks;
    } threads[] = {{4200001, 250}, {4200002, 100}, {4200003, 500}, {4200004, 0}};
    proc.stat("0 0 0 1000 0 0 0 0 0 0", 1);
    for (const auto& t : threads) {
        proc.task(t.id, 1000, 0);
        watcher->AddThread(t.id);
    }
    watcher->printCpu();  // the first samples of the machine and of each thread
    proc.stat("400 0 0 1600 0 0 0 0 0 0", 1);  // 1000 ticks
    for (const auto& t : threads) proc.task(t.id, 1000 + t.userTicks, 0);
    sharedClient().clear();
    watcher->printCpu();
    const auto lines = sharedClient().linesWith(",MemWatcher,printCpu,total=");
    const std::string shares = lines.size() == 1 ? textAfter(lines[0], "MemWatcher,printCpu") : "";
    std::fprintf(stderr, "%s", shares.c_str());
    std::_Exit(shares == "total=85 cpu(perc)4200003=50% 4200001=25% 4200002=10% \n" ? 0 : 1);
}
}  // namespace

// In a process of its own: a watcher first made while another test's fixture hid /proc/stat has no machine counter.
TEST(MemWatcherStandinDeathTest, CpuReportListsTheSharesHighestFirst) {
    EXPECT_EXIT(reportSharesAndExit(), ::testing::ExitedWithCode(0), "");
}
