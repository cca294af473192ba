#include "MemShield.h"

#include "ActiveObject.h"
#include "DeadLockChecker.h"
#include "DynamicTweaks.h"
#include "MemWatcher.h"
#include "MemoryHeap.h"
#include "MemoryPool.h"
#include "Timer.h"
#include "Tweaks.h"

#include <cstring>
#include <sstream>
#include <utility>

namespace {

u32 marginTweak(const char* name, i32 def) {
    const i32 value = Tweaks::instance()->intVal(name, def);
    return value < 0 ? 0 : static_cast<u32>(value);
}

u64 coarseNowMs() { return static_cast<u64>(Timer::instance()->getLastTimestampMs_Inaccurate(true)); }

}  // namespace

MemShield::MemShield()
    : m_enabled(s_enabled), m_allocations("MemShiledMap"), m_recentlyFreed("MemShieldRecentFreed") {
    m_preMarginSize = marginTweak("t_memshield_pre_margin_size", 16);
    m_postMarginSize = marginTweak("t_memshield_post_margin_size", 64);
    m_allocationHistoryLengthMs = marginTweak("t_allocationHistoryLengthMs", 0);
    m_allocatedBytes.store(0);
    // The clock logs when it is first read; that must not happen inside a registered allocation made for a log
    // line's copy, which would log into the very client that is copying.
    coarseNowMs();
    // What the worker and the watchdog need is made here, before they start: the process may end while they
    // start, and a singleton first made then would take a lock that exit has already destroyed.
    Logger::instance();
    DynamicTweaks::instance();
    MemWatcher::instance();
    DeadLockCheckerManager::instance();
    MemShieldAO::instance()->open();
}

u8* MemShield::internalAllocAndRegister(u64 size, u64 arrayLength, const char* className, const char* file,
                                        u32 line) {
    ASSERT(size > 0);
    const u64 allocationLength = static_cast<u64>(m_preMarginSize) + m_postMarginSize + size;
    ASSERT(allocationLength < MAX_SINGLE_ALLOCATION_LENGTH);
    u8* block = static_cast<u8*>(::operator new(allocationLength));
    std::memset(block, 0xFF, allocationLength);
    u8* p = block + m_preMarginSize;

    AllocInfo info;
    info.m_size = size;
    info.m_arrayLength = arrayLength;
    info.m_class = className;
    info.m_file = file;
    info.m_line = line;
    info.m_allocTime = coarseNowMs();
    info.m_freeTime = 0;

    ASSERT_MSG(Assert, size < (u32)-1, " size=" << size << " ");
    ASSERT_MSG(Assert, arrayLength < (u32)-1, " arrayLength=" << arrayLength << " ");
    m_allocatedBytes.fetch_add(allocationLength, std::memory_order_relaxed);
    {
        ScopedLock lock(&m_mutex);
        m_allocations.emplace(p, info);
        m_allocations.noteSize();
    }
    return p;
}

u8* MemShield::internalAllocAndCountOnlyArray(u64 size, u64 numItems, const char* className, const char* file,
                                              u32 line) {
    if (isEnabled()) return internalAllocAndRegister(size, numItems, className, file, line);
    ASSERT(numItems < std::numeric_limits<u32>::max());
    // The header holds the length in 32 bits: a larger request would get a block shorter than asked for.
    ASSERT(size <= std::numeric_limits<u32>::max() - 8);
    const u32 length = static_cast<u32>(size + 8);
    u32* header = static_cast<u32*>(::operator new(length));
    header[0] = length;
    header[1] = numItems == 0 ? std::numeric_limits<u32>::max() : static_cast<u32>(numItems);
    m_allocatedBytes.fetch_add(length, std::memory_order_relaxed);
    return reinterpret_cast<u8*>(header + 2);
}

void MemShield::verifyPtr(void* p, const char* file, u32 line) {
    Snapshot snapshot;
    {
        ScopedLock lock(&m_mutex);
        if (m_allocations.count(p) != 0) return;
        snapshot = snapshotLocked();
    }
    LOG(Error) << "trying to access (verifyPtr) un-allocated memory" << " file=" << file << " " << " line=" << line
               << " " << " mem=" << std::hex << reinterpret_cast<uintptr_t>(p) << std::dec << " " << std::endl;
    memshieldError(snapshot);
}

