#pragma once
#include "Future.h"
#include "CountedWatchedContainer.h"
#include "Mutex.h"
#include "Singleton.h"
#include "Types.h"

#include <windows.h>

#include <atomic>
#include <ctime>
#include <map>
#include <ostream>
#include <string>

// A timer's callback; it runs on the tick thread.
using TimerCallback = void (*)(void* context);

// The process clock.
class ITimer {
public:
    // Records the processor count and starts the tick thread that runs the timers.
    virtual void start() = 0;
    // The steady clock.
    virtual i64 getNanoseconds() = 0;
    virtual i64 getMicroseconds() = 0;
    // Milliseconds of the performance counter; never goes backwards.
    virtual i64 getTimestamp() = 0;
    // Wall-clock milliseconds since 1970-01-01 UTC.
    virtual i64 getEpochMs() = 0;
    // The last getTimestamp value. Unless noRefresh, it is read anew when more than a second of tick count has
    // passed since the last refresh.
    virtual i64 getLastTimestampMs_Inaccurate(bool noRefresh) = 0;
    // A timer due every periodMs (once, when oneShot) from now; returns its handle.
    virtual u32 addTimer(TimerCallback callback, void* context, u32 periodMs, bool oneShot) = 0;
    virtual u64 getThreadCycles() = 0;
    // CPU time of the process per processor, in microseconds; 0 before start.
    virtual u64 getProcessCpuTime() = 0;
    virtual i64 setReference(i64 offsetMs) = 0;
    virtual i64 sinceReference() = 0;
    virtual u32 getTimeIn10Ms();
    // "YYYY-MM-DDThh:mm:ssZ" into year (since 1900), month (0-11), day, hour, minute and second.
    virtual bool parseTimestamp(const std::string& text, struct tm* out) = 0;

protected:
    ~ITimer() = default;
};

class Timer : public ITimer, public Singleton<ITimer, Timer> {
public:
    Timer() = default;
    virtual ~Timer() = default;

    void start() override;
    i64 getNanoseconds() override;
    i64 getMicroseconds() override;
    i64 getTimestamp() override;
    i64 getEpochMs() override;
    i64 getLastTimestampMs_Inaccurate(bool noRefresh) override;
    u32 addTimer(TimerCallback callback, void* context, u32 periodMs, bool oneShot) override;
    u64 getThreadCycles() override;
    u64 getProcessCpuTime() override;
    i64 setReference(i64 offsetMs) override;
    i64 sinceReference() override;
    bool parseTimestamp(const std::string& text, struct tm* out) override;

    // UTC wall-clock text of the log lines: "YYYY-MM-DD hh:mm:ss" and, for digits 1 to 3, "." and that many
    // sub-second digits. The stream's fill is left at '0'.
    static void printTime(std::ostream& os, int digits);
    // The text printTime writes, into `out` (kTimeTextBytes at least); 0 when only the stream form can write it.
    static constexpr size_t kTimeTextBytes = 32;
    static size_t formatTime(char* out, int digits);

private:
    // Any thread reads and writes these; a reader accepts a slightly stale value.
    std::atomic<i64> m_lastTimestampMs{0};
    std::atomic<i64> m_referenceMs{0};
    std::atomic<u32> m_processorCount{0};
    std::atomic<u64> m_lastTickCount{0};
};

// The performance counter, kept from running backwards, and the timers that the tick thread runs.
class WindowsTimer : public Singleton<WindowsTimer> {
public:
    struct WindowsTimerInfo {
        u64 m_dueMs = 0;      // on the getTimestamp scale
        u64 m_periodMs = 0;   // 0 for a one-shot timer
        TimerCallback m_callback = nullptr;
        void* m_context = nullptr;
        bool m_cancelled = false;
        FutureInternal::Future<RcStatus> m_future;  // set when a cancelled timer is dropped
    };

    // Readings more than this many ticks before the last one end the process.
    static constexpr i64 MINIMUM_ACCEPTABLE_TICKS_DIFF = 100;

    WindowsTimer();
    virtual ~WindowsTimer() = default;

    // The counter, never below an earlier reading.
    void getPerformanceCounter(u64* out);
    u32 getTicksPerMs() const { return m_ticksPerMs; }

    u32 addTimer(TimerCallback callback, void* context, u32 periodMs, bool oneShot);
    // One pass of the tick thread: runs every timer that is due.
    void activateTimers();

    // Entry of the tick thread; the argument is the WindowsTimer. Never returns.
    static DWORD WINAPI threadEntry(LPVOID object);

private:
    [[noreturn]] void tickThread();

    bool m_suspended = false;
    u32 m_ticksPerMs = 0;
    Mutex m_timersLock;
    Mutex m_activationLock;
    CountedWatchedContainer<std::map<u32, WindowsTimerInfo>> m_timers;
    Mutex m_clockLock;
    u64 m_lastTimestamp = 0;
};
