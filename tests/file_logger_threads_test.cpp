// A file logger registered with the Logger, fed from several threads.
#include "FileLoggerSupport.h"
#include "MemShield.h"
#include "NativePath.h"
#include "ServiceThreads.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <set>
#include <sstream>
#include <thread>

namespace {

ProbeLogger* registeredLogger(const LogFolder& dir, u32 budgetMiB) {
    auto* logger = new ProbeLogger(dir.base, budgetMiB, 0, "");
    Logger::instance()->registerClient(logger, 255);
    return logger;
}

struct CountingHandler : AssertHandler {
    std::atomic<int> lines{0};
    bool handle(const std::string&) override {
        ++lines;
        return true;
    }
};

}  // namespace

TEST(FileLoggerThreadsTest, NoLineIsLostAcrossRotations) {
    setTweak("t_FileLoggerFlushEveryLine", "0");
    setTweak("t_FileLoggerCompressOnRotate", "1");
    setTweak("t_TeskFlushFileMaxPeriodMs", "0");
    setTweak("t_GenFileLoggerMaxFiles", "1000");
    LogFolder dir;
    // Start close to the limit so that the run crosses several rotations.
    makeFile(dir.live(), "", GenFileLogger::kRotateAboveBytes - 4096);
    ProbeLogger* logger = registeredLogger(dir, 0xFFFFFFFFu);

    constexpr int kThreads = 6, kLines = 40000;
    const std::string padding(180, '.');
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kLines; ++i) LOG(Info) << "n=" << t * kLines + i << " " << padding << std::endl;
        });
    }
    for (auto& thread : threads) thread.join();
    Logger::instance()->flushClients();
    logger->m_mask = 0;  // keep later tests' lines out of the count

    // The files in the order they were written: the numbered ones by index, then the live file.
    std::vector<std::string> names;
    for (const auto& name : dir.files()) {
        if (name != "log.txt") names.push_back(name);
    }
    names.push_back("log.txt");
    std::vector<int> seen(kThreads * kLines, 0);
    std::vector<int> lastOfThread(kThreads, -1);
    int outOfOrder = 0;
    for (const auto& name : names) {
        std::istringstream in(fileText(dir.folder + "\\" + name));
        for (std::string line; std::getline(in, line);) {
            const size_t at = line.find(",n=");
            if (at == std::string::npos) continue;
            const int n = std::stoi(line.substr(at + 3));
            ++seen[n];
            // Each thread's lines keep the order in which that thread logged them.
            if (n <= lastOfThread[n / kLines]) ++outOfOrder;
            lastOfThread[n / kLines] = n;
        }
    }
    EXPECT_GE(names.size(), 4u);  // the live file and at least three rotations
    int missing = 0, repeated = 0;
    for (int count : seen) {
        missing += count == 0;
        repeated += count > 1;
    }
    EXPECT_EQ(missing, 0);
    EXPECT_EQ(repeated, 0);
    EXPECT_EQ(outOfOrder, 0);
}

TEST(FileLoggerThreadsTest, ErrorLoggedOnTheWriterThreadDoesNotWaitForItself) {
    setTweak("t_FileLoggerFlushEveryLine", "0");
    setTweak("t_TeskFlushFileMaxPeriodMs", "0");  // a flush that waited for itself would never return
    LogFolder dir;
    ProbeLogger* logger = registeredLogger(dir, 1);
    CountingHandler handler;
    Logger::instance()->setAssertHandler(&handler);

    // Make the writer's own free of the next line fail its check: it then logs at Assert on the writer thread,
    // and that line flushes every client, this one included.
    const std::string line = "the line whose free fails\n";
    fileLockOf(logger).lock();
    logger->write(line);
    trackerOf(logger).free(trackerOf(logger).allocate(1), line.size() + 1);  // leaves 0 bytes in use
    fileLockOf(logger).unlock();

    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (handler.lines == 0 && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    // From this thread: waits until the writer is past the Assert line (without a limit, so bounded here).
    finishWithin(20000, "the flush after the writer's own Assert line", [&] { logger->flush(); });
    Logger::instance()->setAssertHandler(nullptr);
    logger->m_mask = 0;
    EXPECT_GE(handler.lines, 1);
    // The writer went on past its own Assert line: the line it freed is written, and so is the pause notice that
    // the broken count then causes for the Assert line's own copy.
    const std::string text = fileText(dir.live());
    EXPECT_NE(text.find(line), std::string::npos);
    EXPECT_NE(text.find("-pausing logger due to OOM"), std::string::npos);
}

// Four producers at the default budget, each holding back while the queued copies come near the limit, so that the
// budget is never exceeded: then no line may be lost, across rotations, whatever the line's length (short copies
// are recycled, long ones are tracked arrays), and every byte goes back to the budget and to the guard's count.
TEST(FileLoggerThreadsTest, FourProducersLoseNoLineAcrossRotationsWithinTheDefaultBudget) {
    setTweak("t_FileLoggerFlushEveryLine", "0");
    setTweak("t_FileLoggerCompressOnRotate", "0");
    setTweak("t_TeskFlushFileMaxPeriodMs", "0");
    setTweak("t_GenFileLoggerMaxFiles", "1000");
    LogFolder dir;
    makeFile(dir.live(), "", GenFileLogger::kRotateAboveBytes - 4096);
    ProbeLogger* logger = registeredLogger(dir, 3);
    // Earlier tests' loggers too, and the new writer's own registration: the guard's count is the whole process's.
    const u64 guardBefore = settledAllocatedBytes();

    constexpr int kThreads = 4, kLines = 25000;
    constexpr u32 kHoldBackAbove = 2 * 1024 * 1024;  // a line is at most ~600 bytes: four more stay far below 3 MiB
    std::vector<std::thread> threads;
    finishWithin(60000, "four producers", [&] {
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                for (int i = 0; i < kLines; ++i) {
                    while (trackerOf(logger).usedBytes() > kHoldBackAbove) std::this_thread::yield();
                    // Lengths on both sides of the recycled blocks' size.
                    LOG(Info) << "n=" << t * kLines + i << " " << std::string(static_cast<size_t>(i % 7) * 80, '.')
                              << std::endl;
                }
            });
        }
        for (auto& thread : threads) thread.join();
        logger->flush();
    });
    logger->m_mask = 0;
    EXPECT_EQ(trackerOf(logger).usedBytes(), 0u);
    EXPECT_FALSE(trackerOf(logger).paused());
    EXPECT_TRUE(allocatedBytesReturnTo(guardBefore)) << MemShield::instance()->m_allocatedBytes.load() << " bytes, "
                                                     << guardBefore << " before";

    std::vector<std::string> names;
    for (const auto& name : dir.files()) {
        if (name != "log.txt") names.push_back(name);
    }
    names.push_back("log.txt");
    std::vector<int> seen(kThreads * kLines, 0);
    std::vector<int> lastOfThread(kThreads, -1);
    int outOfOrder = 0, notices = 0;
    for (const auto& name : names) {
        std::istringstream in(fileText(dir.folder + "\\" + name));
        for (std::string line; std::getline(in, line);) {
            notices += line.find("-pausing logger due to OOM") != std::string::npos;
            const size_t at = line.find(",n=");
            if (at == std::string::npos) continue;
            const int n = std::stoi(line.substr(at + 3));
            ++seen[n];
            if (n <= lastOfThread[n / kLines]) ++outOfOrder;
            lastOfThread[n / kLines] = n;
        }
    }
    EXPECT_GE(names.size(), 4u);  // the live file and at least three rotations
    int missing = 0, repeated = 0;
    for (int count : seen) {
        missing += count == 0;
        repeated += count > 1;
    }
    EXPECT_EQ(notices, 0);
    EXPECT_EQ(missing, 0);
    EXPECT_EQ(repeated, 0);
    EXPECT_EQ(outOfOrder, 0);
}

