// One 4096-byte chunk handed to a module and given back: through the memory pool (a request served at once, then
// the segment freed) against the tracked heap (a tracked array allocation and free of the same size), count-only,
// in the same run. The machine may be shared: the load average is printed with the figures.
#include "BenchmarkMedians.h"
#include "MemoryPool.h"
#include "Timer.h"
#include "TrackedAllocation.h"

#include <benchmark/benchmark.h>

#include <cstdio>

namespace {

constexpr u32 kChunk = 4096;
constexpr int kRounds = 7;

void BM_PoolSegment(benchmark::State& state) {
    static MemoryPoolImpl* pool = [] {
        auto* p = new MemoryPoolImpl();  // never destroyed: it carved pages
        p->setChunkSize(kChunk);
        p->setMaxPoolSize(0x200000);
        return p;
    }();
    static ModuleMemoryInformation* mmi =
        pool->registerModule("bench", 0, ModuleMemoryInformation::kNoLimit, nullptr);
    const u64 start = static_cast<u64>(Timer::instance()->getTimestamp());
    MemoryTargetBuffer buffer;
    buffer.m_segments.reserve(1);
    for (auto _ : state) {
        const bool atOnce = pool->submitRequest(mmi, 1, &buffer, kChunk, start, nullptr);
        benchmark::DoNotOptimize(atOnce);
        pool->freeSegment(buffer.m_segments[0]);
        buffer.m_segments.clear();
        buffer.m_totalBytes = 0;
    }
}

void BM_HeapChunk(benchmark::State& state) {
    for (auto _ : state) {
        u8* chunk = trackedArrayNew<u8>(kChunk, "u8", __FILE__, __LINE__);
        benchmark::DoNotOptimize(chunk);
        trackedArrayFree(chunk, __FILE__, __LINE__);
    }
}

}  // namespace

BENCHMARK(BM_PoolSegment)->Repetitions(kRounds)->ReportAggregatesOnly(true);
BENCHMARK(BM_HeapChunk)->Repetitions(kRounds)->ReportAggregatesOnly(true);

int main(int argc, char** argv) {
    if (const auto ns = runBenchmarksForMedians(argc, argv, kRounds).both("BM_PoolSegment", "BM_HeapChunk")) {
        const auto [pool, heap] = *ns;
        std::printf("4096-byte chunk handed out and back: pool %.2f ns, tracked heap %.2f ns, heap/pool %.2f\n", pool,
                    heap, heap / pool);
    }
    return 0;
}
