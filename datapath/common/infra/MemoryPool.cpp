#include "MemoryPool.h"

#include "Logger.h"
#include "MemShield.h"
#include "Timer.h"
#include "TrackedAllocation.h"
#include "Tweaks.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <limits>
#include <new>
#include <sstream>

namespace {

// The log line of a failed check, out of the way of the paths that pass it.
template <class WriteDetail>
[[gnu::cold, gnu::noinline]] void poolCheckFailed(const char* prettyFunction, const char* file, int line,
                                                  const char* text, WriteDetail writeDetail) {
    const LogSite site(prettyFunction);
    LogItem item(LogComponent::Tesk, LogLevel::Assert, site, 3);
    item.stream() << " " << file << " " << line << ": " << text << " failed. ";
    writeDetail(item.stream());
    item.stream() << std::endl;
}

}  // namespace

// A failed check of the pool, logged with the component TESK; at level Assert it ends the process. The expression
// is given as text where the condition guards more than it names.
#define POOL_CHECK(condition, text, detail) POOL_CHECK_IN(__PRETTY_FUNCTION__, condition, text, detail)
// The same, logged under the name of the operation it belongs to.
#define POOL_CHECK_IN(function, condition, text, detail)                                                           \
    do {                                                                                                           \
        if (!(condition)) [[unlikely]] {                                                                           \
            poolCheckFailed(function, __FILE__, __LINE__, text,                                                    \
                            [&](std::ostream& poolCheckOut) { poolCheckOut << detail; });                          \
        }                                                                                                          \
    } while (0)

namespace {

using WaitingRequestsQueue_Internal::ISequentialItem;

// Walks requests with a callable that says what became of each.
template <class F>
class FunctorSequentialHandler : public WaitingRequestsQueue_Internal::ISequentialItemHandler {
public:
    explicit FunctorSequentialHandler(F f) : m_f(std::move(f)) {}
    void handle(NextIterationData& flags, ISequentialItem* item) override {
        flags = m_f(static_cast<MemoryRequest*>(item));
    }

private:
    F m_f;
};

template <class F>
FunctorSequentialHandler<F> makeHandler(F f) {
    return FunctorSequentialHandler<F>(std::move(f));
}

constexpr unsigned kCompletedStillWaitingContinue = 7;
constexpr unsigned kCompletedContinue = 5;
constexpr unsigned kContinue = 4;
constexpr unsigned kStop = 0;

u64 saturatingSub(u64 a, u64 b) { return a > b ? a - b : 0; }

u64 saturatingAdd(u64 a, u64 b) { return a > std::numeric_limits<u64>::max() - b ? std::numeric_limits<u64>::max() : a + b; }

u64 saturatingMul(u64 a, u64 b) {
    if (a != 0 && b > std::numeric_limits<u64>::max() / a) return std::numeric_limits<u64>::max();
    return a * b;
}

// Its checks keep the name of the operation whose page and counts these steps are.
constexpr const char* kGetMemorySegmentLocked =
    "MemorySegment MemoryPoolImpl::getMemorySegmentLocked(u32, ModuleMemoryInformation*)";

u64 coarseNowMs() { return static_cast<u64>(Timer::instance()->getLastTimestampMs_Inaccurate(false)); }

}  // namespace

MemoryPoolImpl::FreeBytesInfo::FreeBytesInfo(bool freeInMmi, bool emptyPool, u64 free) : m_free(free) {
    if (m_free > 0) {
        POOL_CHECK(freeInMmi == true, "freeInMmi == true", "trying to give memory to a full mmi");
        if (emptyPool) {
            POOL_CHECK(m_free == 0, "m_free == 0",
                       "ambiguity related to the question: is mmi able to get memory" << " m_free=" << m_free << " ");
        }
        isAbleToGetMemory = true;
    } else if (emptyPool) {
        isEmptyMemPool = true;
    } else if (!freeInMmi) {
        isFullMmi = true;
    } else {
        POOL_CHECK(false, "false",
                   "unknown getFreeBytesLocked result:" << "isAbleToGetMemory=" << isAbleToGetMemory
                                                        << "isEmptyMemPool=" << isEmptyMemPool
                                                        << "isFullMmi=" << isFullMmi);
    }
}

MemoryPoolImpl::MemoryPoolImpl() : m_mmis("mmis"), m_subPools("subPools"), m_waitingList("memoryWaitingList") {
    m_freePages.next = &m_freePages;
    m_freePages.prev = &m_freePages;
}

MemoryPoolImpl::~MemoryPoolImpl() {
    POOL_CHECK(m_totalPollSize == 0, "m_totalPollSize == 0", " m_totalPollSize=" << m_totalPollSize << " ");
    for (auto& entry : m_mmis) trackedDelete(entry.second, __FILE__, __LINE__);
}

