#include "HeapMemoryAllocationTracker.h"

#include "Logger.h"
#include "TrackedAllocation.h"

HeapMemoryAllocationTracker::HeapMemoryAllocationTracker(u32 limitBytes, u32 lowMarkBytes,
                                                         const std::atomic<bool>& trackingDisabled,
                                                         const std::string& name)
    : m_limitBytes(limitBytes), m_lowMarkBytes(lowMarkBytes), m_trackingDisabled(&trackingDisabled), m_name(name) {}

u32 HeapMemoryAllocationTracker::lowMarkFor(u32 limitBytes, u32 percent) {
    const double mark = percent / 100.0 * limitBytes;
    return mark >= limitBytes ? limitBytes : static_cast<u32>(mark);
}

bool HeapMemoryAllocationTracker::reserve(u32 length) {
    if (length == 0) return false;
    u64 state = m_state.load(std::memory_order_relaxed);
    while (!m_state.compare_exchange_weak(state, (state & kPaused) | static_cast<u32>(static_cast<u32>(state) + length),
                                          std::memory_order_relaxed)) {
    }
    return true;
}

bool HeapMemoryAllocationTracker::reserveWithinBudget(u32 length, bool& pausedByThisCall) {
    pausedByThisCall = false;
    u64 state = m_state.load(std::memory_order_relaxed);
    for (;;) {
        if (state & kPaused) return false;
        if (static_cast<u64>(static_cast<u32>(state)) + length > m_limitBytes) {
            if (m_state.compare_exchange_weak(state, state | kPaused, std::memory_order_relaxed)) {
                pausedByThisCall = true;
                return false;
            }
            continue;
        }
        if (length == 0) return false;
        // Within the limit, so the sum stays in the low 32 bits.
        if (m_state.compare_exchange_weak(state, state + length, std::memory_order_relaxed)) return true;
    }
}

void HeapMemoryAllocationTracker::cancel(u32 length) {
    u64 state = m_state.load(std::memory_order_relaxed);
    while (!m_state.compare_exchange_weak(state, (state & kPaused) | static_cast<u32>(static_cast<u32>(state) - length),
                                          std::memory_order_relaxed)) {
    }
}

// The bytes are counted first and taken from the allocator afterwards: a failing allocator check logs, and the
// line's copy comes back here.
s8* HeapMemoryAllocationTracker::takeReserved(u32 length) {
    try {
        return trackedArrayNew<s8>(length, "s8", __FILE__, __LINE__);
    } catch (...) {
        cancel(length);
        throw;
    }
}

s8* HeapMemoryAllocationTracker::allocate(u32 length) { return reserve(length) ? takeReserved(length) : nullptr; }

s8* HeapMemoryAllocationTracker::allocateWithinBudget(u32 length, bool& pausedByThisCall) {
    return reserveWithinBudget(length, pausedByThisCall) ? takeReserved(length) : nullptr;
}

u32 HeapMemoryAllocationTracker::settle(u64 lengthBytes) {
    u64 state = m_state.load(std::memory_order_relaxed);
    for (;;) {
        const u32 used = static_cast<u32>(static_cast<u32>(state) - static_cast<u32>(lengthBytes));
        const bool paused = (state & kPaused) && used > m_lowMarkBytes;
        if (m_state.compare_exchange_weak(state, (paused ? kPaused : 0) | used, std::memory_order_relaxed))
            return static_cast<u32>(state);
    }
}

void HeapMemoryAllocationTracker::checkOverFree(u32 usedBytesBeforeFree, u64 lengthBytes) {
    // After the bookkeeping: a failing check here logs through this tracker.
    ASSERT_MSG(Assert, usedBytesBeforeFree >= (u32)lengthBytes,
               "<" << m_name << "> " << "trying to free more than allocated" << " usedBytesBeforeFree="
                   << usedBytesBeforeFree << " " << " lengthBytes=" << lengthBytes << " ");
}

void HeapMemoryAllocationTracker::free(s8* p, u64 lengthBytes) {
    const u32 usedBytesBeforeFree = settle(lengthBytes);
    trackedArrayFree(p, __FILE__, __LINE__);
    checkOverFree(usedBytesBeforeFree, lengthBytes);
}

void HeapMemoryAllocationTracker::giveBack(u64 lengthBytes) { checkOverFree(settle(lengthBytes), lengthBytes); }