bool MemShield::isInsideLiveBlock(const void* p) {
    ScopedLock lock(&m_mutex);
    auto it = m_allocations.upper_bound(const_cast<void*>(p));
    if (it == m_allocations.begin()) return false;
    --it;
    const u8* start = static_cast<const u8*>(it->first);
    return static_cast<const u8*>(p) < start + it->second.m_size;
}

void MemShield::freeAndUnregister(void* p, const char* file, u32 line) {
    Snapshot snapshot;
    std::string corruption;
    bool unknown = false;
    {
        ScopedLock lock(&m_mutex);
        auto it = m_allocations.find(p);
        if (it == m_allocations.end()) {
            unknown = true;
            snapshot = snapshotLocked();
        } else {
            AllocInfo& info = it->second;
            std::ostringstream text;
            if (!printCorruption(it->first, info, info.m_size, m_postMarginSize, text, "post")) {
                corruption = text.str();
                snapshot = snapshotLocked();
            } else {
                u8* area = static_cast<u8*>(p);
                std::memset(area, 0xFF, info.m_size);
                info.m_freeTime = coarseNowMs();
                if (m_allocationHistoryLengthMs != 0) {
                    m_recentlyFreed.emplace(it->first, info);
                    m_recentlyFreed.noteSize();
                } else {
                    const u32 length = static_cast<u32>(info.m_size + m_preMarginSize + m_postMarginSize);
                    ::operator delete(area - m_preMarginSize);
                    m_allocatedBytes.fetch_sub(length, std::memory_order_relaxed);
                }
                m_allocations.erase(it);
                m_allocations.noteSize();
                return;
            }
        }
    }
    // Reported from the copy, after the lock is released; nothing is released.
    if (unknown) {
        LOG(Error) << "trying to free un-allocated memory" << " file=" << file << " " << " line=" << line << " "
                   << std::endl;
    } else {
        LOG(Error) << "memory overrun (during free)!" << corruption << std::endl;
        LOG(Error) << "freed at" << " file=" << file << " " << " line=" << line << " " << std::endl;
    }
    memshieldError(snapshot);
}

void MemShield::free(void* p, const char* file, u32 line) {
    if (isEnabled()) {
        freeAndUnregister(p, file, line);
    } else {
        freeAndCountArray(p);
    }
}

bool MemShield::printCorruption(void* key, const AllocInfo& info, u64 offset, u64 marginLength, std::ostream& out,
                                const char* label) {
    const u8* margin = static_cast<const u8*>(key) + offset;
    std::ostringstream list;
    bool clean = true;
    for (u64 i = 0; i < marginLength; ++i) {
        if (margin[i] == 0xFF) continue;
        clean = false;
        list << i << "->" << static_cast<unsigned>(margin[i]) << ",";
    }
    if (clean) return true;
    out << "memory corruption (" << label << ") : " << std::hex << reinterpret_cast<uintptr_t>(key) << std::dec << " "
        << info.m_file << " " << info.m_line << "!" << " [" << list.str() << "]" << " it->second.m_allocTime="
        << info.m_allocTime << " " << " it->second.m_freeTime=" << info.m_freeTime << " " << " it->second.m_class="
        << info.m_class << " ";
    return false;
}

MemShield::Snapshot MemShield::snapshotLocked() {
    // Plain copies: std::map allocates from the plain heap, never through this guard.
    Snapshot snapshot;
    snapshot.allocatedBytes = m_allocatedBytes.load();
    snapshot.allocations = m_allocations;
    snapshot.recentlyFreed = m_recentlyFreed;
    return snapshot;
}

void MemShield::memshieldError() {
    Snapshot snapshot;
    {
        ScopedLock lock(&m_mutex);
        snapshot = snapshotLocked();
    }
    memshieldError(snapshot);
}

