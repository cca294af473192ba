#include "ChildSupport.h"
#include "FatalStop.h"
#include "MemShield.h"
#include "MemoryHeap.h"
#include "MemoryPool.h"
#include "ServiceThreads.h"
#include "TestSupport.h"
#include "Timer.h"
#include "TrackedAllocation.h"

#include <cstring>
#include <regex>
#include <string>
#include <vector>

namespace {

constexpr u32 kChunk = 4096;
constexpr u32 kBlock = 0x200000;
constexpr u64 kPagesPerBlock = kBlock / kChunk;

// A pool that records the blocks it carves, and may hold back the answer to its next request for more memory.
class TestPool : public MemoryPoolImpl {
public:
    FutureInternal::Future<RcStatus> allocateSingle(u32 size, u8** out) override {
        if (!m_deferNext) {
            FutureInternal::Future<RcStatus> future = MemoryPoolImpl::allocateSingle(size, out);
            blocks.push_back(*out);
            return future;
        }
        m_deferNext = false;
        m_deferredOut = out;
        m_deferredSize = size;
        return deferred;
    }
    // The next request for more memory waits for completeDeferred.
    void deferNext() {
        m_deferNext = true;
        deferred = FutureInternal::Future<RcStatus>();
    }
    // Completes it: with 0 the block comes first, as the allocation would have made it.
    void completeDeferred(RcStatus rc) {
        if (rc == 0) {
            (void)MemoryPoolImpl::allocateSingle(m_deferredSize, m_deferredOut);
            blocks.push_back(*m_deferredOut);
        }
        deferred.set(rc);
    }

    // Sets the counts and asks whether the module can be given memory; the counts go back to 0 afterwards.
    FreeBytesInfo probe(ModuleMemoryInformation* mmi, u64 total, u64 gross, u64 reservedFree) {
        ScopedLock lock(m_lock);
        m_chunkSize = kChunk;
        m_totalPollSize = total;
        m_usedMemoryGross = gross;
        m_reservedFree = reservedFree;
        const FreeBytesInfo info = getFreeBytesLocked(mmi);
        m_totalPollSize = m_usedMemoryGross = m_reservedFree = 0;
        return info;
    }
    void setCounts(u64 total, u64 gross, u64 net, u64 reservedFree) {
        ScopedLock lock(m_lock);
        m_totalPollSize = total;
        m_usedMemoryGross = gross;
        m_usedMemoryNet = net;
        m_reservedFree = reservedFree;
    }

    std::vector<u8*> blocks;
    FutureInternal::Future<RcStatus> deferred;

private:
    bool m_deferNext = false;
    u8** m_deferredOut = nullptr;
    u32 m_deferredSize = 0;
};

// Pools that carved pages may never go; they stay reachable here.
std::vector<TestPool*>& keptPools() {
    static auto* pools = new std::vector<TestPool*>();
    return *pools;
}

TestPool* newPool(u32 chunk = kChunk, u64 maxPoolSize = kBlock) {
    auto* pool = new TestPool();
    keptPools().push_back(pool);
    if (chunk != 0) pool->setChunkSize(chunk);
    pool->setMaxPoolSize(maxPoolSize);
    return pool;
}

struct Taken {
    MemoryTargetBuffer buffer;
    bool atOnce = false;
    // Set when the request had to wait.
    FutureInternal::Future<RcStatus> future;
    bool served() const { return atOnce || future.isSet(); }
};

// A request of `bytes` for `mmi` into a buffer of its own, started `waitedMs` ago.
Taken* request(MemoryPoolImpl* pool, ModuleMemoryInformation* mmi, u32 bytes, u64 traceId = 1, u64 waitedMs = 0) {
    static auto* kept = new std::vector<Taken*>();  // the pool writes into the buffer until the request completes
    auto* taken = new Taken();
    kept->push_back(taken);
    taken->atOnce = pool->submitRequest(mmi, traceId, &taken->buffer, bytes,
                                        static_cast<u64>(Timer::instance()->getTimestamp()) - waitedMs,
                                        &taken->future);
    return taken;
}

// The message column of each line that `component` logged from `method`, checked to carry no sub-second digits.
std::vector<std::string> messagesOf(const std::vector<std::string>& lines, const std::string& columns) {
    std::vector<std::string> messages;
    for (const std::string& line : lines) {
        const size_t at = line.find(columns);
        if (at == std::string::npos) continue;
        EXPECT_TRUE(std::regex_search(line, std::regex("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d,"))) << line;
        messages.push_back(line.substr(at + columns.size()));
    }
    return messages;
}

std::vector<std::string> reportOf(MemoryPoolImpl* pool) {
    sharedClient().clear();
    pool->printMemoryUsage();
    return messagesOf(sharedClient().lines(), ",TESK,MemoryPoolImpl,printMemoryUsage,");
}

// The "allocated" line and the pending check each run once a second of the coarse clock has passed since the last
// time, which is 0 in a new pool.
bool clockPastOneSecond() {
    return waitUntil([] { return Timer::instance()->getLastTimestampMs_Inaccurate(false) >= 1000; }, 3000);
}

// Service threads register with the memory watcher through tracked allocations of their own: counts are compared
// only once they have.
u64 allocatedBytes() {
    static const bool servicesReady = (waitForServiceThreads(), true);
    (void)servicesReady;
    return MemShield::instance()->m_allocatedBytes.load();
}

const std::string kFreshPool = "Memory POOL:  m_usedMemoryGross=0  m_usedMemoryNet=0  free=0\n";
const std::string kNoSubPools = "subMemPools: totalFree=0  totalUsed=0  totalFrag=0  maxFree=0  maxUsed=0 \n";

class Recorder : public FutureInternal::FutureObserver<RcStatus> {
public:
    Recorder(std::vector<std::string>* order, std::string label) : m_order(order), m_label(std::move(label)) {}
    void update(RcStatus) override { m_order->push_back(m_label); }

private:
    std::vector<std::string>* m_order;
    std::string m_label;
};

}  // namespace

