#pragma once
#include "ActiveObject.h"
#include "CountedWatchedContainer.h"
#include "Future.h"
#include "MemoryAllocatorInterface.h"
#include "ModuleMemoryInformation.h"
#include "Mutex.h"
#include "RcStatus.h"
#include "SequentialRequestsManager.h"
#include "Singleton.h"
#include "Types.h"
#include "WaitingRequestsQueue.h"

#include <list>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

class MemoryAllocationHelper;

// Where a request's segments go. Written under the pool's lock until the request's future is set.
struct MemoryTargetBuffer {
    std::vector<MemorySegment> m_segments;
    u32 m_totalBytes = 0;
    // Every segment but the last has the first one's size, and none is larger.
    bool m_uniformSegments = true;
    u32 m_firstSegmentSize = 0;
    // The first segment's owner; MemorySegment::NoOwner once segments of several owners were added.
    ModuleMemoryInformation* m_commonOwner = nullptr;
};

// A request for memory waiting in its module's queue; the queue deletes it once it is served.
class MemoryRequest : public WaitingRequestsQueue_Internal::ISequentialItem {
public:
    MemoryRequest(u64 traceId, MemoryTargetBuffer* buffer, u32 bytes, ModuleMemoryInformation* mmi, u64 startTime)
        : clientTraceId(traceId), targetBuffer(buffer), requestedBytes(bytes), module(mmi), startTime(startTime) {}

    u64 clientTraceId;
    MemoryTargetBuffer* targetBuffer;
    // The bytes still to be given.
    u32 requestedBytes;
    ModuleMemoryInformation* module;
    // Set to 0 when the request is complete.
    FutureInternal::Future<RcStatus> future;
    // Process-clock milliseconds (getTimestamp).
    u64 startTime;
};

// The memory pool: grows by 2 MiB blocks cut into pages of the chunk size, hands pages to modules against their
// reservations and limits, serves waiting requests in arrival order when memory comes back, and reports.
class MemoryPoolImpl : public MemoryAllocatorInterface {
public:
    // Whether a module can be given memory now: exactly one flag is true.
    class FreeBytesInfo {
    public:
        FreeBytesInfo(bool freeInMmi, bool emptyPool, u64 free);
        u64 m_free = 0;
        bool isAbleToGetMemory = false;
        bool isEmptyMemPool = false;
        bool isFullMmi = false;
    };

    MemoryPoolImpl();
    // Only a pool that never carved a page may go.
    ~MemoryPoolImpl() override;
    MemoryPoolImpl(const MemoryPoolImpl&) = delete;
    MemoryPoolImpl& operator=(const MemoryPoolImpl&) = delete;

    // The process-wide pool, created on first use and never destroyed.
    static MemoryPoolImpl* instance();

    void freeSegments(std::vector<MemorySegment>& segments, int fromIndex) override;
    // The caller's segment loses its memory.
    void freeSegment(MemorySegment& segment) override;
    void adjustUsage(int delta) override;
    u32 getChunkSize() override;
    virtual void printMemoryUsage();
    virtual void freeSingleAllocation(u8* pointer, u32 size);
    // A block kept out of the tracked byte count; the future is set at once.
    virtual FutureInternal::Future<RcStatus> allocateSingle(u32 size, u8** out);
    virtual bool isSingleAllocationSupported() { return false; }
    virtual u32 getMaxSingleAllocationSize() { return 0x200000; }

    // Set before any page is carved: at least 16 bytes and a multiple of 8, room for a free page's two links.
    void setChunkSize(u32 chunkSize);
    // The pool asks for more memory while its carved bytes are below this.
    void setMaxPoolSize(u64 maxPoolSize);
    // A record named `name` (unique), subscribed to the waiting list. A reservation (a multiple of the chunk size,
    // only for a record that no other record names as parent) is held back from free pages at once, carving
    // more when needed; a reservation the pool cannot back is refused.
    ModuleMemoryInformation* registerModule(const std::string& name, u64 reservedBytes, u64 limitBytes,
                                            ModuleMemoryInformation* parent);
    // Gives `bytes` to the module into `buffer`. When no request waits before it, as much as the memory allows is
    // given at once; what is left is queued as a request and served in its turn. True when every byte was given
    // at once; otherwise `whenServed` (when given) receives the request's future, set to 0 once every byte was
    // given. The buffer must live until then.
    bool submitRequest(ModuleMemoryInformation* mmi, u64 clientTraceId, MemoryTargetBuffer* buffer, u32 bytes,
                       u64 startTime, FutureInternal::Future<RcStatus>* whenServed);
    // A pool whose usage the report sums up after its own; the sub-pools form a tree.
    void addSubPool(MemoryPoolImpl* subPool);

    // The counts, read under the lock.
    struct Usage {
        u64 usedMemoryGross = 0;
        u64 usedMemoryNet = 0;
        u64 reservedFree = 0;
        u64 totalPollSize = 0;
        u64 freePages = 0;
        u64 singleAllocations = 0;
        bool helperOutstanding = false;
    };
    Usage getUsage();

protected:
    friend class MemoryAllocationHelper;

