#include "Timer.h"

#include "DeadLockChecker.h"
#include "Logger.h"

#include <cstdio>
#include <cstdlib>
#include <iomanip>

namespace {

constexpr i64 kEpochOffsetMs = 11644473600000LL;  // 1601-01-01 to 1970-01-01
constexpr u64 kRefreshIntervalMs = 1000;
constexpr DWORD kTickIntervalMs = 100;
constexpr u64 kSlowCallbackMs = 2000;

// Handles of the timers, process-wide; the first one is 1001. Taken under the timers' lock.
u32 g_timerHandleCounter = 1000;

u64 fileTimeValue(const FILETIME& ft) { return (static_cast<u64>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime; }

}  // namespace

u32 ITimer::getTimeIn10Ms() { return static_cast<u32>(static_cast<u64>(getTimestamp()) / 10); }

void Timer::start() {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    m_processorCount.store(info.dwNumberOfProcessors, std::memory_order_relaxed);
    HANDLE h = CreateThread(NULL, 0, &WindowsTimer::threadEntry, WindowsTimer::instance(), 0, NULL);
    ASSERT(h != NULL);
    SetThreadPriority(h, THREAD_PRIORITY_TIME_CRITICAL);
    CloseHandle(h);
}

i64 Timer::getNanoseconds() {
    LARGE_INTEGER counter;
    LARGE_INTEGER frequency;
    QueryPerformanceCounter(&counter);
    const BOOL bSuccess = QueryPerformanceFrequency(&frequency);
    ASSERT(bSuccess);
    const i64 c = counter.QuadPart;
    const i64 f = frequency.QuadPart;
    if (f == 10000000) return c * 100;
    // Whole seconds and the rest apart, so that large counter values do not overflow; the rest times 10^9 is
    // taken in 128 bits, as it passes 64 bits for a counter faster than about 9.2 GHz.
    return (c / f) * 1000000000 + static_cast<i64>((static_cast<__int128>(c % f) * 1000000000) / f);
}

i64 Timer::getMicroseconds() { return getNanoseconds() / 1000; }

i64 Timer::getTimestamp() {
    WindowsTimer* windowsTimer = WindowsTimer::instance();
    u64 counter;
    windowsTimer->getPerformanceCounter(&counter);
    const i64 ms = static_cast<i64>(counter) / static_cast<i64>(windowsTimer->getTicksPerMs());
    m_lastTimestampMs.store(ms, std::memory_order_relaxed);
    return ms;
}

i64 Timer::getEpochMs() {
    WindowsTimer::instance();
    SYSTEMTIME st;
    GetSystemTime(&st);
    FILETIME ft{};  // stays 0 should the conversion fail
    SystemTimeToFileTime(&st, &ft);
    return static_cast<i64>(fileTimeValue(ft)) / 10000 - kEpochOffsetMs;
}

i64 Timer::getLastTimestampMs_Inaccurate(bool noRefresh) {
    WindowsTimer::instance();
    const u64 tickCount = GetTickCount64();
    if (!noRefresh && tickCount > m_lastTickCount.load(std::memory_order_relaxed) + kRefreshIntervalMs) {
        m_lastTickCount.store(tickCount, std::memory_order_relaxed);
        getTimestamp();
    }
    return m_lastTimestampMs.load(std::memory_order_relaxed);
}

u32 Timer::addTimer(TimerCallback callback, void* context, u32 periodMs, bool oneShot) {
    return WindowsTimer::instance()->addTimer(callback, context, periodMs, oneShot);
}

u64 Timer::getThreadCycles() {
    ULONG64 cycles = 0;
    if (!QueryThreadCycleTime(GetCurrentThread(), &cycles)) return 0;
    return cycles;
}

u64 Timer::getProcessCpuTime() {
    const u64 processors = m_processorCount.load(std::memory_order_relaxed);
    if (processors == 0) return 0;  // start has not counted the processors yet
    FILETIME creation, exit, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &creation, &exit, &kernel, &user)) return 0;
    return (fileTimeValue(kernel) + fileTimeValue(user)) / (processors * 10);
}

i64 Timer::setReference(i64 offsetMs) {
    const i64 reference = getTimestamp() - offsetMs;
    m_referenceMs.store(reference, std::memory_order_relaxed);
    return reference;
}