MemoryPoolImpl* MemoryPoolImpl::instance() {
    static NeverDestroyed<Mutex> s_mutex;
    static std::atomic<MemoryPoolImpl*> s_instance{nullptr};
    MemoryPoolImpl* pool = s_instance.load(std::memory_order_acquire);
    if (pool) return pool;
    ScopedLock lock(s_mutex.get());
    pool = s_instance.load(std::memory_order_relaxed);
    if (!pool) {
        pool = new MemoryPoolImpl();  // plain allocation, never destroyed
        s_instance.store(pool, std::memory_order_release);
    }
    return pool;
}

u32 MemoryPoolImpl::getChunkSize() {
    ScopedLock lock(m_lock);
    return m_chunkSize;
}

void MemoryPoolImpl::adjustUsage(int delta) {
    ScopedLock lock(m_lock);
    m_usedMemoryNet += static_cast<u64>(static_cast<i64>(delta));
}

void MemoryPoolImpl::freeSegments(std::vector<MemorySegment>& segments, int fromIndex) {
    if (fromIndex < 0 || static_cast<size_t>(fromIndex) > segments.size()) {
        LOG_TESK(Error) << "fromIndex out of range, nothing freed" << " fromIndex=" << fromIndex << " "
                        << " segments.size()=" << segments.size() << " " << std::endl;
        return;
    }
    std::vector<u8*> released;
    {
        ScopedLock lock(m_lock);
        freeSegmentsLocked(segments, fromIndex);
        if (!m_pendingFrees.empty()) released.swap(m_pendingFrees);
    }
    releaseMemory(released);
}

[[gnu::flatten]] void MemoryPoolImpl::freeSegment(MemorySegment& segment) {
    std::vector<u8*> released;
    {
        ScopedLock lock(m_lock);
        // A copy, freed as a one-segment vector would be.
        MemorySegment copy = segment;
        freeSegmentsLocked(&copy, &copy + 1);
        if (!m_pendingFrees.empty()) [[unlikely]] released.swap(m_pendingFrees);
    }
    // Another free of this segment would link its page twice.
    segment.clearMemory();
    releaseMemory(released);
}

void MemoryPoolImpl::releaseMemory(const std::vector<u8*>& released) {
    if (released.empty()) return;
    for (u8* memory : released) trackedArrayFree(memory, __FILE__, __LINE__);
}

u64 MemoryPoolImpl::generalFreeMemoryLocked() const {
    return saturatingSub(saturatingSub(m_totalPollSize, m_usedMemoryGross), m_reservedFree);
}

MemoryPoolImpl::FreeBytesInfo MemoryPoolImpl::getFreeBytesLocked(ModuleMemoryInformation* mmi) {
    for (int pass = 0;; ++pass) {
        const u64 used = mmi->getCurrentlyUsedBytes();
        // A module past its limit (a limit off the chunk grid, or extra chunks) is full, not unlimited.
        const u64 headroom = saturatingSub(mmi->m_limitBytes, used);
        const u64 available = saturatingSub(mmi->m_reservedBytes, used) + generalFreeMemoryLocked();
        u64 free = std::min(headroom, available);
        // Extra chunks lift the limit, never past the pages that are free and not held for other modules.
        if (mmi->m_extraChunks != 0) {
            free = std::min(saturatingAdd(free, saturatingMul(m_chunkSize, mmi->m_extraChunks)), available);
        }
        free = std::min(free, saturatingSub(m_totalPollSize, m_usedMemoryGross));
        const bool freeInMmi = (mmi->m_extraChunks != 0 ? free : headroom) != 0;
        const bool emptyPool = free == 0 && available == 0;
        FreeBytesInfo info(freeInMmi, emptyPool, free);
        if (pass == 0 && info.isEmptyMemPool && m_totalPollSize < m_maxPoolSize &&
            m_requestForMoreAllocationHelper == nullptr) {
            requestForMoreAllocationLocked();
            continue;
        }
        return info;
    }
}

MemorySegment MemoryPoolImpl::getMemorySegmentLocked(u32 bytes, ModuleMemoryInformation* mmi) {
    const u32 size = std::min(bytes, m_chunkSize);
    return MemorySegment(size, takePageLocked(size, mmi), mmi);
}