TEST(MemoryPoolTest, FreshPoolReportsZerosAndNoPendingRequest) {
    TestPool* pool = newPool(0, 0);
    EXPECT_EQ(reportOf(pool), (std::vector<std::string>{kFreshPool, kNoSubPools}));
    for (const std::string& line : sharedClient().linesWith(",TESK,")) {
        EXPECT_EQ(line.find(",TESK,MemoryPoolImpl,monitorPendingMemoryAllocations,"), std::string::npos) << line;
        EXPECT_NE(line.find(",Info,"), std::string::npos) << line;
    }
    EXPECT_EQ(pool->getChunkSize(), 0u);
    EXPECT_FALSE(pool->isSingleAllocationSupported());
    EXPECT_EQ(pool->getMaxSingleAllocationSize(), kBlock);
    EXPECT_EQ(MemoryPoolImpl::instance(), MemoryPoolImpl::instance());
}

// The tracked allocator's memory report prints the process pool's usage, then the heap's.
TEST(MemoryPoolTest, MemoryReportPrintsThePoolThenTheHeap) {
    sharedClient().clear();
    MemShield::instance()->printAllocations();
    const auto lines = sharedClient().lines();
    size_t pool = lines.size(), sub = lines.size(), heap = lines.size();
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].find(",TESK,MemoryPoolImpl,printMemoryUsage,Memory POOL: ") != std::string::npos) pool = i;
        if (lines[i].find(",TESK,MemoryPoolImpl,printMemoryUsage,subMemPools:") != std::string::npos) sub = i;
        if (lines[i].find(",NON,MemoryHeap,printMemoryUsage,Memory HEAP: ") != std::string::npos) heap = i;
    }
    ASSERT_LT(heap, lines.size());
    EXPECT_LT(pool, sub);
    EXPECT_LT(sub, heap);
}

TEST(MemoryPoolTest, FirstRequestCarvesOneBlockIntoPagesHandedOutFromTheEnd) {
    TestPool* pool = newPool();
    ModuleMemoryInformation* root = pool->registerModule("root", 0, ModuleMemoryInformation::kNoLimit, nullptr);
    ModuleMemoryInformation* mid = pool->registerModule("mid", 0, ModuleMemoryInformation::kNoLimit, root);
    ModuleMemoryInformation* modA = pool->registerModule("modA", 0, ModuleMemoryInformation::kNoLimit, mid);
    ASSERT_TRUE(clockPastOneSecond());
    const u64 counter = allocatedBytes();
    sharedClient().clear();
    Taken* first = request(pool, modA, 100);
    const auto carving =
        messagesOf(sharedClient().lines(), ",TESK,MemoryPoolImpl,allocatePagesFromSingleAllocationLocked,");
    EXPECT_EQ(carving, std::vector<std::string>{"allocated 2097152 bytes\n"});
    // The pool's block stays out of the tracked total; the request's own bookkeeping does not.
    EXPECT_LT(allocatedBytes() - counter, 1024u);

    ASSERT_EQ(pool->blocks.size(), 1u);
    u8* block = pool->blocks[0];
    MemoryPoolImpl::Usage usage = pool->getUsage();
    EXPECT_EQ(usage.totalPollSize, 2097152u);
    EXPECT_EQ(usage.freePages, kPagesPerBlock - 1);
    EXPECT_EQ(usage.singleAllocations, 1u);
    EXPECT_EQ(usage.usedMemoryGross, kChunk);
    EXPECT_EQ(usage.usedMemoryNet, 100u);
    EXPECT_FALSE(usage.helperOutstanding);
    for (ModuleMemoryInformation* mmi : {modA, mid, root}) EXPECT_EQ(mmi->getCurrentlyUsedBytes(), kChunk) << mmi->m_name;

    EXPECT_TRUE(first->atOnce);
    ASSERT_EQ(first->buffer.m_segments.size(), 1u);
    const MemorySegment& segment = first->buffer.m_segments[0];
    EXPECT_EQ(segment.getMemory(), block + 511 * kChunk);
    EXPECT_EQ(segment.getSizeBytes(), 100u);
    EXPECT_EQ(segment.getOwner(), modA);
    EXPECT_EQ(first->buffer.m_totalBytes, 100u);
    EXPECT_EQ(first->buffer.m_firstSegmentSize, 100u);
    EXPECT_EQ(first->buffer.m_commonOwner, modA);
    EXPECT_TRUE(first->buffer.m_uniformSegments);

    // Every byte past a free page's two links holds the carving fill.
    std::vector<u8> fill(kChunk - 16, 0xFE);
    EXPECT_EQ(std::memcmp(block + 16, fill.data(), fill.size()), 0);
    EXPECT_EQ(std::memcmp(block + 511 * kChunk + 16, fill.data(), fill.size()), 0);

    Taken* second = request(pool, modA, 100);
    ASSERT_EQ(second->buffer.m_segments.size(), 1u);
    EXPECT_EQ(second->buffer.m_segments[0].getMemory(), block + 510 * kChunk);
    EXPECT_EQ(pool->getUsage().totalPollSize, 2097152u);  // no more memory while pages are left
}