    FreeBytesInfo getFreeBytesLocked(ModuleMemoryInformation* mmi);
    MemorySegment getMemorySegmentLocked(u32 bytes, ModuleMemoryInformation* mmi);
    // The pages and counts of getMemorySegmentLocked: the page for a segment of `size` bytes.
    u8* takePageLocked(u32 size, ModuleMemoryInformation* mmi);
    FreeBytesInfo giveMemoryIfPreparedToTakeLocked(ModuleMemoryInformation* mmi, MemoryRequest* request);
    // Appends segments for `requestedBytes` (lowered as they are given) while the module can get memory; the
    // last answer of getFreeBytesLocked, which says isAbleToGetMemory when every byte was given.
    FreeBytesInfo giveSegmentsLocked(ModuleMemoryInformation* mmi, MemoryTargetBuffer* buffer, u32& requestedBytes);
    void giveMemoryToWaiterLocked();
    void freeSegmentsLocked(std::vector<MemorySegment>& segments, int fromIndex);
    void freeSegmentsLocked(MemorySegment* begin, MemorySegment* end);
    // After a free: the owners (in address order) get back their place in the waiting order, the waiting walk
    // runs, then each owner's own requests are tried once more.
    void serveAfterFreeLocked(ModuleMemoryInformation* const* first, ModuleMemoryInformation* const* last);
    // Out of line, like the queueing and the growth below: the paths that serve at once and free stay short.
    [[gnu::noinline]] void serveWaitersAfterFreeLocked(ModuleMemoryInformation* const* first,
                                                       ModuleMemoryInformation* const* last);
    // What submitRequest queues: `remaining` bytes still to give. `triedAtOnce` when no request waited before it
    // and it was given what the memory allowed; `passedOver` when that found the module full.
    [[gnu::noinline]] bool queueRequestLocked(ModuleMemoryInformation* mmi, u64 clientTraceId,
                                              MemoryTargetBuffer* buffer, u32 remaining, u64 startTime,
                                              bool triedAtOnce, bool passedOver,
                                              FutureInternal::Future<RcStatus>* whenServed);
    void freeSegmentContentLocked(MemorySegment& segment);
    void freeChunkFromMmiLocked(u32 netBytes, ModuleMemoryInformation* mmi);
    [[gnu::noinline]] void requestForMoreAllocationLocked();
    void requestForMoreAllocationDoneLocked(RcStatus rc);
    void allocatePagesFromSingleAllocationLocked(u8* memory, u32 allocationSize);
    void monitorPendingMemoryAllocations();
    struct PendingEntry {
        u64 clientTraceId;
        std::string name;
        u32 requestedBytes;
        u64 pendingSec;
    };
    static std::string formatPendingClients(u32 thresholdSec, const std::list<PendingEntry>& entries);
    bool isEmptyLocked() const { return m_freePages.next == &m_freePages; }
    static u64 getMmiPendingRequestsLocked(ModuleMemoryInformation* mmi) {
        return mmi->m_moduleInformation.m_waitingRequestsQueue.size();
    }
    static bool hasPendingRequestsLocked(ModuleMemoryInformation* mmi) {
        return !mmi->m_moduleInformation.m_waitingRequestsQueue.empty();
    }
    // Bytes of carved pages neither handed out nor held for reservations; 0 rather than a wrapped count.
    u64 generalFreeMemoryLocked() const;
    // Single allocations freed under the lock (m_pendingFrees) are given back to the guard once it is released:
    // a failing free starts the memory report, which takes the lock.
    static void releaseMemory(const std::vector<u8*>& released);

    // The first two words of a free page.
    struct PageLinks {
        PageLinks* next;
        PageLinks* prev;
    };
    void appendPageLocked(u8* page);
    void collectPendingLocked(u32 thresholdSec, std::list<PendingEntry>& entries);

    // The fields below are guarded by m_lock, except the sub-pool set (m_subPoolsLock).

    u32 m_chunkSize = 0;
    Mutex m_lock;
    Mutex m_subPoolsLock;
    PageLinks m_freePages;
    u64 m_freePageCount = 0;
    std::list<std::pair<u8*, u32>> m_singleAllocations;
    CountedWatchedContainer<std::map<std::string, ModuleMemoryInformation*>> m_mmis;
    CountedWatchedContainer<std::set<MemoryPoolImpl*>> m_subPools;
    u64 m_usedMemoryGross = 0;
    u64 m_usedMemoryNet = 0;
    u64 m_reservedFree = 0;
    u64 m_totalPollSize = 0;
    u64 m_maxPoolSize = 0;
    MemoryAllocationHelper* m_requestForMoreAllocationHelper = nullptr;
    u64 m_lastAllocatedLogMs = 0;
    u64 m_allocatedLogIntervalMs = 1000;
    u64 m_lastPendingCheckMs = 0;
    u64 m_pendingCheckIntervalMs = 1000;
    SequentialRequestsManager m_waitingList;
    std::vector<u8*> m_pendingFrees;
};

// One request for more memory, from its start until its completion: told the allocation's result by the future,
// it completes the request on the "MemoryHelperThread" worker, under the pool's lock.
class MemoryAllocationHelper : public FutureInternal::FutureObserver<RcStatus>, public ActiveObject::Action {
public:
    MemoryAllocationHelper(MemoryPoolImpl* pool, u32 size) : m_pool(pool), m_size(size) {}
    ~MemoryAllocationHelper() override = default;
    // On the thread that sets the future, holding no pool lock: only queues the completion.
    void update(RcStatus a_val) override;
    // Destroys this helper.
    void run() override;

    MemoryPoolImpl* m_pool;
    RcStatus m_rc = RC_ERROR;
    u8* m_memory = nullptr;
    u32 m_size;
};

// The worker that completes requests for more memory.
class MemoryHelperThread : public ActiveObject, public Singleton<MemoryHelperThread, MemoryHelperThread> {
public:
    // Runs another action without owning it.
    class ActionWrapper : public ActiveObject::Action {
    public:
        explicit ActionWrapper(ActiveObject::Action* action) : m_action(action) {}
        void run() override { m_action->run(); }

    private:
        ActiveObject::Action* m_action;
    };

    // Opens its one worker.
    MemoryHelperThread();
    using Singleton<MemoryHelperThread, MemoryHelperThread>::instance;

    static inline bool s_forceVerbose = false;
};
