#include "CpuUsageMonitor.h"

#include "Logger.h"
#include "Tweaks.h"

#include <pdh.h>

#include <cstdlib>
#include <thread>

u32 hardwareThreadCount() {
    const unsigned count = std::thread::hardware_concurrency();
    return count == 0 ? 1 : count;
}

i64 ThreadCpuUsageMonitor::update() {
    HANDLE thread = OpenThread(THREAD_QUERY_INFORMATION, FALSE, m_threadId);
    if (thread == NULL) {
        LOG(Error) << "failed opening thread" << std::endl;
        return 0;
    }
    FILETIME creation, exit, kernel, user;
    const BOOL queried = GetThreadTimes(thread, &creation, &exit, &kernel, &user);
    CloseHandle(thread);
    if (!queried) {
        LOG(Error) << "failed getting thread times" << std::endl;
        return 0;
    }
    const i64 userTime = static_cast<i64>((static_cast<u64>(user.dwHighDateTime) << 32) | user.dwLowDateTime);
    const i64 result = m_lastUserTime < 0 ? 0 : userTime - m_lastUserTime;
    m_lastUserTime = userTime;
    return result;
}

CpuUsageMonitor::CpuUsageMonitor() {
    Tweaks* tweaks = Tweaks::instance();
    if (tweaks->longVal("t_simulativeCpuUsage", 0) != 0) {
        if (tweaks->longVal("t_randomCpuUsage", 0) != 0) {
            LOG(Info) << "Using simulative random CPU counters " << std::endl;
        } else {
            LOG(Info) << "Using simulative CPU counters " << std::endl;
        }
    } else {
        LOG(Info) << "Using real windows CPU counters " << std::endl;
        // Unchecked: a failure shows at the first update, which then reports 0 ticks.
        PDH_HQUERY query = NULL;
        PDH_HCOUNTER counter = NULL;
        PdhOpenQueryA(NULL, 0, &query);
        PdhAddCounterA(query, "\\Processor(_Total)\\% Idle Time", 0, &counter);
        PdhCollectQueryData(query);
        m_query = query;
        m_counter = counter;
    }
    // The constructor's sample is not kept: the first update counts from zero.
    m_cpuPercent = 0;
    m_lastTotalTicks = 0;
    m_lastIdleTicks = 0;
    m_lastTotalDelta = 0;
    m_cpuCount = hardwareThreadCount();
}

CpuUsageMonitor::~CpuUsageMonitor() {
    if (m_query != NULL) PdhCloseQuery(m_query);
}

i64 CpuUsageMonitor::update() {
    Tweaks* tweaks = Tweaks::instance();
    if (tweaks->longVal("t_simulativeCpuUsage", 0) != 0) {
        if (tweaks->longVal("t_randomCpuUsage", 0) != 0) return randomCpuGeneratorForTests();
        m_cpuPercent = 0;
        return 0;
    }
    // A monitor built in a simulated mode has no query: both calls then fail, and the read's status is logged.
    PdhCollectQueryData(m_query);
    DWORD type = 0;
    PDH_RAW_COUNTER raw;
    const PDH_STATUS status = PdhGetRawCounterValue(m_counter, &type, &raw);
    if (status != ERROR_SUCCESS) {
        LOG(Error) << "PdhGetRawCounterValue returned error " << " sts=" << status << " " << std::endl;
        return 0;
    }
    const i64 idle = raw.FirstValue;
    const i64 total = raw.SecondValue;
    const i64 totalDelta = total - m_lastTotalTicks;
    const i64 idleDelta = idle - m_lastIdleTicks;
    const i64 busy = totalDelta > 0 ? ((totalDelta - idleDelta) * 100) / totalDelta : 0;
    m_cpuPercent = busy;
    m_lastTotalTicks = total;
    m_lastIdleTicks = idle;
    m_lastTotalDelta = totalDelta;
    LOG_D(Info, 0) << "totalTicks=" << totalDelta << " idleTicks=" << idleDelta << " m_cpuCount=" << m_cpuCount << " "
                   << std::endl;
    LOG_D(Info, 0) << "CPU is " << busy << std::endl;
    return totalDelta;
}

int CpuUsageMonitor::randomCpuGeneratorForTests() {
    Tweaks* tweaks = Tweaks::instance();
    const i32 highCpuUsageProbabilityPercent = tweaks->intVal("t_highCpuUsageProbabilityPercent", 0);
    const i32 midCpuUsageProbabilityPercent = tweaks->intVal("t_midCpuUsageProbabilityPercent", 0);
    const i32 lowCpuUsageProbabilityPercent = tweaks->intVal("t_lowCpuUsageProbabilityPercent", 0);
    const i32 keepPrevCpuUsageProbabilityPercent = tweaks->intVal("t_keepPrevCpuUsageProbabilityPercent", 0);
    ASSERT_MSG(Assert,
               highCpuUsageProbabilityPercent + lowCpuUsageProbabilityPercent + keepPrevCpuUsageProbabilityPercent +
                       midCpuUsageProbabilityPercent ==
                   100,
               " highCpuUsageProbabilityPercent=" << highCpuUsageProbabilityPercent << " "
                                                  << " midCpuUsageProbabilityPercent=" << midCpuUsageProbabilityPercent
                                                  << " " << " lowCpuUsageProbabilityPercent="
                                                  << lowCpuUsageProbabilityPercent << " "
                                                  << " keepPrevCpuUsageProbabilityPercent="
                                                  << keepPrevCpuUsageProbabilityPercent << " ");
    const u32 threshold = tweaks->uintVal("t_TeskCompressionHighCpuThreshold", 90);
    const i32 r = std::rand() % 100;
    const i32 keep = keepPrevCpuUsageProbabilityPercent;
    const i32 low = keep + lowCpuUsageProbabilityPercent;
    const i32 mid = low + midCpuUsageProbabilityPercent;
    if (r < keep) {
        // the previous share stays
    } else if (r < low) {
        m_cpuPercent = 0;
    } else if (r < mid) {
        // Just below the threshold; a threshold of 0 has nothing below it.
        m_cpuPercent = threshold == 0 ? 0 : threshold - 1;
    } else {
        m_cpuPercent = 100;
    }
    LOG(Info) << "CPU is " << m_cpuPercent << std::endl;
    return 0;
}