TEST(MemoryPoolTest, TargetBufferTracksUniformSizesAndTheCommonOwner) {
    const struct {
        const char* what;
        std::vector<std::pair<int, u32>> requests;  // module (0 A, 1 B), bytes
        std::vector<u32> sizes;
        bool uniform;
        bool commonOwnerIsA;
    } cases[] = {
        {"one request over three pages", {{0, 8292}}, {4096, 4096, 100}, true, true},
        {"a short segment in the middle", {{0, 4196}, {0, 100}}, {4096, 100, 100}, false, true},
        {"a larger segment after the first", {{0, 100}, {0, 4096}}, {100, 4096}, false, true},
        {"equal short segments", {{0, 100}, {0, 100}}, {100, 100}, true, true},
        {"a second owner", {{0, 100}, {1, 100}}, {100, 100}, true, false},
    };
    for (const auto& c : cases) {
        TestPool* pool = newPool();
        ModuleMemoryInformation* modules[] = {
            pool->registerModule("A", 0, ModuleMemoryInformation::kNoLimit, nullptr),
            pool->registerModule("B", 0, ModuleMemoryInformation::kNoLimit, nullptr)};
        MemoryTargetBuffer buffer;
        u32 total = 0;
        for (const auto& [module, bytes] : c.requests) {
            EXPECT_TRUE(
                pool->submitRequest(modules[module], 5, &buffer, bytes, Timer::instance()->getTimestamp(), nullptr))
                << c.what;
            total += bytes;
        }
        std::vector<u32> sizes;
        for (const MemorySegment& segment : buffer.m_segments) sizes.push_back(segment.getSizeBytes());
        EXPECT_EQ(sizes, c.sizes) << c.what;
        EXPECT_EQ(buffer.m_totalBytes, total) << c.what;
        EXPECT_EQ(buffer.m_firstSegmentSize, c.sizes[0]) << c.what;
        EXPECT_EQ(buffer.m_uniformSegments, c.uniform) << c.what;
        EXPECT_EQ(buffer.m_commonOwner, c.commonOwnerIsA ? modules[0] : MemorySegment::NoOwner) << c.what;
        EXPECT_EQ(pool->getUsage().usedMemoryNet, total) << c.what;
        pool->freeSegments(buffer.m_segments, 0);
        EXPECT_EQ(pool->getUsage().usedMemoryGross, 0u) << c.what;
        EXPECT_EQ(pool->getUsage().usedMemoryNet, 0u) << c.what;
    }
}

TEST(MemoryPoolTest, ReservationIsHeldInFreePagesAndComesBackOnFree) {
    TestPool* pool = newPool();
    ModuleMemoryInformation* reserved = pool->registerModule("res", 8192, ModuleMemoryInformation::kNoLimit, nullptr);
    ASSERT_NE(reserved, nullptr);
    // The reservation is backed at once.
    EXPECT_EQ(pool->getUsage().totalPollSize, u64{kBlock});
    EXPECT_EQ(pool->getUsage().reservedFree, 8192u);
    EXPECT_EQ(reportOf(pool)[0], "Memory POOL:  m_usedMemoryGross=0  m_usedMemoryNet=0  free=2088960\n");

    std::vector<MemorySegment> segments;
    for (u64 expected : {4096u, 0u, 0u}) {
        Taken* taken = request(pool, reserved, 100);
        segments.push_back(taken->buffer.m_segments.at(0));
        EXPECT_EQ(pool->getUsage().reservedFree, expected) << segments.size();
    }
    // Freed while the used bytes are above the reservation, a page goes back to the general memory.
    for (u64 expected : {0u, 4096u, 8192u}) {
        pool->freeSegment(segments.back());
        segments.pop_back();
        EXPECT_EQ(pool->getUsage().reservedFree, expected) << segments.size();
    }
    EXPECT_EQ(reserved->getCurrentlyUsedBytes(), 0u);
}

TEST(MemoryPoolTest, FreedPageIsReusedFirstAndFilledOnlyInRegisteredMode) {
    for (bool registered : {false, true}) {
        TestPool* pool = newPool();
        ModuleMemoryInformation* mmi = pool->registerModule("A", 0, ModuleMemoryInformation::kNoLimit, nullptr);
        MemorySegment a = request(pool, mmi, 100)->buffer.m_segments.at(0);
        MemorySegment b = request(pool, mmi, 100)->buffer.m_segments.at(0);
        u8* page = a.getMemory();
        std::memset(page, 0x11, kChunk);
        MemShield::s_enabled = registered;  // read at each free; the guard itself stays count-only
        pool->freeSegment(a);
        MemShield::s_enabled = false;
        EXPECT_EQ(a.getMemory(), nullptr);
        std::vector<u8> expected(kChunk - 16, registered ? 0xEE : 0x11);
        EXPECT_EQ(std::memcmp(page + 16, expected.data(), expected.size()), 0) << registered;
        EXPECT_EQ(request(pool, mmi, 100)->buffer.m_segments.at(0).getMemory(), page) << registered;
        EXPECT_NE(b.getMemory(), page);
    }
}

TEST(MemoryPoolTest, SegmentWithoutOwnerFreesItsOwnAllocationAndNoCount) {
    TestPool* pool = newPool();
    ModuleMemoryInformation* mmi = pool->registerModule("A", 0, ModuleMemoryInformation::kNoLimit, nullptr);
    request(pool, mmi, 100);
    const MemoryPoolImpl::Usage before = pool->getUsage();
    const u64 counter = allocatedBytes();
    MemorySegment own(100, trackedArrayNew<u8>(100, "u8", __FILE__, __LINE__), nullptr);
    pool->freeSegment(own);
    EXPECT_EQ(own.getMemory(), nullptr);
    EXPECT_EQ(allocatedBytes(), counter);
    const MemoryPoolImpl::Usage after = pool->getUsage();
    EXPECT_EQ(after.usedMemoryGross, before.usedMemoryGross);
    EXPECT_EQ(after.usedMemoryNet, before.usedMemoryNet);
    EXPECT_EQ(after.freePages, before.freePages);
    EXPECT_EQ(mmi->getCurrentlyUsedBytes(), kChunk);
}

