// The allocation benchmarks' run: count-only tracking, as the programs run by default, every benchmark given on the
// command line, and the median of each kept besides the usual output. The machine may be shared: the load average
// before and after is printed with the figures.
#pragma once
#include "MemShield.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

struct BenchmarkMedians {
    std::map<std::string, double> ns;        // real time by benchmark
    std::map<std::string, double> counters;  // by counter name

    // The times of two benchmarks, when both ran.
    std::optional<std::pair<double, double>> both(const std::string& first, const std::string& second) const {
        const auto a = ns.find(first), b = ns.find(second);
        if (a == ns.end() || b == ns.end() || a->second <= 0 || b->second <= 0) return std::nullopt;
        return std::make_pair(a->second, b->second);
    }
};

inline std::string loadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string text;
    std::getline(in, text);
    return text;
}

inline BenchmarkMedians runBenchmarksForMedians(int argc, char** argv, int rounds) {
    class MedianReporter : public benchmark::ConsoleReporter {
    public:
        explicit MedianReporter(BenchmarkMedians& medians) : m_medians(medians) {}
        void ReportRuns(const std::vector<Run>& runs) override {
            for (const Run& run : runs) {
                if (run.run_type != Run::RT_Aggregate || run.aggregate_name != "median") continue;
                m_medians.ns[run.run_name.function_name] = run.GetAdjustedRealTime();
                for (const auto& [name, counter] : run.counters) m_medians.counters[name] = counter.value;
            }
            ConsoleReporter::ReportRuns(runs);
        }

    private:
        BenchmarkMedians& m_medians;
    };

    MemShield::s_enabled = false;
    MemShield::instance();
    benchmark::Initialize(&argc, argv);
    const std::string loadBefore = loadAverage();
    BenchmarkMedians medians;
    MedianReporter reporter(medians);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    std::printf("\nmedians of %d rounds; load average before: %s, after: %s\n", rounds, loadBefore.c_str(),
                loadAverage().c_str());
    return medians;
}
