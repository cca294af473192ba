#include "FileLoggerSupport.h"
#include "NativePath.h"

#include <chrono>
#include <filesystem>
#include <regex>
#include <thread>

namespace {

const char* const kHeader = "time,level,thread,logger,method,message,exception\n";

void synchronousMode() {
    setTweak("t_FileLoggerFlushEveryLine", "1");
    setTweak("t_FileLoggerCompressOnRotate", "0");
    setTweak("t_GenFileLoggerMaxFiles", "1000");
    setTweak("t_TeskFlushFileMaxPeriodMs", "60000");
}

void queuedMode() {
    synchronousMode();
    setTweak("t_FileLoggerFlushEveryLine", "0");
}

// Loggers are never destroyed: their writer threads run until the process ends.
ProbeLogger* newLogger(const std::string& base, u32 budgetMiB = 1, const std::string& banner = "") {
    return new ProbeLogger(base, budgetMiB, 0, banner);
}

std::string startLinesPattern(const std::string& banner) {
    return "\n\n[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3}, -----------------Log "
           "Start---------------------- " +
           banner + " ----------------------\ntime,level,thread,logger,method,message,exception\n";
}

}  // namespace

TEST(FileLoggerTest, StartLinesInBothModes) {
    EXPECT_EQ(std::string(kHeader).size(), 50u);
    for (bool queued : {false, true}) {
        queued ? queuedMode() : synchronousMode();
        LogFolder dir;
        ProbeLogger* logger = newLogger(dir.base, 1, queued ? "Banner" : "");
        logger->flush();
        EXPECT_TRUE(std::regex_match(fileText(dir.live()), std::regex(startLinesPattern(queued ? "Banner" : ""))))
            << fileText(dir.live());

        // A second start appends to the same live file.
        newLogger(dir.base)->flush();
        const std::string text = fileText(dir.live());
        EXPECT_TRUE(std::regex_match(text, std::regex(startLinesPattern(queued ? "Banner" : "") + startLinesPattern(""))))
            << text;
    }
}

TEST(FileLoggerTest, WriterThreadIsNamedAfterTheClient) {
    queuedMode();
    LogFolder dir;
    RecordingClient& log = sharedClient();
    new FileLoggerClient(dir.base, 1, 0, "");
    EXPECT_TRUE(log.waitForLine("Starting ThreadWrapper of type class FileLoggerClient internalId="));
    EXPECT_TRUE(log.linesWith("type class GenFileLogger").empty());
}

TEST(FileLoggerTest, RotatesOnlyOncePastTheLimit) {
    synchronousMode();
    LogFolder probe;
    newLogger(probe.base);
    const unsigned long long startSize = fileSize(probe.live());

    LogFolder dir;
    makeFile(dir.live(), "old", GenFileLogger::kRotateAboveBytes - startSize);
    ProbeLogger* logger = newLogger(dir.base);
    ASSERT_EQ(fileSize(dir.live()), GenFileLogger::kRotateAboveBytes);  // exactly at the limit: no rotation yet

    logger->write("first\n");
    EXPECT_EQ(dir.files(), (std::vector<std::string>{"log.txt"}));
    logger->write("second\n");
    ASSERT_EQ(dir.files(), (std::vector<std::string>{"log.txt", "log000001.txt"}));
    EXPECT_TRUE(fileText(dir.live()) == "second\n") << fileSize(dir.live());  // big files: no dumps
    const std::string rotated = fileText(dir.numbered("000001"));
    ASSERT_GT(rotated.size(), 6u);
    EXPECT_TRUE(rotated.compare(0, 3, "old") == 0);
    EXPECT_TRUE(rotated.compare(rotated.size() - 6, 6, "first\n") == 0);
}

