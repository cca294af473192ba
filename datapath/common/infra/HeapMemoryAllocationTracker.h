#pragma once
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

    // The bookkeeping of allocate and allocateWithinBudget alone, for a caller that has the memory at hand:
    // true when the bytes are counted (never for 0).
    bool reserve(u32 length);
    bool reserveWithinBudget(u32 length, bool& pausedByThisCall);
    // The bookkeeping of free alone, for the bytes of one or more copies at once.
    void giveBack(u64 lengthBytes);
    // Takes back a reservation whose memory could not be had.
    void cancel(u32 length);
    // The tracked copy for `length` bytes already reserved; on failure the reservation is taken back.
    s8* takeReserved(u32 length);

    bool trackingDisabled() const { return m_trackingDisabled->load(std::memory_order_relaxed); }
    u32 usedBytes() const { return static_cast<u32>(m_state.load()); }
    bool paused() const { return (m_state.load() & kPaused) != 0; }
    u32 limitBytes() const { return m_limitBytes; }
    u32 lowMarkBytes() const { return m_lowMarkBytes; }

    // The low mark for a percentage of the limit, never above the limit.
    static u32 lowMarkFor(u32 limitBytes, u32 percent);

private:
    static constexpr u64 kPaused = u64(1) << 32;

    // Subtracts from the bytes in use, ends the pause at the low mark; returns the bytes in use before.
    u32 settle(u64 lengthBytes);
    void checkOverFree(u32 usedBytesBeforeFree, u64 lengthBytes);

    // The bytes in use (low 32 bits, all sums and differences in 32 bits) and the pause, in one word: every
    // producer and the writer change them together without a lock.
    std::atomic<u64> m_state{0};
    const u32 m_limitBytes;
    const u32 m_lowMarkBytes;
    const std::atomic<bool>* m_trackingDisabled;
    const std::string m_name;
};
