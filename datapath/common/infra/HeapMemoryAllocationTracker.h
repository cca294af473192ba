#pragma once
#include "Mutex.h"
#include "Types.h"

#include <atomic>
#include <string>

// A byte budget with hysteresis: a budgeted request that does not fit pauses the tracker, and every budgeted
// request is refused until the bytes in use fall to the low mark.
class HeapMemoryAllocationTracker {
public:
    HeapMemoryAllocationTracker(u32 limitBytes, u32 lowMarkBytes, const std::atomic<bool>& trackingDisabled,
                                const std::string& name);

    // Takes `length` bytes without the budget check; null for 0.
    s8* allocate(u32 length);
    // Takes `length` bytes while the budget allows; `pausedByThisCall` is set only on the call that paused.
    s8* allocateWithinBudget(u32 length, bool& pausedByThisCall);
    void free(s8* p, u64 lengthBytes);

    bool trackingDisabled() const { return m_trackingDisabled->load(std::memory_order_relaxed); }
    u32 usedBytes();
    bool paused();
    u32 limitBytes() const { return m_limitBytes; }
    u32 lowMarkBytes() const { return m_lowMarkBytes; }

    // The low mark for a percentage of the limit, never above the limit.
    static u32 lowMarkFor(u32 limitBytes, u32 percent);

private:
    s8* take(u32 length);

    u32 m_usedBytes = 0;
    Mutex m_lock;
    bool m_paused = false;
    const u32 m_limitBytes;
    const u32 m_lowMarkBytes;
    const std::atomic<bool>* m_trackingDisabled;
    const std::string m_name;
};