TEST(MemoryPoolTest, WaitingRequestsAreServedInArrivalOrderAcrossModules) {
    TestPool* pool = newPool();
    ModuleMemoryInformation* filler = pool->registerModule("filler", 0, ModuleMemoryInformation::kNoLimit, nullptr);
    ModuleMemoryInformation* a = pool->registerModule("A", 0, ModuleMemoryInformation::kNoLimit, nullptr);
    ModuleMemoryInformation* b = pool->registerModule("B", 0, ModuleMemoryInformation::kNoLimit, nullptr);
    Taken* all = request(pool, filler, kBlock);
    ASSERT_TRUE(all->served());
    ASSERT_EQ(all->buffer.m_segments.size(), kPagesPerBlock);

    // The pool is empty at its maximum: the walk stops at the first waiting request and logs nothing.
    sharedClient().clear();
    std::vector<std::string> order;
    Recorder r1(&order, "A1"), r2(&order, "B2"), r3(&order, "A3");
    Taken* a1 = request(pool, a, 100);
    Taken* b2 = request(pool, b, 100);
    Taken* a3 = request(pool, a, 100);
    for (const std::string& line : sharedClient().lines()) EXPECT_EQ(line.find(",TESK,"), std::string::npos) << line;
    a1->future.addObserver(&r1);
    b2->future.addObserver(&r2);
    a3->future.addObserver(&r3);
    EXPECT_TRUE(order.empty());
    const auto report = reportOf(pool);
    EXPECT_EQ(report.at(1), "A: used=0 pending=2 NAs=2\n");
    EXPECT_EQ(report.at(2), "B: used=0 pending=1 NAs=1\n");

    // Two pages back: the two oldest requests, whatever their module, then the third once a page more comes.
    pool->freeSegments(all->buffer.m_segments, static_cast<int>(kPagesPerBlock - 2));
    EXPECT_EQ(order, (std::vector<std::string>{"A1", "B2"}));
    EXPECT_FALSE(a3->served());
    pool->freeSegments(all->buffer.m_segments, static_cast<int>(kPagesPerBlock - 3));
    EXPECT_EQ(order, (std::vector<std::string>{"A1", "B2", "A3"}));
    for (Taken* taken : {a1, b2, a3}) EXPECT_EQ(taken->future.wait(), 0);
    EXPECT_EQ(a->getCurrentlyUsedBytes(), 2 * kChunk);
    EXPECT_EQ(b->getCurrentlyUsedBytes(), kChunk);
}

TEST(MemoryPoolTest, FullModuleIsPassedOverUntilItFreesMemory) {
    TestPool* pool = newPool();
    ModuleMemoryInformation* full = pool->registerModule("full", 0, kChunk, nullptr);
    ModuleMemoryInformation* other = pool->registerModule("other", 0, ModuleMemoryInformation::kNoLimit, nullptr);
    Taken* first = request(pool, full, 100);
    ASSERT_TRUE(first->served());
    Taken* second = request(pool, full, 100);
    EXPECT_FALSE(second->served());
    // Later requests of other modules are served meanwhile.
    Taken* served = request(pool, other, 100);
    EXPECT_TRUE(served->served());
    EXPECT_FALSE(second->served());
    EXPECT_EQ(reportOf(pool).at(1), "full: limit=4096 used=4096 pending=1 NAs=1\n");

    pool->freeSegment(first->buffer.m_segments[0]);
    ASSERT_TRUE(second->served());
    EXPECT_EQ(second->buffer.m_segments.size(), 1u);
    EXPECT_EQ(full->getCurrentlyUsedBytes(), kChunk);
    EXPECT_EQ(reportOf(pool).at(1), "full: limit=4096 used=4096 NAs=1\n");
}

// A module that reaches its limit while the waiting walk serves it steps out of the waiting order without holding
// up the requests behind it; once it frees memory it is back in its place, ahead of requests that came later.
TEST(MemoryPoolTest, ModuleAtItsLimitInTheWaitingOrderKeepsItsTurn) {
    TestPool* pool = newPool();
    ModuleMemoryInformation* capped = pool->registerModule("capped", 0, 2 * kChunk, nullptr);
    ModuleMemoryInformation* filler = pool->registerModule("filler", 0, ModuleMemoryInformation::kNoLimit, nullptr);
    ModuleMemoryInformation* older = pool->registerModule("older", 0, ModuleMemoryInformation::kNoLimit, nullptr);
    ModuleMemoryInformation* newer = pool->registerModule("newer", 0, ModuleMemoryInformation::kNoLimit, nullptr);
    Taken* held = request(pool, capped, 100);
    ASSERT_TRUE(held->served());
    Taken* all = request(pool, filler, (kPagesPerBlock - 1) * kChunk);
    ASSERT_TRUE(all->served());
    // The pool is empty at its maximum: both wait, the capped module first, its request not yet at the limit.
    Taken* cappedWait = request(pool, capped, 2 * kChunk);
    Taken* olderWait = request(pool, older, 100);
    ASSERT_FALSE(cappedWait->served());
    ASSERT_FALSE(olderWait->served());

    // Two pages: the capped module takes one and is then full; the request behind it gets the other.
    pool->freeSegments(all->buffer.m_segments, static_cast<int>(kPagesPerBlock - 3));
    EXPECT_EQ(cappedWait->buffer.m_segments.size(), 1u);
    EXPECT_FALSE(cappedWait->served());
    EXPECT_EQ(capped->getCurrentlyUsedBytes(), 2 * kChunk);
    EXPECT_TRUE(olderWait->served());
    EXPECT_EQ(older->getCurrentlyUsedBytes(), kChunk);

    // A later request waits; the capped module frees a page, which goes to its own older request.
    Taken* newerWait = request(pool, newer, 100);
    ASSERT_FALSE(newerWait->served());
    pool->freeSegment(held->buffer.m_segments[0]);
    EXPECT_TRUE(cappedWait->served());
    EXPECT_EQ(cappedWait->buffer.m_segments.size(), 2u);
    EXPECT_EQ(capped->getCurrentlyUsedBytes(), 2 * kChunk);
    EXPECT_FALSE(newerWait->served());
    EXPECT_EQ(newer->getCurrentlyUsedBytes(), 0u);

    pool->freeSegments(all->buffer.m_segments, static_cast<int>(kPagesPerBlock - 4));
    EXPECT_TRUE(newerWait->served());
}