TEST(FileLoggerTest, NextIndexFollowsTheHighestNumberedFile) {
    const struct {
        const char* name;
        std::vector<std::string> existing;  // file names in the folder besides the oversized live file
        bool compress;
        std::vector<std::string> expected;  // every file afterwards
        const char* liveBecomes;
    } cases[] = {
        {"first rotation", {}, false, {"log.txt", "log000001.txt"}, "log000001.txt"},
        {"gaps", {"log000003.txt", "log000007.txt"}, false, {"log.txt", "log000003.txt", "log000007.txt", "log000008.txt"}, "log000008.txt"},
        {"leftover live file", {"log.txt.gz", "log000002.txt"}, false, {"log.txt", "log000002.txt", "log000003.txt", "log000004.txt"}, "log000004.txt"},
        {"compressed names", {}, true, {"log.txt", "log000001.txt.gz"}, "log000001.txt.gz"},
        {"wide index", {"log123456.txt"}, false, {"log.txt", "log123456.txt", "log123457.txt"}, "log123457.txt"},
        {"other names", {"other.txt", "log.txt.bak7"}, false, {"log.txt", "log.txt.bak7", "log000001.txt", "other.txt"}, "log000001.txt"},
        {"signed name", {"log-1.txt", "log000003.txt"}, false, {"log-1.txt", "log.txt", "log000003.txt", "log000004.txt"}, "log000004.txt"},
        {"highest index", {"log4294967295.txt"}, false, {"log.txt", "log000001.txt", "log4294967295.txt"}, "log000001.txt"},
        {"below the highest", {"log4294967294.txt"}, false, {"log.txt", "log4294967294.txt", "log4294967295.txt"}, "log4294967295.txt"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        synchronousMode();
        setTweak("t_FileLoggerCompressOnRotate", c.compress ? "1" : "0");
        LogFolder dir;
        for (const auto& name : c.existing) makeFile(dir.folder + "\\" + name, "existing " + name);
        makeFile(dir.live(), "LIVE", GenFileLogger::kRotateAboveBytes + 1);
        newLogger(dir.base);  // the start lines find the live file past the limit
        ASSERT_EQ(dir.files(), c.expected);
        EXPECT_TRUE(fileText(dir.folder + "\\" + c.liveBecomes).compare(0, 4, "LIVE") == 0);  // renamed, plain text
        EXPECT_TRUE(std::regex_match(fileText(dir.live()), std::regex(startLinesPattern(""))));
        if (std::string(c.name) == "leftover live file") {
            EXPECT_EQ(fileText(dir.numbered("000003")), "existing log.txt.gz");
        }
    }
}

TEST(FileLoggerTest, RemovesTheOldestNumberedFileWhenFull) {
    const struct {
        const char* name;
        const char* maxFiles;
        std::vector<std::string> existing;
        std::vector<std::string> expected;
    } cases[] = {
        {"unnumbered sorts first", "2", {"logX.txt", "log000001.txt", "log000002.txt"},
         {"log.txt", "log000001.txt", "log000002.txt", "log000003.txt"}},
        {"lowered maximum keeps the count", "1", {"log000001.txt", "log000002.txt", "log000003.txt"},
         {"log.txt", "log000002.txt", "log000003.txt", "log000004.txt"}},
        {"negative maximum never removes", "-1", {"log000001.txt", "log000002.txt"},
         {"log.txt", "log000001.txt", "log000002.txt", "log000003.txt"}},
        {"zero maximum with nothing to remove", "0", {}, {"log.txt", "log000001.txt"}},
        {"zero maximum", "0", {"log000004.txt"}, {"log.txt", "log000005.txt"}},
        {"leftover live file", "3", {"log000001.txt", "log000002.txt", "log000003.txt", "log.txt.gz"},
         {"log.txt", "log000002.txt", "log000003.txt", "log000004.txt", "log000005.txt"}},
        {"below the maximum", "5", {"log000001.txt"}, {"log.txt", "log000001.txt", "log000002.txt"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        synchronousMode();
        setTweak("t_GenFileLoggerMaxFiles", c.maxFiles);
        LogFolder dir;
        for (const auto& name : c.existing) makeFile(dir.folder + "\\" + name, name);
        makeFile(dir.live(), "LIVE", GenFileLogger::kRotateAboveBytes + 1);
        newLogger(dir.base);
        EXPECT_EQ(dir.files(), c.expected);
    }
    setTweak("t_GenFileLoggerMaxFiles", "1000");
}

TEST(FileLoggerTest, OverrideReplacesTheMaximum) {
    synchronousMode();
    setTweak("t_GenFileLoggerMaxFiles", "-1");
    setTweak("t_FileLoggerMaxFilesOverride", "1");
    LogFolder dir;
    makeFile(dir.numbered("000001"), "one");
    makeFile(dir.live(), "LIVE", GenFileLogger::kRotateAboveBytes + 1);
    newLogger(dir.base);
    EXPECT_EQ(dir.files(), (std::vector<std::string>{"log.txt", "log000002.txt"}));
    setTweak("t_FileLoggerMaxFilesOverride", "");
}

TEST(FileLoggerTest, LogFolderOfAPath) {
    const struct {
        const char* path;
        const char* folder;
    } cases[] = {
        {"C:\\ProgramData\\Talvo\\logs\\Vantrell.exe.log", "C:\\ProgramData\\Talvo\\logs"},
        {"log", "."},
        {"a/b/log", "."},
        {"a\\b/c\\d/log", "a\\b/c\\d"},
        {"a/b\\log", "a/b"},
    };
    for (const auto& c : cases) EXPECT_EQ(GenFileLogger::logFolderOf(c.path), c.folder) << c.path;
    EXPECT_EQ(GenFileLogger::getFileIndex("base000042.txt.gz", 4), 42u);
    EXPECT_EQ(GenFileLogger::getFileIndex("baseX.txt", 4), 0u);
}

TEST(FileLoggerTest, PathWithoutFolderRotatesInTheWorkingDirectory) {
    synchronousMode();
    const std::string base = uniqueName("plain");
    makeFile(base + ".txt", "LIVE", GenFileLogger::kRotateAboveBytes + 1);
    newLogger(base);
    EXPECT_TRUE(fileText(base + "000001.txt").compare(0, 4, "LIVE") == 0);
    EXPECT_TRUE(std::regex_match(fileText(base + ".txt"), std::regex(startLinesPattern(""))));
}

TEST(FileLoggerTest, QueuedLinesReachTheFileInOrderByTheTimeFlushReturns) {
    queuedMode();
    setTweak("t_TeskFlushFileMaxPeriodMs", "0");  // wait for the writer without a limit
    LogFolder dir;
    ProbeLogger* logger = newLogger(dir.base);
    std::string expected;
    for (int i = 0; i < 2000; ++i) {
        const std::string line = "line " + std::to_string(i) + "\n";
        logger->write(line);
        expected += line;
    }
    logger->flush();
    const std::string text = fileText(dir.live());
    EXPECT_EQ(text.substr(text.size() - expected.size()), expected);
}

TEST(FileLoggerTest, FullBudgetPausesOnceAndResumesAtTheLowMark) {
    queuedMode();
    LogFolder dir;
    ProbeLogger* logger = newLogger(dir.base, 1);
    logger->flush();
    EXPECT_EQ(trackerOf(logger).limitBytes(), 1048576u);
    EXPECT_EQ(trackerOf(logger).lowMarkBytes(), 838860u);

    const std::string block(64 * 1024 - 16, 'x');
    auto line = [&](int i) {
        char number[16];
        std::snprintf(number, sizeof(number), "%06d ", i);
        return std::string(number) + block + "\n";
    };
    int accepted = 0;
    {
        ScopedLock stall(&fileLockOf(logger));  // the writer cannot write: the queue keeps its memory
        for (int i = 0; i < 40; ++i) {
            const bool pausedBefore = trackerOf(logger).paused();
            logger->write(line(i));
            if (!pausedBefore && !trackerOf(logger).paused()) accepted = i + 1;
        }
        EXPECT_TRUE(trackerOf(logger).paused());
    }
    EXPECT_GE(accepted, 14);
    EXPECT_LE(accepted, 16);
    logger->flush();
    EXPECT_FALSE(trackerOf(logger).paused());
    logger->write("after the pause\n");
    logger->flush();

    const std::string text = fileText(dir.live());
    size_t at = 0;
    for (int i = 0; i < accepted; ++i) {
        const size_t found = text.find(line(i), at);
        ASSERT_NE(found, std::string::npos) << i;
        at = found;
    }
    for (int i = accepted; i < 40; ++i) EXPECT_EQ(text.find(line(i)), std::string::npos) << i;
    const std::regex notice("\n[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3}," +
                            std::regex_replace(dir.base, std::regex("\\\\"), "\\\\") + "-pausing logger due to OOM\n");
    auto notices = std::distance(std::sregex_iterator(text.begin(), text.end(), notice), std::sregex_iterator());
    EXPECT_EQ(notices, 1);
    EXPECT_GT(text.find("-pausing logger due to OOM"), at);
    EXPECT_EQ(text.substr(text.size() - 16), "after the pause\n");
}

TEST(FileLoggerTest, FlushWaitsForItsOwnMarkerAfterAPause) {
    queuedMode();
    LogFolder dir;
    ProbeLogger* logger = newLogger(dir.base, 1);
    logger->flush();
    const std::string big(512 * 1024, 'y');
    const std::string tail = std::string(4 * 1024 * 1024, 't') + "\nthe last line\n";
    {
        LockHolder stall(fileLockOf(logger));
        for (int i = 0; i < 4; ++i) logger->write(big + "\n");  // the third pauses: a notice and a marker queue
        ASSERT_TRUE(trackerOf(logger).paused());
        setTweak("t_disableLogMemoryAllocationTracking", "1");  // past the budget: queued behind the pause marker
        logger->write(tail);
        setTweak("t_disableLogMemoryAllocationTracking", "0");
        stall.releaseAfter(50);
        logger->flush();
    }
    const std::string text = fileText(dir.live());
    EXPECT_EQ(text.substr(text.size() - 14), "the last line\n");
}

TEST(FileLoggerTest, FlushAfterATimedOutFlushWaitsForItsOwnLines) {
    queuedMode();
    setTweak("t_TeskFlushFileMaxPeriodMs", "100");
    LogFolder dir;
    ProbeLogger* logger = newLogger(dir.base, 8);
    logger->flush();
    {
        LockHolder stall(fileLockOf(logger));
        logger->write("A\n");
        ::testing::internal::CaptureStderr();
        logger->flush();  // the writer is stalled: this one certainly times out
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Flush is not completed t_TeskFlushFileMaxPeriodMs=100 \n");
        logger->write(std::string(4 * 1024 * 1024, 'b') + "\nB\n");
        stall.releaseAfter(20);
        // Long enough for any load: only a flush that returned early, on what the first one left, misses B.
        FileLoggerProbe::setFlushWaitMs(logger, 30000);
        finishWithin(40000, "the second flush", [&] { logger->flush(); });
        const std::string text = fileText(dir.live());
        EXPECT_EQ(text.substr(text.size() - 3), "\nB\n");
    }
}

// Two threads flush at once: each returns only once its own line is on disk.
TEST(FileLoggerTest, ConcurrentFlushesEachWaitForTheirOwnLines) {
    queuedMode();
    setTweak("t_TeskFlushFileMaxPeriodMs", "30000");
    LogFolder dir;
    ProbeLogger* logger = newLogger(dir.base, 8);
    logger->flush();
    for (int round = 0; round < 20; ++round) {
        std::vector<std::string> missing(2);
        {
            LockHolder stall(fileLockOf(logger));
            std::vector<std::thread> flushers;
            for (int t = 0; t < 2; ++t) {
                flushers.emplace_back([&, t] {
                    const std::string line = "round " + std::to_string(round) + " thread " + std::to_string(t) + "\n";
                    logger->write(line);
                    logger->flush();
                    if (fileText(dir.live()).find(line) == std::string::npos) missing[t] = line;
                });
            }
            stall.releaseAfter(round % 4 * 5);
            finishWithin(40000, "two flushes", [&] {
                for (auto& flusher : flushers) flusher.join();
            });
        }
        EXPECT_EQ(missing, std::vector<std::string>(2)) << "round " << round;
    }
}

// In the queued mode with "t_AsyncFileLoggerFlushEveryLine" the writer flushes after each line: it reaches the
// disk without a flush call.
TEST(FileLoggerTest, WriterFlushesEachLineWhenAskedTo) {
    queuedMode();
    setTweak("t_AsyncFileLoggerFlushEveryLine", "1");
    LogFolder dir;
    ProbeLogger* logger = newLogger(dir.base, 8);
    setTweak("t_AsyncFileLoggerFlushEveryLine", "0");
    logger->write("flushed by the writer\n");
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    bool written = false;
    while (!written && std::chrono::steady_clock::now() < until) {
        written = fileText(dir.live()).find("flushed by the writer\n") != std::string::npos;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_TRUE(written);
}

TEST(FileLoggerTest, SynchronousFlushReturnsAtOnce) {
    synchronousMode();
    setTweak("t_TeskFlushFileMaxPeriodMs", "0");
    LogFolder dir;
    ProbeLogger* logger = newLogger(dir.base);
    ScopedLock stall(&fileLockOf(logger));
    finishWithin(10000, "a synchronous flush", [&] { logger->flush(); });  // would wait for a marker nobody writes
}

// Only leading digits make an index; the largest u32 is none, so the next index never wraps to 0.
TEST(FileLoggerTest, IndexOfANumberedFileName) {
    const struct {
        const char* name;
        u32 index;
    } cases[] = {
        {"log000012.txt", 12},         {"log000012.txt.gz", 12},     {"log123456.txt", 123456},
        {"log7.txt", 7},               {"log12abc.txt", 12},         {"log-1.txt", 0},
        {"log+3.txt", 0},              {"log 5.txt", 0},             {"log.txt.gz", 0},
        {"log4294967294.txt", 4294967294u}, {"log4294967295.txt", 0}, {"log99999999999.txt", 0},
        {"log", 0},
    };
    for (const auto& c : cases) EXPECT_EQ(GenFileLogger::getFileIndex(c.name, 3), c.index) << c.name;
}

TEST(FileLoggerTest, BudgetBytesAreComputedWithoutWrapping) {
    queuedMode();
    const struct {
        u32 budgetMiB;
        u32 limit;
    } cases[] = {{1, 1048576u}, {3, 3145728u}, {4095, 4095u << 20}, {4096, 0xFFFFFFFFu}, {4097, 0xFFFFFFFFu},
                 {0xFFFFFFFFu, 0xFFFFFFFFu}};
    for (const auto& c : cases) {
        LogFolder dir;
        ProbeLogger* logger = newLogger(dir.base, c.budgetMiB);
        EXPECT_EQ(trackerOf(logger).limitBytes(), c.limit) << c.budgetMiB;
        logger->write("fits\n");
        logger->flush();
        EXPECT_FALSE(trackerOf(logger).paused()) << c.budgetMiB;
    }
    setTweak("t_percentOfLoggerMemoryforMinimalThreshold", "250");
    LogFolder dir;
    EXPECT_EQ(trackerOf(newLogger(dir.base, 0xFFFFFFFFu)).lowMarkBytes(), 0xFFFFFFFFu);  // clamped to the limit
    setTweak("t_percentOfLoggerMemoryforMinimalThreshold", "");
}

TEST(FileLoggerTest, DisabledLoggerWritesNothing) {
    synchronousMode();
    setTweak("t_FileLoggerEnabled", "0");
    LogFolder dir;
    ProbeLogger* logger = newLogger(dir.base);
    logger->write("dropped\n");
    logger->flush();
    EXPECT_EQ(fileText(dir.live()), "");
    EXPECT_FALSE(logger->isEnabled());
    setTweak("t_FileLoggerEnabled", "");
}

TEST(FileLoggerTest, FolderThatCannotBeMadeDisablesTheLogger) {
    synchronousMode();
    const std::string missing = uniqueName("missing");
    ::testing::internal::CaptureStdout();
    ProbeLogger* logger = newLogger(missing + "\\sub\\log");
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "Error creating directory (" + missing + "\\sub) for logs (rt=0)GetLastError 3\n"
                   "failed to open logger file. going to work without logger\n");
    EXPECT_FALSE(logger->isEnabled());
    logger->write("dropped\n");
    logger->flush();
    EXPECT_FALSE(fileExists(missing));
}

TEST(FileLoggerTest, RenameThatWouldReplaceAFileFailsAndKeepsTheLiveFile) {
    synchronousMode();
    LogFolder dir;
    std::filesystem::create_directory(nativePath(dir.numbered("000001")));  // not listed: folders are not files
    makeFile(dir.live(), "LIVE", GenFileLogger::kRotateAboveBytes + 1);
    ::testing::internal::CaptureStderr();
    ProbeLogger* logger = newLogger(dir.base);
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_TRUE(std::regex_match(err, std::regex("Error renaming file orig=" +
                                                 std::regex_replace(dir.live(), std::regex("\\\\"), "\\\\") + " target=" +
                                                 std::regex_replace(dir.numbered("000001"), std::regex("\\\\"), "\\\\") +
                                                 " err=[0-9]+\\(.+\\)\n")))
        << err;
    logger->write("kept\n");
    const std::string text = fileText(dir.live());
    ASSERT_GT(text.size(), 5u);
    EXPECT_TRUE(text.compare(0, 4, "LIVE") == 0);
    EXPECT_TRUE(text.compare(text.size() - 5, 5, "kept\n") == 0);
}

// A refused rename (on Windows, another agent holding the main log open) rotates nothing: no numbered log is
// removed for it, it is reported once and tried again at the reopen interval, not at every line.
TEST(FileLoggerTest, RefusedRenameRemovesNoLogAndIsRetriedAtTheReopenInterval) {
    synchronousMode();
    setTweak("t_GenFileLoggerMaxFiles", "1");
    LogFolder dir;
    makeFile(dir.numbered("000000"), "oldest");
    std::filesystem::create_directory(nativePath(dir.numbered("000001")));  // the rename's target: refused
    makeFile(dir.live(), "LIVE", GenFileLogger::kRotateAboveBytes + 1);
    ::testing::internal::CaptureStderr();
    const auto refused = std::chrono::steady_clock::now();
    ProbeLogger* logger = newLogger(dir.base);  // its start lines find the live file past the limit
    for (int i = 0; i < 10; ++i) logger->write("line " + std::to_string(i) + "\n");
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::regex_replace(err, std::regex(" err=[0-9]+\\(.+\\)"), " err"),
              "Error renaming file orig=" + dir.live() + " target=" + dir.numbered("000001") + " err\n");
    EXPECT_EQ(dir.files(), (std::vector<std::string>{"log.txt", "log000000.txt"}));
    EXPECT_TRUE(fileText(dir.live()).ends_with("line 8\nline 9\n"));
    // The target gone, a line within the interval still goes to the live file; the next line after it rotates.
    std::filesystem::remove(nativePath(dir.numbered("000001")));
    // The refusal came after `refused`, so a write begun within 900 ms of it is surely within the interval. A slow
    // machine (a sanitizer, one CPU) may be past that: the line then either stays or rotates.
    const bool within = std::chrono::steady_clock::now() - refused < std::chrono::milliseconds(900);
    logger->write("within the interval\n");
    if (within) {
        EXPECT_EQ(dir.files(), (std::vector<std::string>{"log.txt", "log000000.txt"}));
        EXPECT_TRUE(fileText(dir.live()).ends_with("line 9\nwithin the interval\n"));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    logger->write("after\n");
    EXPECT_EQ(dir.files(), (std::vector<std::string>{"log.txt", "log000001.txt"}));
    const std::string live = fileText(dir.live());
    EXPECT_TRUE(live == "after\n" || (!within && live == "within the interval\nafter\n"))
        << fileSize(dir.live()) << " bytes";  // big files: no dumps
}

// Queued lines reach the file soon after they are logged, without a flush: a process ended meanwhile (killed, or a
// crash outside the Assert path) loses none of them.
TEST(FileLoggerTest, QueuedLinesReachTheFileSoonWithoutAFlush) {
    queuedMode();
    LogFolder dir;
    ProbeLogger* logger = newLogger(dir.base, 8);
    std::string expected;
    for (int i = 0; i < 1000; ++i) {  // about 100 KB, far less than the writer's buffer
        const std::string line = "line " + std::to_string(i) + " " + std::string(90, '.') + "\n";
        logger->write(line);
        expected += line;
    }
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    bool written = false;
    while (!written && std::chrono::steady_clock::now() < until) {
        written = fileText(dir.live()).ends_with(expected);
        if (!written) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(written) << fileSize(dir.live()) << " bytes in the file";
}

struct LiveFileProbe {
    static HANDLE handle(const LiveFile& file) { return file.m_handle; }
};

// The live file's handle appends only: a write lands at the end of the file wherever its pointer was moved (another
// agent's lines may have been appended meanwhile), the offset after it is where it ended, and a cut is made through
// a handle of its own.
TEST(FileLoggerTest, LiveFileWritesAtTheEndWhereverItsPointerIs) {
    LogFolder dir;
    const std::string other = "another writer's line\n";
    makeFile(dir.live(), other);
    LiveFile file;
    ASSERT_TRUE(file.open(dir.live()));
    ASSERT_EQ(file.write("first\n", 6), 6);
    u64 end = 0;
    ASSERT_TRUE(file.offsetAfterWrite(end));
    EXPECT_EQ(end, other.size() + 6);
    LARGE_INTEGER start;
    start.QuadPart = 0;
    ASSERT_TRUE(SetFilePointerEx(LiveFileProbe::handle(file), start, NULL, FILE_BEGIN));
    ASSERT_EQ(file.write("second\n", 7), 7);
    ASSERT_TRUE(file.offsetAfterWrite(end));
    EXPECT_EQ(end, other.size() + 13);
    EXPECT_EQ(readFile(nativePath(dir.live())), other + "first\nsecond\n");
    LiveFile::State state;
    ASSERT_TRUE(file.state(state));
    EXPECT_EQ(state.size, other.size() + 13);
    EXPECT_EQ(state.identity, LiveFile::identityOf(dir.live()));
    EXPECT_TRUE(file.cut(other.size() + 6));
    file.close();
    EXPECT_EQ(readFile(nativePath(dir.live())), other + "first\n");
}

TEST(FileLoggerTest, BypassFlagServesLinesPastTheBudgetWithoutPausing) {
    queuedMode();
    LogFolder dir;
    ProbeLogger* logger = newLogger(dir.base, 1);
    logger->flush();
    setTweak("t_disableLogMemoryAllocationTracking", "1");
    const std::string line(256 * 1024 - 1, 'z');
    {
        ScopedLock stall(&fileLockOf(logger));
        for (int i = 0; i < 8; ++i) logger->write(line + "\n");  // 2 MiB queued against a 1 MiB budget
        EXPECT_FALSE(trackerOf(logger).paused());
        EXPECT_GT(trackerOf(logger).usedBytes(), trackerOf(logger).limitBytes());
    }
    setTweak("t_disableLogMemoryAllocationTracking", "0");
    logger->flush();
    const std::string text = fileText(dir.live());
    size_t count = 0;
    for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + line.size())) ++count;
    EXPECT_EQ(count, 8u);
    EXPECT_EQ(text.find("pausing logger"), std::string::npos);
    EXPECT_EQ(trackerOf(logger).usedBytes(), 0u);
}

TEST(FileLoggerTest, QueuesOfAllLoggersAreReportedAsOneContainer) {
    queuedMode();
    LogFolder first, second;
    ProbeLogger* a = newLogger(first.base, 1);
    ProbeLogger* b = newLogger(second.base, 1);
    a->flush();
    b->flush();
    RecordingClient& log = sharedClient();
    {
        ScopedLock stallA(&fileLockOf(a));
        ScopedLock stallB(&fileLockOf(b));
        // The first line wakes each writer, which takes it and then waits for its file: the rest stay queued.
        a->write("taken\n");
        b->write("taken\n");
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while ((queuedIn(a) != 0 || queuedIn(b) != 0) && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        for (int i = 0; i < 3; ++i) a->write("queued\n");
        for (int i = 0; i < 2; ++i) b->write("queued\n");
        log.clear();
        MemWatchedContainerDatabase::instance()->printWatchedContainers();
    }
    EXPECT_EQ(log.linesWith("ContainerName = FileLogger ").size(), 1u);
    EXPECT_EQ(log.linesWith(",ContainerName = FileLogger items = 5\n").size(), 1u);
}