i64 Timer::sinceReference() { return getTimestamp() - m_referenceMs.load(std::memory_order_relaxed); }

bool Timer::parseTimestamp(const std::string& text, struct tm* out) {
    unsigned year, month, day, hour, minute, second;
    if (std::sscanf(text.c_str(), "%04u-%02u-%02uT%02u:%02u:%02uZ", &year, &month, &day, &hour, &minute, &second) !=
        6) {
        std::printf("failed to scan\n");
        return false;
    }
    *out = tm{};
    out->tm_year = static_cast<int>(year) - 1900;
    out->tm_mon = static_cast<int>(month) - 1;
    out->tm_mday = static_cast<int>(day);
    out->tm_hour = static_cast<int>(hour);
    out->tm_min = static_cast<int>(minute);
    out->tm_sec = static_cast<int>(second);
    return true;
}

namespace {

char* twoDigits(char* out, unsigned value) {
    out[0] = static_cast<char>('0' + value / 10 % 10);
    out[1] = static_cast<char>('0' + value % 10);
    return out + 2;
}

}  // namespace

size_t Timer::formatTime(char* out, int digits) {
    SYSTEMTIME st;
    GetSystemTime(&st);
    // The stream's own padding of the year is kept for years of other than four digits.
    if (st.wYear < 1000 || st.wYear > 9999) return 0;
    char* p = twoDigits(twoDigits(out, st.wYear / 100), st.wYear % 100);
    *p++ = '-';
    p = twoDigits(p, st.wMonth);
    *p++ = '-';
    p = twoDigits(p, st.wDay);
    *p++ = ' ';
    p = twoDigits(p, st.wHour);
    *p++ = ':';
    p = twoDigits(p, st.wMinute);
    *p++ = ':';
    p = twoDigits(p, st.wSecond);
    if (digits > 0) {
        // Milliseconds cut to the digits asked for, at least that many digits wide.
        static const unsigned kDivisors[] = {1, 100, 10, 1};
        const int d = digits > 3 ? 3 : digits;
        const unsigned value = st.wMilliseconds / kDivisors[d];
        char text[8];
        int n = 0;
        for (unsigned v = value; v != 0 || n == 0; v /= 10) text[n++] = static_cast<char>('0' + v % 10);
        *p++ = '.';
        for (int i = n; i < d; ++i) *p++ = '0';
        while (n > 0) *p++ = text[--n];
    }
    return static_cast<size_t>(p - out);
}

void Timer::printTime(std::ostream& os, int digits) {
    char text[kTimeTextBytes];
    const size_t length = formatTime(text, digits);
    if (length != 0) {
        os.write(text, static_cast<std::streamsize>(length));
        os.width(0);
        os.fill('0');  // as the stream form leaves it
        return;
    }
    SYSTEMTIME st;
    GetSystemTime(&st);
    os << std::setw(4) << st.wYear << "-" << std::setfill('0') << std::setw(2) << st.wMonth << "-" << std::setw(2)
       << st.wDay << " " << std::setw(2) << st.wHour << ":" << std::setw(2) << st.wMinute << ":" << std::setw(2)
       << st.wSecond;
    if (digits > 0) {
        static const int kDivisors[] = {1, 100, 10, 1};
        const int d = digits > 3 ? 3 : digits;
        os << "." << std::setw(d) << st.wMilliseconds / kDivisors[d];
    }
}

WindowsTimer::WindowsTimer() : m_timers("Timers") {
    LARGE_INTEGER freq;
    const BOOL bSuccess = QueryPerformanceFrequency(&freq);
    ASSERT(bSuccess);
    freq.QuadPart /= 1000;
    ASSERT(freq.HighPart == 0);
    m_ticksPerMs = freq.LowPart;
    // Below 1 kHz every millisecond reading would divide by zero.
    ASSERT(m_ticksPerMs > 0);
    LOG(Info) << " m_ticksPerMs=" << m_ticksPerMs << " " << std::endl;
}

