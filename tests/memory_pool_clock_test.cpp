// test-traits: linux-only
#include "MemoryPool.h"
#include "TestSupport.h"
#include "Timer.h"
#include "Tweaks.h"

#include <platform/testing.h>

#include <string>
#include <vector>

namespace {

constexpr u32 kChunk = 4096;
constexpr u32 kBlock = 0x200000;
constexpr i64 kTicksPerMs = 10000;

std::vector<MemoryPoolImpl*>& keptPools() {
    static auto* pools = new std::vector<MemoryPoolImpl*>();
    return *pools;
}

MemoryPoolImpl* newPool(u64 maxPoolSize) {
    auto* pool = new MemoryPoolImpl();
    keptPools().push_back(pool);  // a pool that carved pages may never go
    pool->setChunkSize(kChunk);
    pool->setMaxPoolSize(maxPoolSize);
    return pool;
}

std::vector<std::string> messagesOf(const std::string& columns) {
    std::vector<std::string> messages;
    for (const std::string& line : sharedClient().linesWith(columns)) {
        messages.push_back(line.substr(line.find(columns) + columns.size()));
    }
    return messages;
}

const std::string kPending = ",TESK,MemoryPoolImpl,monitorPendingMemoryAllocations,";

// The pending report's messages logged at `level` (",Info," or ",Error,").
std::vector<std::string> pendingAt(const std::string& level) {
    std::vector<std::string> messages;
    for (const std::string& line : sharedClient().linesWith(kPending)) {
        if (line.find(level) != std::string::npos) messages.push_back(line.substr(line.find(kPending) + kPending.size()));
    }
    return messages;
}

std::string pendingText(u32 threshold, u64 seconds) {
    return "Memory allocation pending time reaches threshold of " + std::to_string(threshold) +
           " sec for clients: (clientTraceId,name,requestedBytes,pendingTime) (7,modA,100," + std::to_string(seconds) +
           ")\n";
}

}  // namespace

// The process clock stands still where a test sets it. The counter never runs backwards in one process, so each
// test starts far past the readings of the one before; the tick count moves on by more than a second at each step,
// so that the coarse milliseconds follow the counter.
class MemoryPoolClockTest : public ::testing::Test {
protected:
    void SetUp() override {
        sharedClient();
        s_base += 1000000000000LL;
        setMs(0);
    }
    void TearDown() override { platform_test::useRealClocks(); }

    static void setMs(i64 ms) {
        platform_test::setPerformanceCounter(s_base + ms * kTicksPerMs);
        s_tick += 2000;
        platform_test::setTickCount(s_tick);
        Timer::instance()->getLastTimestampMs_Inaccurate(false);
    }
    static u64 nowMs() { return static_cast<u64>(s_base / kTicksPerMs); }

    // One request of 100 bytes for modA that no page can serve, started `waitedMs` before the base.
    static MemoryPoolImpl* poolWithPendingRequest(u64 waitedMs) {
        MemoryPoolImpl* pool = newPool(0);
        ModuleMemoryInformation* modA = pool->registerModule("modA", 0, ModuleMemoryInformation::kNoLimit, nullptr);
        static auto* buffers = new std::vector<MemoryTargetBuffer>(64);
        EXPECT_FALSE(pool->submitRequest(modA, 7, &buffers->at(s_buffer++), 100, nowMs() - waitedMs, nullptr));
        return pool;
    }

    static inline LONGLONG s_base = 4294967296LL * 10 * kTicksPerMs;
    static inline ULONGLONG s_tick = 1000000000000000ULL;  // far past the real tick count
    static inline size_t s_buffer = 0;
};

TEST_F(MemoryPoolClockTest, AllocatedLineAtMostOncePerSecond) {
    MemoryPoolImpl* pool = newPool(3 * u64{kBlock});
    ModuleMemoryInformation* mmi = pool->registerModule("A", 0, ModuleMemoryInformation::kNoLimit, nullptr);
    const struct {
        i64 atMs;
        std::vector<std::string> lines;
    } steps[] = {
        {0, {"allocated 2097152 bytes\n"}},
        {999, {}},
        {1000, {"allocated 6291456 bytes\n"}},
    };
    std::vector<MemoryTargetBuffer> buffers(3);
    int step = 0;
    for (const auto& s : steps) {
        setMs(s.atMs);
        sharedClient().clear();
        // A whole block each: the pool carves one more.
        EXPECT_TRUE(pool->submitRequest(mmi, 1, &buffers[step], kBlock, nowMs(), nullptr)) << s.atMs;
        EXPECT_EQ(messagesOf(",TESK,MemoryPoolImpl,allocatePagesFromSingleAllocationLocked,"), s.lines) << s.atMs;
        EXPECT_EQ(pool->getUsage().totalPollSize, (step + 1) * u64{kBlock});
        ++step;
    }
}

TEST_F(MemoryPoolClockTest, PendingCheckAtMostOncePerSecond) {
    MemoryPoolImpl* pool = poolWithPendingRequest(90000);
    const struct {
        i64 atMs;
        std::vector<std::string> lines;
    } steps[] = {
        {0, {pendingText(60, 90)}},
        {0, {}},
        {999, {}},
        {1000, {pendingText(60, 91)}},
        {1500, {}},
    };
    for (const auto& s : steps) {
        setMs(s.atMs);
        sharedClient().clear();
        pool->printMemoryUsage();
        EXPECT_EQ(messagesOf(kPending), s.lines) << s.atMs;
        // The usage lines come every time.
        EXPECT_EQ(messagesOf(",TESK,MemoryPoolImpl,printMemoryUsage,").size(), 3u) << s.atMs;
    }
}

TEST_F(MemoryPoolClockTest, PendingRequestsPastEachThresholdWithDefaultThresholds) {
    const struct {
        u64 waitedMs;
        std::vector<std::string> info, error;
    } cases[] = {
        {60000, {}, {}},  // the comparison is strict
        {60001, {pendingText(60, 60)}, {}},
        {90000, {pendingText(60, 90)}, {}},
        {1800000, {pendingText(60, 1800)}, {}},
        {1800001, {pendingText(60, 1800)}, {pendingText(1800, 1800)}},
        {2000000, {pendingText(60, 2000)}, {pendingText(1800, 2000)}},
    };
    for (const auto& c : cases) {
        MemoryPoolImpl* pool = poolWithPendingRequest(c.waitedMs);
        sharedClient().clear();
        pool->printMemoryUsage();
        EXPECT_EQ(pendingAt(",Info,"), c.info) << c.waitedMs;
        EXPECT_EQ(pendingAt(",Error,"), c.error) << c.waitedMs;
        EXPECT_EQ(messagesOf(kPending).size(), c.info.size() + c.error.size()) << c.waitedMs;
    }
}

// A threshold of 0xFFFFFFFF seconds silences its report: in milliseconds it must not wrap to a small one.
TEST_F(MemoryPoolClockTest, LargestThresholdDoesNotWrap) {
    Tweaks::instance()->update("t_TeskWaitTimeAfterMemAllocRequestInfoThresholdSec", "4294967295");
    MemoryPoolImpl* pool = poolWithPendingRequest(2000000);
    sharedClient().clear();
    pool->printMemoryUsage();
    Tweaks::instance()->update("t_TeskWaitTimeAfterMemAllocRequestInfoThresholdSec", "");
    EXPECT_TRUE(pendingAt(",Info,").empty());
    EXPECT_EQ(pendingAt(",Error,"), std::vector<std::string>{pendingText(1800, 2000)});
}