u8* MemoryPoolImpl::takePageLocked(u32 size, ModuleMemoryInformation* mmi) {
    POOL_CHECK_IN(kGetMemorySegmentLocked, !isEmptyLocked(), "!isEmptyLocked()", "");
    if (isEmptyLocked()) return nullptr;
    // The most recently added page.
    PageLinks* page = m_freePages.prev;
    page->prev->next = &m_freePages;
    m_freePages.prev = page->prev;
    --m_freePageCount;
    m_usedMemoryGross += m_chunkSize;
    m_usedMemoryNet += size;
    if (mmi->getCurrentlyUsedBytes() < mmi->m_reservedBytes) {
        POOL_CHECK_IN(kGetMemorySegmentLocked, m_reservedFree >= m_chunkSize, "m_reservedFree >= m_chunkSize",
                   " m_reservedFree=" << m_reservedFree << " " << " m_chunkSize=" << m_chunkSize << " ");
        m_reservedFree = saturatingSub(m_reservedFree, m_chunkSize);
    }
    ModuleMemoryInformation::addUsedBytes(mmi, m_chunkSize);
    return reinterpret_cast<u8*>(page);
}

MemoryPoolImpl::FreeBytesInfo MemoryPoolImpl::giveSegmentsLocked(ModuleMemoryInformation* mmi,
                                                                 MemoryTargetBuffer* buffer, u32& requestedBytes) {
    FreeBytesInfo info = getFreeBytesLocked(mmi);
    if (!info.isAbleToGetMemory) return info;
    for (;;) {
        // The segment that getMemorySegmentLocked gives, built in place.
        const u32 size = std::min(requestedBytes, m_chunkSize);
        if (isEmptyLocked()) {
            POOL_CHECK_IN(kGetMemorySegmentLocked, !isEmptyLocked(), "!isEmptyLocked()", "");
            return FreeBytesInfo(true, true, 0);
        }
        if (buffer->m_segments.empty()) {
            buffer->m_firstSegmentSize = size;
            buffer->m_commonOwner = mmi;
        } else {
            if (buffer->m_segments.back().getSizeBytes() != buffer->m_firstSegmentSize ||
                size > buffer->m_firstSegmentSize) {
                buffer->m_uniformSegments = false;
            }
            if (mmi != buffer->m_commonOwner) buffer->m_commonOwner = MemorySegment::NoOwner;
        }
        buffer->m_segments.emplace_back(size, takePageLocked(size, mmi), mmi);
        buffer->m_totalBytes += size;
        requestedBytes -= size;
        if (requestedBytes == 0) return info;
        info = getFreeBytesLocked(mmi);
        if (!info.isAbleToGetMemory) return info;
    }
}

MemoryPoolImpl::FreeBytesInfo MemoryPoolImpl::giveMemoryIfPreparedToTakeLocked(ModuleMemoryInformation* mmi,
                                                                                MemoryRequest* request) {
    const FreeBytesInfo info = giveSegmentsLocked(mmi, request->targetBuffer, request->requestedBytes);
    if (!info.isAbleToGetMemory) return info;
    POOL_CHECK(getMmiPendingRequestsLocked(mmi) > 0, "getMmiPendingRequestsLocked(mmi) > 0", "");
    request->future.set(static_cast<RcStatus>(0));
    return info;
}

void MemoryPoolImpl::giveMemoryToWaiterLocked() {
    auto handler = makeHandler([this](MemoryRequest* request) -> NextIterationData {
        const FreeBytesInfo info = giveMemoryIfPreparedToTakeLocked(request->module, request);
        if (info.isAbleToGetMemory) return NextIterationData(kCompletedStillWaitingContinue);
        if (info.isFullMmi) return NextIterationData(kContinue);
        if (info.isEmptyMemPool) return NextIterationData(kStop);
        POOL_CHECK(false, "false",
                   "wrong FreeBytes Info:" << "IsAbleToGetMemory=" << "0" << "," << "IsFullMmi=" << "0" << ","
                                           << "IsEmptyMemPool=" << "0");
        return NextIterationData(kStop);
    });
    m_waitingList.iterateWaiting(handler);
}

namespace {

// The owners of the segments freed in one call, in address order; a few are kept without allocating.
class OwnerSet {
public:
    void insert(ModuleMemoryInformation* owner) {
        if (!m_overflow.empty()) {
            m_overflow.insert(owner);
            return;
        }
        size_t at = 0;
        while (at < m_count && m_inline[at] < owner) ++at;
        if (at < m_count && m_inline[at] == owner) return;
        if (m_count == kInline) {
            m_overflow.insert(m_inline, m_inline + m_count);
            m_overflow.insert(owner);
            return;
        }
        for (size_t i = m_count; i > at; --i) m_inline[i] = m_inline[i - 1];
        m_inline[at] = owner;
        ++m_count;
    }
    // Calls f(first, last) over the owners in address order.
    template <class F>
    void forRange(F f) const {
        if (m_overflow.empty()) {
            if (m_count != 0) f(m_inline, m_inline + m_count);
            return;
        }
        const std::vector<ModuleMemoryInformation*> all(m_overflow.begin(), m_overflow.end());
        f(all.data(), all.data() + all.size());
    }

private:
    static constexpr size_t kInline = 4;
    ModuleMemoryInformation* m_inline[kInline];
    size_t m_count = 0;
    std::set<ModuleMemoryInformation*> m_overflow;
};

}  // namespace