TEST(MemoryPoolTest, MoreMemoryOnlyWhenThePoolIsEmptyAndBelowItsMaximum) {
    TestPool* pool = newPool(kChunk, 2 * u64{kBlock});
    ModuleMemoryInformation* mmi = pool->registerModule("A", 0, ModuleMemoryInformation::kNoLimit, nullptr);
    const struct {
        u32 bytes;
        bool served;
        u64 total, freePages;
    } steps[] = {
        {100, true, kBlock, kPagesPerBlock - 1},
        {(kPagesPerBlock - 1) * kChunk, true, kBlock, 0},
        {100, true, 2 * u64{kBlock}, kPagesPerBlock - 1},
        {(kPagesPerBlock - 1) * kChunk, true, 2 * u64{kBlock}, 0},
        {100, false, 2 * u64{kBlock}, 0},  // at the maximum: the request waits
    };
    int step = 0;
    for (const auto& s : steps) {
        Taken* taken = request(pool, mmi, s.bytes);
        EXPECT_EQ(taken->served(), s.served) << step;
        const MemoryPoolImpl::Usage usage = pool->getUsage();
        EXPECT_EQ(usage.totalPollSize, s.total) << step;
        EXPECT_EQ(usage.freePages, s.freePages) << step;
        EXPECT_EQ(usage.singleAllocations, s.total / kBlock) << step;
        EXPECT_FALSE(usage.helperOutstanding) << step;
        ++step;
    }
}

TEST(MemoryPoolTest, AllocateSingleLeavesTheTrackedCountUnchanged) {
    TestPool* pool = newPool();
    const u64 counter = allocatedBytes();
    u8* block = nullptr;
    FutureInternal::Future<RcStatus> future = pool->MemoryPoolImpl::allocateSingle(kBlock, &block);
    ASSERT_NE(block, nullptr);
    EXPECT_TRUE(future.isSet());
    EXPECT_EQ(future.wait(), 0);
    EXPECT_LT(allocatedBytes() - counter, 1024u);  // the future's own record only
    const u64 withBlock = allocatedBytes();
    pool->freeSingleAllocation(block, kBlock);
    EXPECT_EQ(allocatedBytes(), withBlock);
}

// A request for more memory that completes later goes through the helper's worker.
TEST(MemoryPoolTest, LateCompletionServesWaitersOnlyOnSuccess) {
    for (RcStatus failure : {RC_ABORTED, RC_TIME_OUT}) {
        TestPool* pool = newPool();
        ModuleMemoryInformation* mmi = pool->registerModule("A", 0, ModuleMemoryInformation::kNoLimit, nullptr);
        pool->deferNext();
        Taken* waiting = request(pool, mmi, 100);
        EXPECT_FALSE(waiting->served());
        EXPECT_TRUE(pool->getUsage().helperOutstanding);

        pool->completeDeferred(failure);
        ASSERT_TRUE(waitUntil([&] { return !pool->getUsage().helperOutstanding; }, 5000)) << failure;
        EXPECT_EQ(pool->getUsage().totalPollSize, 0u) << failure;
        EXPECT_FALSE(waiting->served()) << failure;

        // A later request asks again; this time the block arrives and both are served in order.
        pool->deferNext();
        Taken* later = request(pool, mmi, 100);
        EXPECT_TRUE(pool->getUsage().helperOutstanding);
        pool->completeDeferred(static_cast<RcStatus>(0));
        ASSERT_TRUE(waitUntil([&] { return later->served(); }, 5000)) << failure;
        EXPECT_TRUE(waiting->served());
        EXPECT_EQ(waiting->buffer.m_segments.at(0).getMemory(), pool->blocks.at(0) + 511 * kChunk);
        EXPECT_EQ(later->buffer.m_segments.at(0).getMemory(), pool->blocks.at(0) + 510 * kChunk);
        const MemoryPoolImpl::Usage usage = pool->getUsage();
        EXPECT_EQ(usage.totalPollSize, u64{kBlock});
        EXPECT_FALSE(usage.helperOutstanding);
    }
}

// Waits past the error threshold, and the exact threshold, are pinned with the stand-in's clock
// (memory_pool_clock_test): a start half an hour back may lie before the clock's zero.
TEST(MemoryPoolTest, PendingRequestsAreReportedPastTheInfoThreshold) {
    ASSERT_TRUE(clockPastOneSecond());
    const std::string head =
        " sec for clients: (clientTraceId,name,requestedBytes,pendingTime) (7,modA,100,";
    const struct {
        u64 waitedMs;
        std::vector<std::string> info, error;
    } cases[] = {
        {59000, {}, {}},
        {90000, {"Memory allocation pending time reaches threshold of 60" + head + "90)\n"}, {}},
    };
    for (const auto& c : cases) {
        TestPool* pool = newPool();
        ModuleMemoryInformation* filler = pool->registerModule("filler", 0, ModuleMemoryInformation::kNoLimit, nullptr);
        ModuleMemoryInformation* modA = pool->registerModule("modA", 0, ModuleMemoryInformation::kNoLimit, nullptr);
        request(pool, filler, (kPagesPerBlock - 1) * kChunk);
        // One page given, the rest still to give.
        Taken* pending = request(pool, modA, kChunk + 100, 7, c.waitedMs);
        ASSERT_FALSE(pending->served());
        sharedClient().clear();
        pool->printMemoryUsage();
        const auto lines = sharedClient().lines();
        std::vector<std::string> info, error;
        for (const std::string& line : lines) {
            const std::string columns = ",TESK,MemoryPoolImpl,monitorPendingMemoryAllocations,";
            if (line.find(",Info,") != std::string::npos) {
                for (auto& m : messagesOf({line}, columns)) info.push_back(m);
            } else {
                for (auto& m : messagesOf({line}, columns)) error.push_back(m);
            }
        }
        EXPECT_EQ(info, c.info) << c.waitedMs;
        EXPECT_EQ(error, c.error) << c.waitedMs;
    }
}

