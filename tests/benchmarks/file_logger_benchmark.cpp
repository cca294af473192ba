// One million 100-byte messages through the Logger into one file logger: queued (as fast as the producer goes,
// and at one million lines a second) and synchronous.
#include "FileLogger.h"
#include "MemShield.h"
#include "NativePath.h"
#include "Tweaks.h"

#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

constexpr int kLines = 1000000;
// Count-only tracking of the line copies, as the programs run by default; set before any client exists.
[[maybe_unused]] const bool kCountOnly = (MemShield::s_enabled = false, true);

long peakRssKiB() {
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

long countLines(const std::string& folder) {
    long lines = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        std::ifstream in(entry.path());
        std::string line;
        while (std::getline(in, line)) lines += line.find(",bench ") != std::string::npos;
    }
    return lines;
}

// `linesPerSecond` 0: as fast as the producer goes; otherwise the producer is held to that rate.
void logMillion(benchmark::State& state, bool synchronous, long linesPerSecond = 0) {
    Tweaks::instance()->update("t_FileLoggerFlushEveryLine", synchronous ? "1" : "0");
    Tweaks::instance()->update("t_TeskFlushFileMaxPeriodMs", "0");
    const std::string folder = "bench_logs_" + std::to_string(getpid()) + (synchronous ? "_sync" : "_queued") +
                               std::to_string(linesPerSecond);
    std::filesystem::remove_all(folder);
    auto* client = new FileLoggerClient(folder + "\\bench", 3, 0, "");  // the agent's main-log budget
    Logger::instance()->registerClient(client, 255);
    const std::string message = "bench " + std::string(94, 'm');

    const long rssBefore = peakRssKiB();
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < kLines; ++i) {
            if (linesPerSecond && i % 1000 == 0) {
                const auto due = start + std::chrono::microseconds(i * 1000000LL / linesPerSecond);
                while (std::chrono::steady_clock::now() < due) {
                }
            }
            LOG(Info) << message << std::endl;
        }
        client->flush();
    }
    client->m_mask = 0;
    const long written = countLines(nativePath(folder));
    state.counters["lines_per_s"] = benchmark::Counter(static_cast<double>(kLines) * state.iterations(),
                                                       benchmark::Counter::kIsRate);
    state.counters["dropped"] = static_cast<double>(kLines * state.iterations() - written);
    state.counters["peak_rss_MiB"] = peakRssKiB() / 1024.0;
    state.counters["peak_rss_growth_MiB"] = (peakRssKiB() - rssBefore) / 1024.0;
    std::filesystem::remove_all(folder);
}

void BM_QueuedFileLogger(benchmark::State& state) { logMillion(state, false); }
void BM_QueuedFileLoggerAt1MLinesPerSecond(benchmark::State& state) { logMillion(state, false, 1000000); }
void BM_SynchronousFileLogger(benchmark::State& state) { logMillion(state, true); }

}  // namespace

BENCHMARK(BM_QueuedFileLogger)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_QueuedFileLoggerAt1MLinesPerSecond)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SynchronousFileLogger)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_MAIN();