void MemoryPoolImpl::freeSegmentsLocked(std::vector<MemorySegment>& segments, int fromIndex) {
    freeSegmentsLocked(segments.data() + fromIndex, segments.data() + segments.size());
}

void MemoryPoolImpl::freeSegmentsLocked(MemorySegment* begin, MemorySegment* end) {
    if (end - begin == 1) {
        // One segment, one owner at most: no set to keep.
        ModuleMemoryInformation* owner = begin->getOwner();
        const bool held = begin->getMemory() != nullptr;
        freeSegmentContentLocked(*begin);
        if (held && owner != nullptr && owner != MemorySegment::NoOwner) serveAfterFreeLocked(&owner, &owner + 1);
        return;
    }
    OwnerSet owners;
    for (MemorySegment* segment = begin; segment != end; ++segment) {
        ModuleMemoryInformation* owner = segment->getOwner();
        const bool held = segment->getMemory() != nullptr;
        freeSegmentContentLocked(*segment);
        if (held && owner != nullptr && owner != MemorySegment::NoOwner) owners.insert(owner);
    }
    owners.forRange([this](ModuleMemoryInformation* const* first, ModuleMemoryInformation* const* last) {
        serveAfterFreeLocked(first, last);
    });
}

void MemoryPoolImpl::serveAfterFreeLocked(ModuleMemoryInformation* const* first, ModuleMemoryInformation* const* last) {
    // An owner without waiting requests has nothing to import or to walk.
    if (m_waitingList.waitingModules().empty() &&
        std::none_of(first, last, [](ModuleMemoryInformation* owner) { return hasPendingRequestsLocked(owner); })) {
        return;
    }
    serveWaitersAfterFreeLocked(first, last);
}

void MemoryPoolImpl::serveWaitersAfterFreeLocked(ModuleMemoryInformation* const* first,
                                                 ModuleMemoryInformation* const* last) {
    for (auto it = first; it != last; ++it) {
        ModuleMemoryInformation* owner = *it;
        if (hasPendingRequestsLocked(owner) && !owner->m_moduleInformation.getIsRequestInWaitingModules()) {
            m_waitingList.importRequestReferenceInternal(&owner->m_moduleInformation);
        }
    }
    if (!m_waitingList.waitingModules().empty()) giveMemoryToWaiterLocked();
    for (auto it = first; it != last; ++it) {
        ModuleMemoryInformation* owner = *it;
        if (!hasPendingRequestsLocked(owner)) continue;
        auto handler = makeHandler([this, owner](MemoryRequest* request) -> NextIterationData {
            const FreeBytesInfo info = giveMemoryIfPreparedToTakeLocked(owner, request);
            return NextIterationData(info.isAbleToGetMemory ? kCompletedContinue : kStop);
        });
        m_waitingList.iterateAll(&owner->m_moduleInformation, handler);
    }
}

void MemoryPoolImpl::freeSegmentContentLocked(MemorySegment& segment) {
    // Freed already: the page is on the free list or with another owner.
    if (segment.getMemory() == nullptr) return;
    ModuleMemoryInformation* mmi = segment.getOwner();
    POOL_CHECK(mmi != MemorySegment::NoOwner, "mmi != MemorySegment::NoOwner", "");
    if (mmi == MemorySegment::NoOwner) return;
    if (mmi == nullptr) {
        m_pendingFrees.push_back(segment.getMemory());
        segment.clearMemory();
        return;
    }
    ModuleMemoryInformation* info = mmi;
    const bool heapRecord = info->isHeapMemory();
    POOL_CHECK(!heapRecord, "!info->isHeapMemory()", "");
    if (heapRecord) return;
    // Before the page is linked: the fill would erase its links.
    if (MemShield::s_enabled) std::memset(segment.getMemory(), 0xEE, m_chunkSize);
    freeChunkFromMmiLocked(segment.getSizeBytes(), mmi);
    appendPageLocked(segment.getMemory());
    segment.clearMemory();
}