TEST(MemoryPoolTest, ModuleLinesShowOnlyWhatIsSet) {
    TestPool* pool = newPool();
    pool->registerModule("gamma", 0, ModuleMemoryInformation::kNoLimit, nullptr);
    ModuleMemoryInformation* beta = pool->registerModule("beta", 0, kChunk, nullptr);
    pool->registerModule("alpha", 8192, 16384, nullptr);
    request(pool, beta, 100);
    request(pool, beta, 100);
    beta->m_nas = 3;
    EXPECT_EQ(reportOf(pool), (std::vector<std::string>{
                                  "Memory POOL:  m_usedMemoryGross=4096  m_usedMemoryNet=100  free=2084864\n",
                                  "alpha: reserved=8192 limit=16384 used=0\n",
                                  "beta: limit=4096 used=4096 pending=1 NAs=3\n",
                                  "gamma: used=0\n",
                                  kNoSubPools,
                              }));
}

TEST(MemoryPoolTest, SubPoolsAreSummedAfterTheirOwnReports) {
    TestPool* parent = newPool(0, 0);
    TestPool* first = newPool(0, 0);
    TestPool* second = newPool(0, 0);
    parent->addSubPool(first);
    parent->addSubPool(second);
    first->setCounts(3 * u64{kChunk}, 2 * u64{kChunk}, 100, 0);
    // A net count lifted past the whole chunks (adjustUsage) counts no fragmentation rather than a wrapped one.
    second->setCounts(2 * u64{kChunk}, u64{kChunk}, 5000, 0);
    const auto report = reportOf(parent);
    first->setCounts(0, 0, 0, 0);
    second->setCounts(0, 0, 0, 0);
    ASSERT_EQ(report.size(), 6u);
    EXPECT_EQ(report[0], kFreshPool);
    EXPECT_EQ(report[5], "subMemPools: totalFree=8192  totalUsed=12288  totalFrag=8092  maxFree=4096  maxUsed=8192 \n");
}

// The counts never wrap: a module past its limit is full, reservations past the free pages leave no general
// memory, and extra chunks come only out of pages that are free and not held for another module.
TEST(MemoryPoolTest, FreeBytesNeverWrapOrPromiseMissingPages) {
    const struct {
        const char* what;
        u64 limit, used, reserved, extraChunks;
        u64 total, gross, reservedFree;
        u64 free;
        char flag;  // 'A' able, 'E' empty pool, 'F' full module
    } cases[] = {
        {"unlimited", ModuleMemoryInformation::kNoLimit, 0, 0, 0, 8192, 0, 0, 8192, 'A'},
        {"at its limit", 4096, 4096, 0, 0, 8192, 4096, 0, 0, 'F'},
        {"past its limit", 6000, 8192, 0, 0, 16384, 8192, 0, 0, 'F'},
        {"limit nearly reached", 6000, 4096, 0, 0, 16384, 4096, 0, 1904, 'A'},
        {"reservations past the free pages", ModuleMemoryInformation::kNoLimit, 0, 0, 0, 8192, 4096, 8192, 0, 'E'},
        {"its own reservation", ModuleMemoryInformation::kNoLimit, 0, 8192, 0, 8192, 0, 8192, 8192, 'A'},
        {"extra chunks on an empty list", 4096, 4096, 0, 1, 8192, 8192, 0, 0, 'E'},
        {"extra chunks on reserved pages only", 4096, 4096, 0, 2, 16384, 8192, 8192, 0, 'E'},
        {"extra chunks on free pages", 4096, 4096, 0, 1, 16384, 4096, 0, 4096, 'A'},
        {"extra chunks past the free pages", 4096, 4096, 0, 3, 16384, 8192, 0, 8192, 'A'},
    };
    TestPool* pool = newPool(0, 0);
    for (const auto& c : cases) {
        ModuleMemoryInformation mmi("probe");
        mmi.m_limitBytes = c.limit;
        mmi.m_currentlyUsedBytes = c.used;
        mmi.m_reservedBytes = c.reserved;
        mmi.m_extraChunks = c.extraChunks;
        const MemoryPoolImpl::FreeBytesInfo info = pool->probe(&mmi, c.total, c.gross, c.reservedFree);
        EXPECT_EQ(info.m_free, c.free) << c.what;
        EXPECT_EQ(info.isAbleToGetMemory, c.flag == 'A') << c.what;
        EXPECT_EQ(info.isEmptyMemPool, c.flag == 'E') << c.what;
        EXPECT_EQ(info.isFullMmi, c.flag == 'F') << c.what;
    }
    // Nor does the report's free figure.
    pool->setCounts(8192, 4096, 100, 8192);
    const auto report = reportOf(pool);
    pool->setCounts(0, 0, 0, 0);
    EXPECT_EQ(report.at(0), "Memory POOL:  m_usedMemoryGross=4096  m_usedMemoryNet=100  free=0\n");
}

TEST(MemoryPoolTest, ModulePastItsLimitWaitsInsteadOfTakingMore) {
    TestPool* pool = newPool();
    ModuleMemoryInformation* mmi = pool->registerModule("A", 0, 6000, nullptr);
    Taken* first = request(pool, mmi, 100);
    Taken* second = request(pool, mmi, 100);  // the limit is not reached yet: a whole page more
    ASSERT_TRUE(first->served());
    ASSERT_TRUE(second->served());
    EXPECT_EQ(mmi->getCurrentlyUsedBytes(), 8192u);
    Taken* third = request(pool, mmi, 100);
    EXPECT_FALSE(third->served());
    EXPECT_EQ(reportOf(pool).at(1), "A: limit=6000 used=8192 pending=1 NAs=1\n");
    pool->freeSegment(first->buffer.m_segments[0]);
    EXPECT_TRUE(third->served());
    EXPECT_EQ(mmi->getCurrentlyUsedBytes(), 8192u);
}