void MemShield::memshieldError(const Snapshot& snapshot) {
    printAllocations(snapshot);
    printRecentlyFreed(snapshot);
    ASSERT(false);
}

void MemShield::printAllocations() {
    Snapshot snapshot;
    {
        ScopedLock lock(&m_mutex);
        snapshot = snapshotLocked();
    }
    printAllocations(snapshot);
}

void MemShield::printRecentlyFreed() {
    Snapshot snapshot;
    {
        ScopedLock lock(&m_mutex);
        snapshot = snapshotLocked();
    }
    printRecentlyFreed(snapshot);
}

void MemShield::printAllocations(const Snapshot& snapshot) {
    const bool verbose = Tweaks::instance()->intVal("t_MemShieldVerbose", 1) != 0;
    const i32 maxPerSite = Tweaks::instance()->intVal("t_MemShieldMaxAllocationInCodeLine", 700000);
    LOG(Info) << "Allocated from system heap: " << snapshot.allocatedBytes << std::endl;

    struct SiteTotal {
        u32 count = 0;
        u64 bytes = 0;
    };
    // A site is the address of its file text and its line.
    std::map<std::pair<const char*, u32>, SiteTotal> sites;
    u64 total = 0;
    bool tooMany = false;
    u32 maxFound = 0;
    for (const auto& [key, info] : snapshot.allocations) {
        SiteTotal& site = sites[{info.m_file, info.m_line}];
        ++site.count;
        site.bytes += info.m_size;
        total += info.m_size;
        if (static_cast<i64>(site.count) >= maxPerSite) {
            tooMany = true;
            if (site.count > maxFound) maxFound = site.count;
        }
    }
    LOG(Info) << "Total memory allocation: " << total << std::endl;
    if (verbose) {
        for (const auto& [site, sum] : sites) {
            LOG(Info) << "allocation " << site.first << " " << site.second << " -> " << sum.count << " allocations "
                      << sum.bytes << " bytes" << std::endl;
        }
    }
    if (tooMany) {
        ASSERT_MSG(Assert, false,
                   "Too many allocations from as single log line. " << " maxAllocationInCodeLine=" << maxPerSite
                                                                     << " " << " maxAllocationsFound=" << maxFound
                                                                     << " ");
    }
    MemWatchedContainerDatabase::instance()->printWatchedContainers();
    MemoryPoolImpl::instance()->printMemoryUsage();
    MemoryHeap::instance()->printMemoryUsage();
    MemWatcher::instance()->printMem();
    MemWatcher::instance()->printCpu();
}

void MemShield::printRecentlyFreed(const Snapshot& snapshot) {
    LOG(Info) << " Timer::instance()->getLastTimestampMs_Inaccurate(true)=" << coarseNowMs() << " " << std::endl;
    for (const auto& [key, info] : snapshot.recentlyFreed) {
        LOG(Info) << "Freed item mem =" << std::hex << reinterpret_cast<uintptr_t>(key) << std::dec << " info="
                  << " info.m_size=" << info.m_size << " " << " info.m_file=" << info.m_file << " "
                  << " info.m_line=" << info.m_line << " " << " it->second.m_freeTime=" << info.m_freeTime << " "
                  << " it->second.m_allocTime=" << info.m_allocTime << " " << " it->second.m_class=" << info.m_class
                  << " " << std::endl;
    }
}

MemShield::AllocationMap MemShield::memShieldDumpLocked() { return m_allocations; }

void MemShield::memShieldDump() {
    AllocationMap records;
    {
        ScopedLock lock(&m_mutex);
        records = memShieldDumpLocked();
    }
    for (const auto& [key, info] : records) {
        LOG(Info) << "dumpalloc: " << std::hex << reinterpret_cast<uintptr_t>(key) << std::dec << " : "
                  << " it->second.m_class=" << info.m_class << " " << " it->second.m_file=" << info.m_file << " "
                  << " it->second.m_line=" << info.m_line << " " << " it->second.m_size=" << info.m_size << " "
                  << " it->second.m_arrayLength=" << info.m_arrayLength << " " << std::endl;
    }
}