void MemoryPoolImpl::freeChunkFromMmiLocked(u32 netBytes, ModuleMemoryInformation* mmi) {
    POOL_CHECK(m_usedMemoryGross >= m_chunkSize, "m_usedMemoryGross >= m_chunkSize",
               " m_usedMemoryGross=" << m_usedMemoryGross << " ");
    m_usedMemoryGross = saturatingSub(m_usedMemoryGross, m_chunkSize);
    POOL_CHECK(m_usedMemoryNet >= netBytes, "m_usedMemoryNet >= netBytes",
               " m_usedMemoryNet=" << m_usedMemoryNet << " " << "segment size = " << netBytes);
    m_usedMemoryNet = saturatingSub(m_usedMemoryNet, netBytes);
    if (m_usedMemoryGross == 0) {
        POOL_CHECK(m_usedMemoryNet == 0, "m_usedMemoryNet == 0", " m_usedMemoryNet=" << m_usedMemoryNet << " ");
    }
    if (mmi->getCurrentlyUsedBytes() <= mmi->m_reservedBytes) m_reservedFree += m_chunkSize;
    POOL_CHECK(mmi->getCurrentlyUsedBytes() >= m_chunkSize, "mmi->getCurrentlyUsedBytes() >= m_chunkSize",
               " mmi->getCurrentlyUsedBytes()=" << mmi->getCurrentlyUsedBytes() << " " << " m_chunkSize="
                                                << m_chunkSize << " ");
    ModuleMemoryInformation::subUsedBytes(mmi, m_chunkSize);
}

void MemoryPoolImpl::appendPageLocked(u8* page) {
    PageLinks* links = ::new (page) PageLinks{&m_freePages, m_freePages.prev};
    m_freePages.prev->next = links;
    m_freePages.prev = links;
    ++m_freePageCount;
}

void MemoryPoolImpl::requestForMoreAllocationLocked() {
    const u32 size = getMaxSingleAllocationSize();
    POOL_CHECK(m_requestForMoreAllocationHelper == 0, "m_requestForMoreAllocationHelper == 0", "");
    if (m_requestForMoreAllocationHelper != nullptr) return;
    auto* helper = trackedNew<MemoryAllocationHelper>("MemoryAllocationHelper", __FILE__, __LINE__, this, size);
    m_requestForMoreAllocationHelper = helper;
    FutureInternal::Future<RcStatus> future = allocateSingle(size, &helper->m_memory);
    RcStatus value{};
    if (future.getValueOrAddObserver(value, helper)) requestForMoreAllocationDoneLocked(value);
}

void MemoryPoolImpl::requestForMoreAllocationDoneLocked(RcStatus rc) {
    MemoryAllocationHelper* helper = m_requestForMoreAllocationHelper;
    POOL_CHECK(m_requestForMoreAllocationHelper != 0, "m_requestForMoreAllocationHelper != 0", "");
    if (helper == nullptr) return;
    if (rc == 0) allocatePagesFromSingleAllocationLocked(helper->m_memory, helper->m_size);
    trackedDelete(helper, __FILE__, __LINE__);
    m_requestForMoreAllocationHelper = nullptr;
}

void MemoryPoolImpl::allocatePagesFromSingleAllocationLocked(u8* memory, u32 allocationSize) {
    // A chunk size of 0 would divide by zero here.
    POOL_CHECK(m_chunkSize != 0 && allocationSize % m_chunkSize == 0, "allocationSize % m_chunkSize == 0",
               " allocationSize=" << allocationSize << " " << " m_chunkSize=" << m_chunkSize << " ");
    if (m_chunkSize == 0 || allocationSize % m_chunkSize != 0) return;
    std::memset(memory, 0xFE, allocationSize);
    for (u32 offset = 0; offset < allocationSize; offset += m_chunkSize) appendPageLocked(memory + offset);
    m_totalPollSize += allocationSize;
    m_singleAllocations.emplace_back(memory, allocationSize);
    const u64 now = coarseNowMs();
    if (saturatingSub(now, m_lastAllocatedLogMs) >= m_allocatedLogIntervalMs) {
        m_lastAllocatedLogMs = now;
        LOG_C_D(Tesk, Info, 0) << "allocated " << m_totalPollSize << " bytes" << std::endl;
    }
}

FutureInternal::Future<RcStatus> MemoryPoolImpl::allocateSingle(u32 size, u8** out) {
    *out = trackedArrayNew<u8>(size, "u8", __FILE__, __LINE__);
    // The pool's own blocks stay out of the tracked total (the correction is the count-only header's).
    MemShield::instance()->m_allocatedBytes.fetch_sub(static_cast<u64>(size) + 8, std::memory_order_relaxed);
    FutureInternal::Future<RcStatus> future;
    future.set(static_cast<RcStatus>(0));
    return future;
}