TEST(MemoryPoolTest, ExtraChunksWaitForAPageInsteadOfTakingAMissingOrReservedOne) {
    TestPool* pool = newPool();
    ModuleMemoryInformation* holder = pool->registerModule("holder", 8192, ModuleMemoryInformation::kNoLimit, nullptr);
    ModuleMemoryInformation* filler = pool->registerModule("filler", 0, ModuleMemoryInformation::kNoLimit, nullptr);
    ModuleMemoryInformation* extra = pool->registerModule("extra", 0, 0, nullptr);
    extra->m_extraChunks = 1;
    Taken* all = request(pool, filler, (kPagesPerBlock - 2) * kChunk);
    ASSERT_TRUE(all->served());
    // Only the holder's reserved pages are left: they stay the holder's.
    Taken* waiting = request(pool, extra, 100);
    EXPECT_FALSE(waiting->served());
    EXPECT_EQ(pool->getUsage().freePages, 2u);
    EXPECT_EQ(pool->getUsage().reservedFree, 8192u);
    EXPECT_EQ(reportOf(pool).at(0), "Memory POOL:  m_usedMemoryGross=2088960  m_usedMemoryNet=2088960  free=0\n");
    // The holder's requests come later: they wait their turn behind the older one.
    Taken* h1 = request(pool, holder, 100);
    Taken* h2 = request(pool, holder, 100);
    EXPECT_FALSE(h1->served());
    // A page back serves the extra chunk, then the holder's reservation.
    pool->freeSegments(all->buffer.m_segments, static_cast<int>(kPagesPerBlock - 3));
    EXPECT_TRUE(waiting->served());
    EXPECT_TRUE(h1->served());
    EXPECT_TRUE(h2->served());
    EXPECT_EQ(extra->getCurrentlyUsedBytes(), kChunk);
    EXPECT_EQ(holder->getCurrentlyUsedBytes(), 2 * u64{kChunk});
    const MemoryPoolImpl::Usage usage = pool->getUsage();
    EXPECT_EQ(usage.freePages, 0u);
    EXPECT_EQ(usage.reservedFree, 0u);
}

TEST(MemoryPoolTest, ASegmentIsFreedOnlyOnce) {
    TestPool* pool = newPool();
    ModuleMemoryInformation* mmi = pool->registerModule("A", 0, ModuleMemoryInformation::kNoLimit, nullptr);
    Taken* kept = request(pool, mmi, 100);
    MemorySegment once = request(pool, mmi, 100)->buffer.m_segments.at(0);
    pool->freeSegment(once);
    const MemoryPoolImpl::Usage after = pool->getUsage();
    pool->freeSegment(once);
    const MemoryPoolImpl::Usage again = pool->getUsage();
    EXPECT_EQ(again.freePages, after.freePages);
    EXPECT_EQ(again.usedMemoryGross, after.usedMemoryGross);
    EXPECT_EQ(again.usedMemoryNet, after.usedMemoryNet);
    EXPECT_EQ(mmi->getCurrentlyUsedBytes(), kChunk);

    // A vector freed twice from the same index.
    pool->freeSegments(kept->buffer.m_segments, 0);
    pool->freeSegments(kept->buffer.m_segments, 0);
    EXPECT_EQ(pool->getUsage().freePages, kPagesPerBlock);
    EXPECT_EQ(pool->getUsage().usedMemoryGross, 0u);
    // Every page has one owner: two requests get two pages.
    u8* p1 = request(pool, mmi, 100)->buffer.m_segments.at(0).getMemory();
    u8* p2 = request(pool, mmi, 100)->buffer.m_segments.at(0).getMemory();
    EXPECT_NE(p1, p2);
}

TEST(MemoryPoolTest, FreeFromAnIndexOutOfRangeFreesNothing) {
    TestPool* pool = newPool();
    ModuleMemoryInformation* mmi = pool->registerModule("A", 0, ModuleMemoryInformation::kNoLimit, nullptr);
    Taken* taken = request(pool, mmi, 2 * kChunk);
    for (int index : {-1, 3, -2147483647 - 1}) {
        sharedClient().clear();
        pool->freeSegments(taken->buffer.m_segments, index);
        EXPECT_EQ(pool->getUsage().usedMemoryGross, 2 * u64{kChunk}) << index;
        EXPECT_NE(taken->buffer.m_segments[0].getMemory(), nullptr) << index;
        const auto lines = sharedClient().linesWith(",Error,");
        ASSERT_EQ(lines.size(), 1u) << index;
        EXPECT_NE(lines[0].find(",TESK,MemoryPoolImpl,freeSegments,fromIndex out of range, nothing freed fromIndex=" +
                                std::to_string(index) + "  segments.size()=2 \n"),
                  std::string::npos)
            << lines[0];
    }
    pool->freeSegments(taken->buffer.m_segments, 2);  // the end: nothing to free, no error
    EXPECT_EQ(pool->getUsage().usedMemoryGross, 2 * u64{kChunk});
    pool->freeSegments(taken->buffer.m_segments, 1);
    EXPECT_EQ(pool->getUsage().usedMemoryGross, u64{kChunk});
}

