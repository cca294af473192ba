// The count-only tracked allocation beside the plain heap, in the same run, and empty actions through one active
// object. Each benchmark runs several rounds; the medians are compared at the end. The machine may be shared:
// the load average is printed with the figures.
#include "ActiveObject.h"
#include "BenchmarkMedians.h"
#include "TrackedAllocation.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

namespace {

constexpr int kRounds = 7;

struct Small {
    u64 a = 1;
    u64 b = 2;
    u32 c = 3;
};

void BM_PlainNewDelete(benchmark::State& state) {
    for (auto _ : state) {
        Small* p = new Small();
        benchmark::DoNotOptimize(p);
        delete p;
    }
}

void BM_TrackedNewDelete(benchmark::State& state) {
    for (auto _ : state) {
        Small* p = trackedNew<Small>("Small", __FILE__, __LINE__);
        benchmark::DoNotOptimize(p);
        trackedDelete(p, __FILE__, __LINE__);
    }
}

std::atomic<u64> g_ran{0};

class EmptyAction : public ActiveObject::Action {
public:
    void run() override { g_ran.fetch_add(1, std::memory_order_relaxed); }
};

bool g_noForce = false;

// One million empty actions: each tracked-allocated and queued here, run and deleted by the worker.
void BM_ActiveObjectEmptyActions(benchmark::State& state) {
    static ActiveObject* ao = [] {
        auto* object = new ActiveObject("BenchAO", &g_noForce);
        object->open();
        object->waitForStart();
        return object;
    }();
    constexpr u64 kActions = 1000000;
    for (auto _ : state) {
        const u64 target = g_ran.load() + kActions;
        for (u64 i = 0; i < kActions; ++i) ao->addAction(trackedNew<EmptyAction>("EmptyAction", __FILE__, __LINE__));
        while (g_ran.load(std::memory_order_relaxed) < target) std::this_thread::yield();
    }
    state.counters["actions_per_s"] =
        benchmark::Counter(static_cast<double>(kActions) * state.iterations(), benchmark::Counter::kIsRate);
}

}  // namespace

BENCHMARK(BM_PlainNewDelete)->Repetitions(kRounds)->ReportAggregatesOnly(true);
BENCHMARK(BM_TrackedNewDelete)->Repetitions(kRounds)->ReportAggregatesOnly(true);
BENCHMARK(BM_ActiveObjectEmptyActions)
    ->Iterations(1)
    ->Repetitions(kRounds)
    ->ReportAggregatesOnly(true)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

int main(int argc, char** argv) {
    BenchmarkMedians medians = runBenchmarksForMedians(argc, argv, kRounds);
    if (const auto ns = medians.both("BM_PlainNewDelete", "BM_TrackedNewDelete")) {
        const auto [plain, tracked] = *ns;
        std::printf("new/delete pair: plain %.2f ns, tracked %.2f ns, difference %.2f ns, ratio %.2f\n", plain,
                    tracked, tracked - plain, tracked / plain);
    }
    const double actionsPerS = medians.counters["actions_per_s"];
    if (actionsPerS > 0) std::printf("empty actions through one active object: %.0f per second\n", actionsPerS);
    return 0;
}