void MemoryPoolImpl::freeSingleAllocation(u8* pointer, u32 size) {
    trackedArrayFree(pointer, __FILE__, __LINE__);
    MemShield::instance()->m_allocatedBytes.fetch_add(static_cast<u64>(size) + 8, std::memory_order_relaxed);
}

void MemoryPoolImpl::printMemoryUsage() {
    {
        ScopedLock lock(m_lock);
        LOG_C_D(Tesk, Info, 0) << "Memory POOL: " << " m_usedMemoryGross=" << m_usedMemoryGross << " "
                               << " m_usedMemoryNet=" << m_usedMemoryNet << " " << " free="
                               << generalFreeMemoryLocked() << std::endl;
        for (const auto& [name, mmi] : m_mmis) {
            LogItem line(LogComponent::Tesk, LogLevel::Info, LOG_SITE(), 0);
            std::ostream& out = line.stream();
            out << name << ":";
            if (mmi->m_reservedBytes != 0) out << " reserved=" << mmi->m_reservedBytes;
            if (mmi->m_limitBytes != ModuleMemoryInformation::kNoLimit) out << " limit=" << mmi->m_limitBytes;
            out << " used=" << mmi->getCurrentlyUsedBytes();
            const u64 pending = getMmiPendingRequestsLocked(mmi);
            if (pending != 0) out << " pending=" << pending;
            if (mmi->m_nas != 0) out << " NAs=" << mmi->m_nas;
            out << std::endl;
        }
        const u64 now = coarseNowMs();
        if (saturatingSub(now, m_lastPendingCheckMs) >= m_pendingCheckIntervalMs) {
            m_lastPendingCheckMs = now;
            monitorPendingMemoryAllocations();
        }
    }
    ScopedLock lock(m_subPoolsLock);
    u64 totalFree = 0, totalUsed = 0, totalFrag = 0, maxFree = 0, maxUsed = 0;
    for (MemoryPoolImpl* subPool : m_subPools) {
        subPool->printMemoryUsage();
        u64 gross, net, free;
        {
            ScopedLock subLock(subPool->m_lock);
            gross = subPool->m_usedMemoryGross;
            net = subPool->m_usedMemoryNet;
            free = subPool->generalFreeMemoryLocked();
        }
        totalFree = saturatingAdd(totalFree, free);
        totalUsed = saturatingAdd(totalUsed, gross);
        // adjustUsage can lift the net count past the whole chunks.
        totalFrag = saturatingAdd(totalFrag, saturatingSub(gross, net));
        maxFree = std::max(maxFree, free);
        maxUsed = std::max(maxUsed, gross);
    }
    LOG_C_D(Tesk, Info, 0) << "subMemPools:" << " totalFree=" << totalFree << " " << " totalUsed=" << totalUsed << " "
                           << " totalFrag=" << totalFrag << " " << " maxFree=" << maxFree << " "
                           << " maxUsed=" << maxUsed << " " << std::endl;
}

void MemoryPoolImpl::collectPendingLocked(u32 thresholdSec, std::list<PendingEntry>& entries) {
    const u64 thresholdMs = static_cast<u64>(thresholdSec) * 1000;
    auto handler = makeHandler([&entries, thresholdMs](MemoryRequest* request) -> NextIterationData {
        const u64 now = static_cast<u64>(Timer::instance()->getTimestamp());
        const u64 waited = saturatingSub(now, request->startTime);
        if (waited > thresholdMs) {
            entries.push_back({request->clientTraceId, request->module->m_name, request->requestedBytes, waited / 1000});
        }
        return NextIterationData(kContinue);
    });
    m_waitingList.iterateAllModules(handler);
}

void MemoryPoolImpl::monitorPendingMemoryAllocations() {
    const u32 infoThresholdSec = Tweaks::instance()->uintVal("t_TeskWaitTimeAfterMemAllocRequestInfoThresholdSec", 60);
    const u32 errorThresholdSec =
        Tweaks::instance()->uintVal("t_TeskWaitTimeAfterMemAllocRequestErrorThresholdSec", 1800);
    std::list<PendingEntry> entries;
    collectPendingLocked(infoThresholdSec, entries);
    if (!entries.empty()) LOG_C_D(Tesk, Info, 0) << formatPendingClients(infoThresholdSec, entries) << std::endl;
    entries.clear();
    collectPendingLocked(errorThresholdSec, entries);
    if (!entries.empty()) LOG_C_D(Tesk, Error, 0) << formatPendingClients(errorThresholdSec, entries) << std::endl;
}

