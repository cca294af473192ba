#include "RateMonitor.h"

#include "Logger.h"
#include "Timer.h"

#include <iomanip>
#include <sstream>

namespace {

constexpr u64 kNotComputable = 0xFFFFFFFF;

// Tasks per second, in 64 bits: the product passes 32 bits from 4295 tasks.
u32 perSecond(u32 count, u64 time) {
    if (time == 0) return static_cast<u32>(kNotComputable);
    const u64 rate = static_cast<u64>(count) * 1000000 / time;
    return static_cast<u32>(rate > kNotComputable ? kNotComputable : rate);
}

u64 nowUs() { return static_cast<u64>(Timer::instance()->getMicroseconds()); }

}  // namespace

RateMonitor::RateMonitor(const std::string& name, u32 submittedThreshold, u64 busyTimeThreshold,
                         u32 completedThreshold, u64 timeDivisor, bool keepWindow, u64 windowStart)
    : m_name(name),
      m_submittedThreshold(submittedThreshold),
      m_busyTimeThreshold(busyTimeThreshold),
      m_completedThreshold(completedThreshold),
      m_windowStart(windowStart),
      m_timeDivisor(timeDivisor == 0 ? 1 : timeDivisor),
      m_keepWindow(keepWindow) {}

RateMonitor::~RateMonitor() {
    ASSERT_MSG(Assert, m_currentActiveTasks == 0,
               " m_name=" << m_name << " " << " m_currentActiveTasks=" << m_currentActiveTasks << " ");
}

void RateMonitor::incActiveTasksLocked(int c) {
    ASSERT_MSG(Assert, c == 1 || c == -1, " c=" << c << " " << " m_name=" << m_name << " ");
    if (c != 1 && c != -1) return;
    if (c == -1) {
        ASSERT_MSG(Assert, m_currentActiveTasks > 0, " m_name=" << m_name << " ");
        if (m_currentActiveTasks == 0) return;
    }
    const u64 now = nowUs();
    if (m_currentActiveTasks == 0) {
        m_busyStart = now;
        if (m_idleStart != 0) m_idleTime += now - m_idleStart;
    }
    if (m_lastChange != 0) m_concurrencyIntegral += (now - m_lastChange) * m_currentActiveTasks;
    m_lastChange = now;
    m_currentActiveTasks += c;
    if (m_maxConcurrency < m_currentActiveTasks) m_maxConcurrency = m_currentActiveTasks;
    if (m_minConcurrency > m_currentActiveTasks) m_minConcurrency = m_currentActiveTasks;
    if (m_currentActiveTasks == 0) {
        m_idleStart = now;
        m_busyTime += now - m_busyStart;
    }
}

void RateMonitor::taskDone(u64 now, u64 elapsed) {
    incActiveTasksLocked(-1);
    ++m_completedTasks;
    m_elapsedSum += elapsed;
    m_lastTaskDone = now;
    if (m_maxElapsed < elapsed) m_maxElapsed = elapsed;

    const bool busyEnough = m_busyTime > m_busyTimeThreshold || m_submittedTasks > m_submittedThreshold;
    if (!busyEnough || m_completedTasks < m_completedThreshold) return;

    if (m_currentActiveTasks > 0) {
        m_busyTime += now - m_busyStart;
        m_busyStart = now;
    }
    const u64 busy = m_busyTime;
    const u64 wall = now - m_windowStart;
    m_rate = perSecond(m_submittedTasks, busy);
    m_networkRate = perSecond(m_networkTasks, busy);
    m_bwRate = perSecond(m_submittedTasks, wall);
    m_networkBwRate = perSecond(m_networkTasks, wall);

    m_windowTime = m_idleTime + busy;
    m_avgConcurrency = static_cast<float>(m_concurrencyIntegral) / static_cast<float>(m_windowTime);
    m_busyConcurrency = static_cast<float>(m_concurrencyIntegral) / static_cast<float>(busy);

    if (!m_name.empty()) update();

    if (m_keepWindow) return;
    m_idleTime = 0;
    m_elapsedSum = 0;
    m_submittedTasks = 0;
    m_networkTasks = 0;
    m_taskIntervalStart = 0;
    m_busyTime = 0;
    m_maxElapsed = 0;
    m_completedTasks = 0;
    m_maxConcurrency = m_currentActiveTasks;
    m_minConcurrency = m_currentActiveTasks;
    m_windowStart = nowUs();
    m_concurrencyIntegral = 0;
}

void RateMonitor::update() {
    const u64 d = m_timeDivisor;
    std::ostringstream text;
    text << m_name << " time=" << m_windowTime / d << " (" << m_busyTime / d << ") rate=" << m_rate;
    if (m_networkRate != 0) text << " (network=" << m_networkRate << ")";
    if (m_completedTasks != 0) {
        text << " latency=[Avg: " << m_elapsedSum / m_completedTasks / d << " Max: " << m_maxElapsed / d << "]";
    }
    text << "<bw=" << m_bwRate;
    if (m_networkBwRate != 0) text << " (nwBw=" << m_networkBwRate << ")";
    text << ">";
    if (m_maxConcurrency > 1) {
        text << " concurrency=[Min:" << m_minConcurrency << " Avg:" << std::fixed << std::setprecision(1)
             << m_avgConcurrency << "(" << m_busyConcurrency << ")" << " Max:" << m_maxConcurrency << "]";
    }
    LOG(Info) << text.str() << std::endl;
}