void WindowsTimer::getPerformanceCounter(u64* out) {
    LARGE_INTEGER res;
    u64 last;
    i64 diff;
    {
        ScopedLock lock(&m_clockLock);
        const BOOL bSuccess = QueryPerformanceCounter(&res);
        ASSERT(bSuccess);
        last = m_lastTimestamp;
        diff = res.QuadPart - static_cast<i64>(last);
        if (last != 0 && diff < 0) {
            *out = last;
        } else {
            diff = 0;
            m_lastTimestamp = static_cast<u64>(res.QuadPart);
            *out = m_lastTimestamp;
        }
    }
    // Reported outside the lock: a log client that reads the clock must not find it taken.
    if (diff < 0) {
        LOG(Error) << "New timestamp is before last timestamp: " << " res.QuadPart=" << res.QuadPart << " " << " "
                   << " m_lastTimestamp=" << last << " " << " " << " diff=" << diff << " " << std::endl;
        ASSERT_MSG(Assert, diff >= -MINIMUM_ACCEPTABLE_TICKS_DIFF,
                   "New timestamp is more than " << MINIMUM_ACCEPTABLE_TICKS_DIFF << " ticks before last timestamp");
    }
}

u32 WindowsTimer::addTimer(TimerCallback callback, void* context, u32 periodMs, bool oneShot) {
    ScopedLock lock(&m_timersLock);
    u64 counter;
    getPerformanceCounter(&counter);
    const u64 now = counter / m_ticksPerMs;

    WindowsTimerInfo info;
    info.m_dueMs = now + periodMs;
    info.m_periodMs = oneShot ? 0 : periodMs;
    info.m_callback = callback;
    info.m_context = context;

    // No caller replaces a timer: the handle to replace is always 0, which is never handed out.
    const u32 oldHandle = 0;
    auto existing = m_timers.find(oldHandle);
    if (existing != m_timers.end()) {
        existing->second.m_cancelled = true;
        LOG(Info) << "replacing existing timer handle=" << oldHandle << std::endl;
    }
    const u32 handle = ++g_timerHandleCounter;
    m_timers.emplace(handle, info);
    m_timers.noteSize();
    LOG(Info) << "added timer old=" << oldHandle << " new=" << handle << std::endl;
    return handle;
}

void WindowsTimer::activateTimers() {
    ScopedLock activation(&m_activationLock);
    if (m_suspended) return;
    u64 counter;
    getPerformanceCounter(&counter);
    const u64 now = counter / m_ticksPerMs;

    // A plain map: the callbacks run without the timers' lock, and may add timers meanwhile.
    std::map<u32, WindowsTimerInfo> snapshot;
    {
        ScopedLock lock(&m_timersLock);
        snapshot = static_cast<const std::map<u32, WindowsTimerInfo>&>(m_timers);
    }

    for (const auto& [handle, entry] : snapshot) {
        if (!entry.m_cancelled) {
            if (!(entry.m_dueMs < now)) continue;
            u64 before, after;
            getPerformanceCounter(&before);
            entry.m_callback(entry.m_context);
            getPerformanceCounter(&after);
            if (after / m_ticksPerMs - before / m_ticksPerMs > kSlowCallbackMs) {
                LOG(Error) << "timer invocation took more than 1 seconds!" << std::endl;
            }
        }

        ScopedLock lock(&m_timersLock);
        u64 periodMs = entry.m_periodMs;
        auto live = m_timers.find(handle);
        if (live != m_timers.end() && live->second.m_cancelled) {
            live->second.m_future.set(RcStatus{});  // success: the timer is gone
            periodMs = 0;
        }
        if (periodMs != 0) {
            if (live != m_timers.end()) live->second.m_dueMs = now + periodMs;
        } else {
            m_timers.erase(handle);
            m_timers.noteSize();
        }
    }
}

DWORD WINAPI WindowsTimer::threadEntry(LPVOID object) { static_cast<WindowsTimer*>(object)->tickThread(); }

void WindowsTimer::tickThread() {
    // Watched while it runs the timers: a callback that blocks shows as "timer is stuck".
    DlcKeepalive lease("timer", nullptr);
    std::srand(static_cast<unsigned>(Timer::instance()->getTimestamp()));
    for (;;) {
        Sleep(kTickIntervalMs);
        activateTimers();
        lease.m_paused.store(true, std::memory_order_relaxed);
    }
}