std::string MemoryPoolImpl::formatPendingClients(u32 thresholdSec, const std::list<PendingEntry>& entries) {
    std::ostringstream out;
    out << "Memory allocation pending time reaches threshold of " << thresholdSec
        << " sec for clients: (clientTraceId,name,requestedBytes,pendingTime)";
    for (const PendingEntry& entry : entries) {
        out << " (" << entry.clientTraceId << "," << entry.name << "," << entry.requestedBytes << ","
            << entry.pendingSec << ")";
    }
    return out.str();
}

void MemoryPoolImpl::setChunkSize(u32 chunkSize) {
    ScopedLock lock(m_lock);
    POOL_CHECK(chunkSize >= sizeof(PageLinks), "chunkSize >= sizeof(PageLinks)",
               "a page must hold the two links of the free list" << " chunkSize=" << chunkSize << " ");
    POOL_CHECK(chunkSize % 8 == 0, "chunkSize % 8 == 0",
               "the free list's links of each page must stay aligned" << " chunkSize=" << chunkSize << " ");
    POOL_CHECK(m_totalPollSize == 0 || chunkSize == m_chunkSize, "m_totalPollSize == 0 || chunkSize == m_chunkSize",
               "the pages are carved already" << " chunkSize=" << chunkSize << " " << " m_chunkSize=" << m_chunkSize
                                              << " ");
    if (chunkSize < sizeof(PageLinks) || chunkSize % 8 != 0 || (m_totalPollSize != 0 && chunkSize != m_chunkSize)) {
        return;
    }
    m_chunkSize = chunkSize;
}

void MemoryPoolImpl::setMaxPoolSize(u64 maxPoolSize) {
    ScopedLock lock(m_lock);
    m_maxPoolSize = maxPoolSize;
}

ModuleMemoryInformation* MemoryPoolImpl::registerModule(const std::string& name, u64 reservedBytes, u64 limitBytes,
                                                        ModuleMemoryInformation* parent) {
    ScopedLock lock(m_lock);
    const bool nameIsFree = m_mmis.find(name) == m_mmis.end();
    POOL_CHECK(nameIsFree, "nameIsFree", "a module of this name exists already" << " name=" << name << " ");
    if (!nameIsFree) return nullptr;
    if (parent != nullptr) {
        const auto it = m_mmis.find(parent->m_name);
        const bool parentIsOurs = it != m_mmis.end() && it->second == parent;
        POOL_CHECK(parentIsOurs, "parentIsOurs", "the parent is not a module of this pool" << " name=" << name << " ");
        // The reservation accounting reads the used bytes, which on a parent include its children's.
        POOL_CHECK(parent->m_reservedBytes == 0, "parent->m_reservedBytes == 0",
                   "a module with a reservation cannot be a parent" << " parent=" << parent->m_name << " ");
        if (!parentIsOurs || parent->m_reservedBytes != 0) return nullptr;
    }
    if (reservedBytes != 0) {
        const bool onGrid = m_chunkSize != 0 && reservedBytes % m_chunkSize == 0;
        POOL_CHECK(onGrid, "m_chunkSize != 0 && reservedBytes % m_chunkSize == 0",
                   "a reservation is whole chunks" << " reservedBytes=" << reservedBytes << " "
                                                   << " m_chunkSize=" << m_chunkSize << " ");
        if (!onGrid) return nullptr;
        while (generalFreeMemoryLocked() < reservedBytes && m_totalPollSize < m_maxPoolSize &&
               m_requestForMoreAllocationHelper == nullptr) {
            const u64 before = m_totalPollSize;
            requestForMoreAllocationLocked();
            if (m_totalPollSize == before) break;  // the allocation did not complete at once
        }
        const u64 free = generalFreeMemoryLocked();
        POOL_CHECK(free >= reservedBytes, "generalFreeMemoryLocked() >= reservedBytes",
                   "the pool cannot back the reservation" << " reservedBytes=" << reservedBytes << " "
                                                          << " free=" << free << " " << " m_maxPoolSize="
                                                          << m_maxPoolSize << " ");
        if (free < reservedBytes) return nullptr;
    }
    auto* mmi = trackedNew<ModuleMemoryInformation>("ModuleMemoryInformation", __FILE__, __LINE__, name);
    mmi->m_reservedBytes = reservedBytes;
    mmi->m_limitBytes = limitBytes;
    mmi->setParent(parent);
    m_reservedFree += reservedBytes;
    m_mmis.emplace(name, mmi);
    m_mmis.noteSize();
    m_waitingList.subscribe(&mmi->m_moduleInformation);
    return mmi;
}

