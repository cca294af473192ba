// The logger side by side with spdlog in one process: the same 100-byte message, one million lines a run, into the
// same folder, the two alternating over several rounds. Three pairs: queued with one producer, queued with four,
// and synchronous with a flush after every line. Each run reports lines per second, lines lost (counted on disk)
// and the peak growth of the resident set; each pair ends with the median of the per-round ratios.
//
//   logger_vs_spdlog [rounds=5] [lines=1000000]
#include "FileLogger.h"
#include "MemShield.h"
#include "NativePath.h"
#include "Tweaks.h"

#include <spdlog/async.h>
#include <spdlog/sinks/base_sink.h>
#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/spdlog.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

// Count-only tracking of the line copies, as the programs run by default; set before any client exists.
[[maybe_unused]] const bool kCountOnly = (MemShield::s_enabled = false, true);

constexpr size_t kMessageBytes = 100;
constexpr size_t kRotateBytes = 0xA00000;  // both rotate at 10 MiB
constexpr size_t kMaxFiles = 1000;
const std::string kFolder = "paired_logs_" + std::to_string(getpid());

long residentKiB() {
    std::ifstream statm("/proc/self/statm");
    long size = 0, resident = 0;
    statm >> size >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// Samples the resident set while a run lasts.
class PeakMemory {
public:
    PeakMemory() : m_base(residentKiB()), m_peak(m_base), m_thread([this] { sample(); }) {}
    double stopMiB() {
        m_stop = true;
        m_thread.join();
        return (m_peak - m_base) / 1024.0;
    }

private:
    void sample() {
        while (!m_stop) {
            m_peak = std::max(m_peak.load(), residentKiB());
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
    long m_base;
    std::atomic<long> m_peak;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// The message of one run: its tag makes its lines countable among every earlier run's.
std::string messageFor(int run) {
    std::string message = "bench" + std::to_string(100000 + run) + " ";
    message.resize(kMessageBytes, 'm');
    return message;
}

// Counts the run's lines on disk, then removes every file but the live ones, so the folder stays small.
long countAndClear(const std::string& tag, const std::vector<std::string>& live) {
    long lines = 0;
    std::vector<std::filesystem::path> done;
    for (const auto& entry : std::filesystem::directory_iterator(kFolder)) {
        std::ifstream in(entry.path());
        std::string line;
        while (std::getline(in, line)) lines += line.find(tag) != std::string::npos;
        if (std::find(live.begin(), live.end(), entry.path().filename().string()) == live.end())
            done.push_back(entry.path());
    }
    for (const auto& path : done) std::filesystem::remove(path);
    return lines;
}

// Tells when the asynchronous logger's worker has flushed: the logger flushes its sinks in order, this one last.
class FlushSignal : public spdlog::sinks::base_sink<std::mutex> {
public:
    void expect() {
        std::lock_guard<std::mutex> lock(m_lock);
        m_flushed = false;
    }
    void wait() {
        std::unique_lock<std::mutex> lock(m_lock);
        m_done.wait(lock, [this] { return m_flushed; });
    }

protected:
    void sink_it_(const spdlog::details::log_msg&) override {}
    void flush_() override {
        std::lock_guard<std::mutex> lock(m_lock);
        m_flushed = true;
        m_done.notify_all();
    }

private:
    std::mutex m_lock;
    std::condition_variable m_done;
    bool m_flushed = true;
};

struct Result {
    double linesPerSecond;
    long lost;
    double peakMiB;
};

// Runs `lines` lines split over `producers` threads; `finish` waits until every line is in the file.
template <class LogOne, class Finish>
Result timed(long lines, int producers, const std::string& tag, const std::vector<std::string>& live, LogOne logOne,
             Finish finish) {
    PeakMemory memory;
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> threads;
    for (int p = 0; p < producers; ++p) {
        threads.emplace_back([&, p] {
            const long count = lines / producers + (p < lines % producers ? 1 : 0);
            for (long i = 0; i < count; ++i) logOne();
        });
    }
    for (auto& thread : threads) thread.join();
    finish();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double peak = memory.stopMiB();
    return {lines / seconds, lines - countAndClear(tag, live), peak};
}

struct Pair {
    const char* name;
    int producers;
    bool synchronous;
    std::vector<double> ratios;
};

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

void print(const char* who, const char* pair, int round, const Result& r) {
    std::printf("round %d  %-11s %-7s %10.0f lines/s  lost %7ld  peak +%6.1f MiB\n", round, pair, who,
                r.linesPerSecond, r.lost, r.peakMiB);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 5;
    const long lines = argc > 2 ? std::atol(argv[2]) : 1000000;
    std::filesystem::remove_all(kFolder);
    std::filesystem::create_directories(kFolder);

    // This logger: one queued client with the defaults and one synchronous client, only one admitting lines at a
    // time. The folder path keeps the program's own '\' separators.
    Tweaks::instance()->update("t_FileLoggerFlushEveryLine", "0");
    auto* queued = new FileLoggerClient(kFolder + "\\talvo", 3, 0, "");  // the agent's main-log budget
    Logger::instance()->registerClient(queued, 0);
    Tweaks::instance()->update("t_FileLoggerFlushEveryLine", "1");
    auto* synchronous = new FileLoggerClient(kFolder + "\\talvo_sync", 3, 0, "");
    Logger::instance()->registerClient(synchronous, 0);

    // spdlog: an asynchronous logger (one worker, its default queue, blocking when full) and a synchronous one,
    // each into a rotating file sink, the line laid out like this logger's.
    const std::string pattern = "%Y-%m-%d %H:%M:%S.%e,%l,%t,NON,,main,%v";
    spdlog::init_thread_pool(8192, 1);
    auto flushSignal = std::make_shared<FlushSignal>();
    flushSignal->set_level(spdlog::level::off);  // takes no line, only the flush
    std::vector<spdlog::sink_ptr> asyncSinks{
        std::make_shared<spdlog::sinks::rotating_file_sink_mt>(kFolder + "/spd.txt", kRotateBytes, kMaxFiles),
        flushSignal};
    auto spdAsync = std::make_shared<spdlog::async_logger>("async", asyncSinks.begin(), asyncSinks.end(),
                                                           spdlog::thread_pool(),
                                                           spdlog::async_overflow_policy::block);
    auto spdSync = std::make_shared<spdlog::logger>(
        "sync", std::make_shared<spdlog::sinks::rotating_file_sink_mt>(kFolder + "/spd_sync.txt", kRotateBytes,
                                                                        kMaxFiles));
    spdSync->flush_on(spdlog::level::trace);
    for (spdlog::logger* logger : {static_cast<spdlog::logger*>(spdAsync.get()), spdSync.get()})
        logger->set_pattern(pattern);

    const std::vector<std::string> live{"talvo.txt", "talvo_sync.txt", "spd.txt", "spd_sync.txt"};
    std::vector<Pair> pairs{{"queued x1", 1, false, {}}, {"queued x4", 4, false, {}}, {"synchronous", 1, true, {}}};
    std::vector<std::vector<Result>> ours(pairs.size()), theirs(pairs.size());
    int run = 0;
    for (int round = 1; round <= rounds; ++round) {
        for (size_t k = 0; k < pairs.size(); ++k) {
            Pair& pair = pairs[k];
            FileLoggerClient* client = pair.synchronous ? synchronous : queued;
            spdlog::logger* spd = pair.synchronous ? spdSync.get() : spdAsync.get();
            Result mine{}, other{};
            // Alternate which goes first, so that a drift in load falls on both alike.
            for (int turn = 0; turn < 2; ++turn) {
                const bool mineNow = (turn == 0) == (round % 2 == 1);
                const std::string message = messageFor(++run);
                const std::string tag = message.substr(0, message.find(' ') + 1);
                if (mineNow) {
                    client->m_mask = 255;
                    mine = timed(lines, pair.producers, tag, live,
                                 [&] { LOG(Info) << message << std::endl; },
                                 [&] { client->flush(); });
                    client->m_mask = 0;
                    print("talvo", pair.name, round, mine);
                } else {
                    other = timed(lines, pair.producers, tag, live, [&] { spd->info(message); },
                                  [&] {
                                      if (pair.synchronous) return;
                                      flushSignal->expect();
                                      spd->flush();
                                      flushSignal->wait();
                                  });
                    print("spdlog", pair.name, round, other);
                }
            }
            ours[k].push_back(mine);
            theirs[k].push_back(other);
            pair.ratios.push_back(mine.linesPerSecond / other.linesPerSecond);
        }
    }

    std::printf("\nmedians of %d rounds, %ld lines a run\n", rounds, lines);
    for (size_t k = 0; k < pairs.size(); ++k) {
        auto field = [&](const std::vector<Result>& results, auto member) {
            std::vector<double> values;
            for (const auto& r : results) values.push_back(static_cast<double>(r.*member));
            return median(values);
        };
        long lostMine = 0, lostTheirs = 0;
        for (const auto& r : ours[k]) lostMine += r.lost;
        for (const auto& r : theirs[k]) lostTheirs += r.lost;
        std::printf("%-11s talvo %10.0f lines/s  spdlog %10.0f lines/s  ratio %.2f  lost %ld / %ld  "
                    "peak +%.1f / +%.1f MiB\n",
                    pairs[k].name, field(ours[k], &Result::linesPerSecond), field(theirs[k], &Result::linesPerSecond),
                    median(pairs[k].ratios), lostMine, lostTheirs, field(ours[k], &Result::peakMiB),
                    field(theirs[k], &Result::peakMiB));
    }
    std::ifstream loadavg("/proc/loadavg");
    std::string load;
    std::getline(loadavg, load);
    std::printf("load average at the end: %s\n", load.c_str());
    spdlog::shutdown();
    std::filesystem::remove_all(kFolder);
    return 0;
}