// While queued, each copy counts as a tracked array of its length would: its length against the budget, and its
// length and header in the guard's count, whether its block is recycled or not; all of it comes back once written.
TEST(FileLoggerThreadsTest, QueuedCopiesCountAsTrackedArraysOfTheirLength) {
    setTweak("t_FileLoggerFlushEveryLine", "0");
    setTweak("t_TeskFlushFileMaxPeriodMs", "0");
    LogFolder dir;
    auto* logger = new ProbeLogger(dir.base, 1, 0, "");
    Logger::instance()->flushClients();
    logger->flush();
    MemShield* shield = MemShield::instance();
    const u64 guardBefore = shield->m_allocatedBytes.load();
    u64 lineBytes = 0;
    for (int round = 0; round < 3; ++round) {  // later rounds take recycled blocks
        {
            ScopedLock stall(&fileLockOf(logger));
            lineBytes = 0;
            for (size_t length : {1, 100, 247, 248, 249, 1000, 20000}) {
                logger->write(std::string(length - 1, 'x') + "\n");
                lineBytes += length;
            }
            EXPECT_EQ(trackerOf(logger).usedBytes(), lineBytes) << round;
            EXPECT_EQ(shield->m_allocatedBytes.load() - guardBefore, lineBytes + 7 * 8) << round;
        }
        logger->flush();
        EXPECT_EQ(trackerOf(logger).usedBytes(), 0u) << round;
        EXPECT_EQ(shield->m_allocatedBytes.load(), guardBefore) << round;
    }
}

// What queued lines and the spare memory for their copies hold stays within the budget, with a fixed allowance
// beside each line's entry in the queue: with the writer stalled until the pause, and once it has written them.
TEST(FileLoggerThreadsTest, QueuedCopiesHoldNoMoreThanTheBudget) {
    setTweak("t_FileLoggerFlushEveryLine", "0");
    setTweak("t_TeskFlushFileMaxPeriodMs", "10000");
    size_t probe = 0;
    if (!heapInUse(probe)) GTEST_SKIP() << "no count of the heap in use on this platform";
    constexpr size_t kBudget = 1u << 20, kAllowance = 256 * 1024;
    for (const size_t length : {40, 100, 240}) {
        SCOPED_TRACE(length);
        LogFolder dir;
        auto* logger = new ProbeLogger(dir.base, 1, 0, "");
        logger->flush();
        const std::string line = std::string(length - 1, 'm') + "\n";
        size_t before = 0, queuedHeld = 0, lines = 0;
        {
            LockHolder stall(fileLockOf(logger));
            heapInUse(before);
            while (!trackerOf(logger).paused() && lines < 2 * kBudget / length) {
                logger->write(line);
                ++lines;
            }
            heapInUse(queuedHeld);
        }
        EXPECT_LE(queuedHeld - before, kBudget + lines * sizeof(GenFileLogger::LogItem) + kAllowance)
            << lines << " lines";
        logger->flush();
        size_t after = 0;
        heapInUse(after);
        EXPECT_LE(after > before ? after - before : 0, kAllowance);
    }
}