// Flattened, with the queueing and the growth out of line: serving at once is the path that must stay short.
[[gnu::flatten]] bool MemoryPoolImpl::submitRequest(ModuleMemoryInformation* mmi, u64 clientTraceId,
                                                    MemoryTargetBuffer* buffer, u32 bytes, u64 startTime,
                                                    FutureInternal::Future<RcStatus>* whenServed) {
    const bool valid = mmi != nullptr && buffer != nullptr && !mmi->isHeapMemory();
    POOL_CHECK(valid, "mmi != nullptr && buffer != nullptr && !mmi->isHeapMemory()",
               "a request needs a pool module and a target buffer" << " mmi=" << mmi << " " << " buffer=" << buffer
                                                                   << " ");
    if (!valid) return false;
    if (bytes == 0) return true;
    ScopedLock lock(m_lock);
    if (!m_waitingList.waitingModules().empty() || hasPendingRequestsLocked(mmi)) {
        return queueRequestLocked(mmi, clientTraceId, buffer, bytes, startTime, false, false, whenServed);
    }
    // What the waiting walk would do with this request alone, without making one.
    u32 remaining = bytes;
    const FreeBytesInfo info = giveSegmentsLocked(mmi, buffer, remaining);
    if (remaining == 0) [[likely]] return true;
    return queueRequestLocked(mmi, clientTraceId, buffer, remaining, startTime, true, info.isFullMmi, whenServed);
}

bool MemoryPoolImpl::queueRequestLocked(ModuleMemoryInformation* mmi, u64 clientTraceId, MemoryTargetBuffer* buffer,
                                        u32 remaining, u64 startTime, bool triedAtOnce, bool passedOver,
                                        FutureInternal::Future<RcStatus>* whenServed) {
    auto* request = trackedNew<MemoryRequest>("MemoryRequest", __FILE__, __LINE__, clientTraceId, buffer, remaining,
                                              mmi, startTime);
    FutureInternal::Future<RcStatus> future = request->future;
    ++mmi->m_nas;
    // Queued before it is served: completion checks the module's pending count.
    m_waitingList.queueRequest(&mmi->m_moduleInformation, request);
    // A full module keeps out of the waiting order until it frees memory.
    if (!passedOver && getMmiPendingRequestsLocked(mmi) == 1 &&
        !mmi->m_moduleInformation.getIsRequestInWaitingModules()) {
        m_waitingList.importRequestReferenceInternal(&mmi->m_moduleInformation);
    }
    if (!triedAtOnce && !m_waitingList.waitingModules().empty()) giveMemoryToWaiterLocked();
    if (whenServed != nullptr) *whenServed = future;
    return future.isSet();
}

void MemoryPoolImpl::addSubPool(MemoryPoolImpl* subPool) {
    POOL_CHECK(subPool != nullptr && subPool != this, "subPool != nullptr && subPool != this", "");
    if (subPool == nullptr || subPool == this) return;
    ScopedLock lock(m_subPoolsLock);
    m_subPools.insert(subPool);
    m_subPools.noteSize();
}

MemoryPoolImpl::Usage MemoryPoolImpl::getUsage() {
    ScopedLock lock(m_lock);
    Usage usage;
    usage.usedMemoryGross = m_usedMemoryGross;
    usage.usedMemoryNet = m_usedMemoryNet;
    usage.reservedFree = m_reservedFree;
    usage.totalPollSize = m_totalPollSize;
    usage.freePages = m_freePageCount;
    usage.singleAllocations = m_singleAllocations.size();
    usage.helperOutstanding = m_requestForMoreAllocationHelper != nullptr;
    return usage;
}

void MemoryAllocationHelper::update(RcStatus a_val) {
    POOL_CHECK(a_val == 0 || a_val == RC_ABORTED || a_val == RC_TIME_OUT, "a_val == RC_ABORTED || a_val == RC_TIME_OUT",
               " a_val=" << a_val << " ");
    m_rc = a_val;
    MemoryHelperThread* worker = MemoryHelperThread::instance();
    worker->addAction(trackedNew<MemoryHelperThread::ActionWrapper>("ActionWrapper", __FILE__, __LINE__,
                                                                      static_cast<ActiveObject::Action*>(this)));
}

void MemoryAllocationHelper::run() {
    // This helper is gone once its request is done.
    MemoryPoolImpl* pool = m_pool;
    const RcStatus rc = m_rc;
    ScopedLock lock(pool->m_lock);
    pool->requestForMoreAllocationDoneLocked(rc);
    if (rc == 0) pool->giveMemoryToWaiterLocked();
}

MemoryHelperThread::MemoryHelperThread() : ActiveObject("MemoryHelperThread", &s_forceVerbose) { open(); }
