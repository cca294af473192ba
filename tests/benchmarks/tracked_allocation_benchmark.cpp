// The count-only tracked allocation beside the plain heap, in the same run, and empty actions through one active
// object. Each benchmark runs several rounds; the medians are compared at the end. The machine may be shared:
// the load average is printed with the figures.
#include "ActiveObject.h"
#include "MemShield.h"
#include "TrackedAllocation.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <string>
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

// Keeps the median of every benchmark besides printing as usual.
class MedianReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
                medianNs[run.run_name.function_name] = run.GetAdjustedRealTime();
                if (run.counters.count("actions_per_s")) actionsPerS = run.counters.at("actions_per_s").value;
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> medianNs;
    double actionsPerS = 0;
};

std::string loadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string text;
    std::getline(in, text);
    return text;
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
    MemShield::s_enabled = false;  // count-only, as the programs run by default
    MemShield::instance();
    benchmark::Initialize(&argc, argv);
    const std::string loadBefore = loadAverage();
    MedianReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    const double plain = reporter.medianNs["BM_PlainNewDelete"];
    const double tracked = reporter.medianNs["BM_TrackedNewDelete"];
    std::printf("\nmedians of %d rounds; load average before: %s, after: %s\n", kRounds, loadBefore.c_str(),
                loadAverage().c_str());
    if (plain > 0 && tracked > 0) {
        std::printf("new/delete pair: plain %.2f ns, tracked %.2f ns, difference %.2f ns, ratio %.2f\n", plain,
                    tracked, tracked - plain, tracked / plain);
    }
    if (reporter.actionsPerS > 0) std::printf("empty actions through one active object: %.0f per second\n", reporter.actionsPerS);
    return 0;
}