// Every misuse ends the process on a check that names it.
TEST(MemoryPoolDeathTest, MisuseEndsTheProcess) {
    const struct {
        const char* what;
        void (*run)();
        const char* text;
        const char* component;
    } cases[] = {
        {"chunk size 0", [] { newPool(0, 0)->setChunkSize(0); },
         ": chunkSize >= sizeof(PageLinks) failed. a page must hold the two links of the free list chunkSize=0 \n",
         ",TESK,"},
        {"chunk size 8", [] { newPool(0, 0)->setChunkSize(8); },
         ": chunkSize >= sizeof(PageLinks) failed. a page must hold the two links of the free list chunkSize=8 \n",
         ",TESK,"},
        {"chunk size 20", [] { newPool(0, 0)->setChunkSize(20); },
         ": chunkSize % 8 == 0 failed. the free list's links of each page must stay aligned chunkSize=20 \n",
         ",TESK,"},
        {"carving without a chunk size",
         [] {
             TestPool* pool = newPool(0, kBlock);
             pool->submitRequest(pool->registerModule("A", 0, ModuleMemoryInformation::kNoLimit, nullptr), 1,
                                 new MemoryTargetBuffer(), 100, 0, nullptr);
         },
         ": allocationSize % m_chunkSize == 0 failed.  allocationSize=2097152  m_chunkSize=0 \n", ",TESK,"},
        {"a segment of mixed owners",
         [] {
             u8 page[kChunk];
             MemorySegment segment(100, page, MemorySegment::NoOwner);
             newPool()->freeSegment(segment);
         },
         ": mmi != MemorySegment::NoOwner failed. \n", ",TESK,"},
        {"a heap record's segment",
         [] {
             u8 page[kChunk];
             HeapModuleMemoryInformation heapRecord("heap");
             MemorySegment segment(100, page, &heapRecord);
             newPool()->freeSegment(segment);
         },
         ": !info->isHeapMemory() failed. \n", ",TESK,"},
        {"a segment without memory", [] { MemorySegment segment(100, nullptr, nullptr); },
         ": a_ptr != 0 failed.  a_sizeBytes=100 \n", ",NON,MemorySegment,MemorySegment,"},
        {"an allocation completed with an error",
         [] {
             TestPool* pool = newPool();
             pool->deferNext();
             request(pool, pool->registerModule("A", 0, ModuleMemoryInformation::kNoLimit, nullptr), 100);
             pool->completeDeferred(RC_ERROR);
         },
         ": a_val == RC_ABORTED || a_val == RC_TIME_OUT failed.  a_val=1 \n",
         ",TESK,MemoryAllocationHelper,update,"},
        {"a pool with pages destroyed",
         [] {
             TestPool* pool = newPool();
             request(pool, pool->registerModule("A", 0, ModuleMemoryInformation::kNoLimit, nullptr), 100);
             delete pool;
         },
         ": m_totalPollSize == 0 failed.  m_totalPollSize=2097152 \n", ",TESK,"},
        {"a reservation off the chunk grid",
         [] { newPool()->registerModule("A", 100, ModuleMemoryInformation::kNoLimit, nullptr); },
         " failed. a reservation is whole chunks reservedBytes=100  m_chunkSize=4096 \n", ",TESK,"},
        {"a reservation the pool cannot back",
         [] { newPool()->registerModule("A", 2 * u64{kBlock}, ModuleMemoryInformation::kNoLimit, nullptr); },
         " failed. the pool cannot back the reservation reservedBytes=4194304  free=2097152  m_maxPoolSize=2097152 \n",
         ",TESK,"},
        {"a reservation on a parent",
         [] {
             TestPool* pool = newPool();
             ModuleMemoryInformation* parent =
                 pool->registerModule("P", 8192, ModuleMemoryInformation::kNoLimit, nullptr);
             pool->registerModule("C", 0, ModuleMemoryInformation::kNoLimit, parent);
         },
         ": parent->m_reservedBytes == 0 failed. a module with a reservation cannot be a parent parent=P \n",
         ",TESK,"},
        {"a reservation no free page backs",
         [] {
             TestPool* pool = newPool();
             ModuleMemoryInformation* mmi = pool->registerModule("R", 8192, ModuleMemoryInformation::kNoLimit, nullptr);
             pool->setCounts(kBlock, 0, 0, 0);
             request(pool, mmi, 100);
         },
         ": m_reservedFree >= m_chunkSize failed.  m_reservedFree=0  m_chunkSize=4096 \n",
         ",TESK,MemoryPoolImpl,getMemorySegmentLocked,"},
        {"counts that promise a page the list does not hold",
         [] {
             TestPool* pool = newPool();
             ModuleMemoryInformation* mmi = pool->registerModule("A", 0, ModuleMemoryInformation::kNoLimit, nullptr);
             request(pool, mmi, kBlock);
             pool->setCounts(2 * u64{kBlock}, kBlock, kBlock, 0);
             request(pool, mmi, 100);
         },
         ": !isEmptyLocked() failed. \n", ",TESK,MemoryPoolImpl,getMemorySegmentLocked,"},
        {"a reservation the pages do not cover",
         [] {
             ModuleMemoryInformation mmi("probe");
             mmi.m_reservedBytes = 8192;
             newPool(0, 0)->probe(&mmi, 8192, 8192, 0);
         },
         ": false failed. unknown getFreeBytesLocked result:isAbleToGetMemory=0isEmptyMemPool=0isFullMmi=0\n",
         ",TESK,MemoryPoolImpl::FreeBytesInfo,FreeBytesInfo,"},
        {"a name given twice",
         [] {
             TestPool* pool = newPool();
             pool->registerModule("A", 0, ModuleMemoryInformation::kNoLimit, nullptr);
             pool->registerModule("A", 0, ModuleMemoryInformation::kNoLimit, nullptr);
         },
         ": nameIsFree failed. a module of this name exists already name=A \n", ",TESK,"},
    };
    int index = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string printed = printedByFatalStop("pool_death_" + std::to_string(index++) + ".txt", c.run);
        EXPECT_NE(printed.find(",Assert,"), std::string::npos) << c.what << "\n" << printed;
        EXPECT_NE(printed.find(c.component), std::string::npos) << c.what << "\n" << printed;
        EXPECT_NE(printed.find(c.text), std::string::npos) << c.what << "\n" << printed;
    }
}
