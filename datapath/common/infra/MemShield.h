#pragma once
#include "CountedWatchedContainer.h"
#include "Logger.h"
#include "MemWatchedContainer.h"
#include "Mutex.h"
#include "Singleton.h"
#include "Types.h"

#include <atomic>
#include <limits>
#include <map>
#include <ostream>

// The largest registered block, margins included, is one byte less.
constexpr u64 MAX_SINGLE_ALLOCATION_LENGTH = 0x12C00000;

// The process-wide allocation guard and byte counter behind the tracked-allocation protocol (TrackedAllocation.h).
// Registered mode puts 0xFF margins around every block and keeps a record of each; count-only mode puts an 8-byte
// header {length, sanity word} before it. The mode and the margins are fixed when the guard is built.
class MemShield final : public Singleton<MemShield> {
public:
    struct AllocInfo {
        u64 m_size = 0;
        u64 m_arrayLength = 0;
        const char* m_class = nullptr;
        const char* m_file = nullptr;
        u32 m_line = 0;
        u64 m_allocTime = 0;
        u64 m_freeTime = 0;
    };
    using AllocationMap = std::map<void*, AllocInfo>;

    // Registered mode when true; set before the first tracked allocation of the run.
    static inline bool s_enabled = true;

    MemShield();

    virtual bool isEnabled() { return m_enabled; }

    u8* internalAllocAndRegister(u64 size, u64 arrayLength, const char* className, const char* file, u32 line);
    u8* internalAllocAndCountOnlyArray(u64 size, u64 numItems, const char* className, const char* file, u32 line);

    void freeAndCount(void* p) {
        u32* sanityPtr = static_cast<u32*>(p);
        ASSERT(*(--sanityPtr) == std::numeric_limits<u32>::max());
        release(sanityPtr - 1);
    }
    void freeAndCountArray(void* p) {
        u32* sanityPtr = static_cast<u32*>(p);
        ASSERT(*(--sanityPtr) < std::numeric_limits<u32>::max());
        release(sanityPtr - 1);
    }

    // Registered mode: ends the process with the report unless p is the start of a live registered block.
    void verifyPtr(void* p, const char* file, u32 line);
    // Registered mode: true when p points into a live registered block (for a pointer to a base subobject).
    bool isInsideLiveBlock(const void* p);
    void freeAndUnregister(void* p, const char* file, u32 line);
    virtual void free(void* p, const char* file, u32 line);

    // The full report and the end of the process.
    [[noreturn]] void memshieldError();
    void printAllocations();
    void printRecentlyFreed();
    // Caller holds m_mutex: a copy of the live records, for memShieldDump to log once the lock is released.
    AllocationMap memShieldDumpLocked();
    // Logs every live record; takes m_mutex only to copy them.
    void memShieldDump();

    u32 preMarginSize() const { return m_preMarginSize; }
    u32 postMarginSize() const { return m_postMarginSize; }

    // Bytes taken from the heap; the inline count-only path adds to it at the allocation site.
    std::atomic<u64> m_allocatedBytes{0};

private:
    // Everything a failure report prints, copied under m_mutex, so the report logs without holding it: each log
    // line that reaches a queued file client is itself a tracked allocation.
    struct Snapshot {
        u64 allocatedBytes = 0;
        AllocationMap allocations;
        AllocationMap recentlyFreed;
    };

    void release(u32* header) {
        m_allocatedBytes.fetch_sub(header[0], std::memory_order_relaxed);
        ::operator delete(header);
    }
    Snapshot snapshotLocked();
    [[noreturn]] void memshieldError(const Snapshot& snapshot);
    void printAllocations(const Snapshot& snapshot);
    void printRecentlyFreed(const Snapshot& snapshot);
    bool printCorruption(void* key, const AllocInfo& info, u64 offset, u64 marginLength, std::ostream& out,
                         const char* label);

    const bool m_enabled;
    // The memory report reads their sizes without m_mutex (a failure reports after releasing it).
    CountedWatchedContainer<AllocationMap> m_allocations;
    CountedWatchedContainer<AllocationMap> m_recentlyFreed;
    u32 m_preMarginSize = 16;
    u32 m_postMarginSize = 64;
    Mutex m_mutex;
    u32 m_allocationHistoryLengthMs = 0;
};
