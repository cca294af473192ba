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

// The bytes are counted under the lock and taken from the allocator after it is released: a failing allocator
// check logs, and the line's copy comes back here.
s8* HeapMemoryAllocationTracker::take(u32 length) {
    try {
        return trackedArrayNew<s8>(length, "s8", __FILE__, __LINE__);
    } catch (...) {
        ScopedLock lock(&m_lock);
        m_usedBytes -= length;
        throw;
    }
}

s8* HeapMemoryAllocationTracker::allocate(u32 length) {
    if (length == 0) return nullptr;
    {
        ScopedLock lock(&m_lock);
        m_usedBytes += length;
    }
    return take(length);
}

s8* HeapMemoryAllocationTracker::allocateWithinBudget(u32 length, bool& pausedByThisCall) {
    pausedByThisCall = false;
    {
        ScopedLock lock(&m_lock);
        if (m_paused) return nullptr;
        if (static_cast<u64>(m_usedBytes) + length > m_limitBytes) {
            m_paused = true;
            pausedByThisCall = true;
            return nullptr;
        }
        if (length == 0) return nullptr;
        m_usedBytes += length;
    }
    return take(length);
}

void HeapMemoryAllocationTracker::free(s8* p, u64 lengthBytes) {
    u32 usedBytesBeforeFree;
    {
        ScopedLock lock(&m_lock);
        usedBytesBeforeFree = m_usedBytes;
        m_usedBytes -= static_cast<u32>(lengthBytes);
        if (m_paused && m_usedBytes <= m_lowMarkBytes) m_paused = false;
    }
    // After the bookkeeping, outside the lock: a failing check here logs through this tracker.
    trackedArrayFree(p, __FILE__, __LINE__);
    ASSERT_MSG(Assert, usedBytesBeforeFree >= (u32)lengthBytes,
               "<" << m_name << "> " << "trying to free more than allocated" << " usedBytesBeforeFree="
                   << usedBytesBeforeFree << " " << " lengthBytes=" << lengthBytes << " ");
}

u32 HeapMemoryAllocationTracker::usedBytes() {
    ScopedLock lock(&m_lock);
    return m_usedBytes;
}

bool HeapMemoryAllocationTracker::paused() {
    ScopedLock lock(&m_lock);
    return m_paused;
}
