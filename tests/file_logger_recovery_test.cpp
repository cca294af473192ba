// test-traits: linux-only
// Failures the Linux file system lets a test cause: a full disk, a log folder removed or replaced while in use.
#include "FileLoggerSupport.h"
#include "NativePath.h"

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;

namespace {
void synchronousMode() {
    setTweak("t_FileLoggerFlushEveryLine", "1");
    setTweak("t_GenFileLoggerMaxFiles", "1000");
}

void queuedMode() {
    synchronousMode();
    setTweak("t_FileLoggerFlushEveryLine", "0");
    setTweak("t_TeskFlushFileMaxPeriodMs", "10000");
}

// A numbered line of a length that varies with its number, so that a piece of one is told from a whole one.
std::string numberedLine(int n) {
    return "n=" + std::to_string(n) + " " + std::string(static_cast<size_t>(40 + n * 37 % 200), '.') + "|\n";
}

// The numbers of the numbered lines of `text`, in their order; a line that is not a whole numbered line counts as
// -1.
std::vector<int> numbersIn(const std::string& text) {
    std::vector<int> numbers;
    std::istringstream in(text);
    static const std::regex numbered("n=([0-9]+) .*");
    for (std::string line; std::getline(in, line);) {
        std::smatch match;
        if (!std::regex_match(line, match, numbered)) continue;
        const int n = std::stoi(match[1]);
        numbers.push_back(line + "\n" == numberedLine(n) ? n : -1);
    }
    return numbers;
}

std::vector<int> range(int from, int to) {
    std::vector<int> numbers;
    for (int n = from; n < to; ++n) numbers.push_back(n);
    return numbers;
}

// Writes `line` every 50 ms until it shows up in the live file or `ms` ran out.
bool writeUntilLogged(ProbeLogger* logger, const LogFolder& dir, const std::string& line, int ms = 5000) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < until) {
        logger->write(line);
        logger->flush();  // queued mode: the line is on disk once this returns
        if (fileExists(dir.live()) && fileText(dir.live()).find(line) != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

// Waits until the writer has taken every queued line and written it: the queue is empty and the file lock, which
// the writer holds for a whole batch, is free. False after 10 s.
bool writerIdle(ProbeLogger* logger) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < until) {
        if (queuedIn(logger) == 0) {
            ScopedLock lock(&fileLockOf(logger));
            if (queuedIn(logger) == 0) return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}
}  // namespace

TEST(FileLoggerRecoveryTest, FullDiskIsReportedOnceAndWritingResumes) {
    synchronousMode();
    LogFolder dir;
    fs::create_symlink("/dev/full", nativePath(dir.live()));  // every write fails with "no space left"
    ::testing::internal::CaptureStderr();
    ProbeLogger* logger = new ProbeLogger(dir.base, 1, 0, "");
    for (int i = 0; i < 5; ++i) logger->write("lost on a full disk\n");
    fs::remove(nativePath(dir.live()));
    EXPECT_TRUE(writeUntilLogged(logger, dir, "written again\n"));
    const std::string err = ::testing::internal::GetCapturedStderr();
    const std::string report =
        "log file " + dir.base + ".txt cannot be written; lines are dropped until it can be reopened\n";
    EXPECT_EQ(err, report);
    EXPECT_EQ(fileText(dir.live()).find("lost"), std::string::npos);
}

TEST(FileLoggerRecoveryTest, RemovedFolderIsMadeAgainAtTheNextRotation) {
    synchronousMode();
    LogFolder dir;
    ProbeLogger* logger = new ProbeLogger(dir.base, 1, 0, "");
    logger->write(std::string(GenFileLogger::kRotateAboveBytes + 1, 'p'));
    fs::remove_all(nativePath(dir.folder));
    ::testing::internal::CaptureStderr();
    logger->write("after the folder was removed\n");
    const std::string err = ::testing::internal::GetCapturedStderr();
    // The removed file's one line, longer than what is kept of it, is reported lost with the bytes before it.
    const std::string listing = "FindFirstFile failed (3)\nfailed to enumerate files\n";
    std::smatch lost;
    const std::string rest = err.substr(std::min(err.size(), listing.size()));
    EXPECT_EQ(err.substr(0, listing.size()), listing);
    ASSERT_TRUE(std::regex_match(rest, lost, std::regex("log file .*log\\.txt was removed; ([0-9]+) bytes written to it "
                                                         "before are lost\n")))
        << err;
    EXPECT_GT(std::stoull(lost[1]), GenFileLogger::kRotateAboveBytes);
    EXPECT_EQ(fileText(dir.live()), "after the folder was removed\n");
}

TEST(FileLoggerRecoveryTest, FolderReplacedByAFileIsRetriedUntilItCanBeMade) {
    synchronousMode();
    LogFolder dir;
    ProbeLogger* logger = new ProbeLogger(dir.base, 1, 0, "");
    logger->write(std::string(GenFileLogger::kRotateAboveBytes + 1, 'p'));
    fs::remove_all(nativePath(dir.folder));
    makeFile(dir.folder, "not a folder");
    ::testing::internal::CaptureStderr();
    for (int i = 0; i < 3; ++i) logger->write("dropped\n");
    fs::remove(nativePath(dir.folder));
    EXPECT_TRUE(writeUntilLogged(logger, dir, "back again\n"));
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("failed to enumerate files\n"), std::string::npos) << err;
    EXPECT_NE(err.find("cannot be written; lines are dropped until it can be reopened\n"), std::string::npos) << err;
    EXPECT_EQ(fileText(dir.live()).find("dropped"), std::string::npos);
}

// The queued mode flushes only at its markers: a full disk is reported as soon as the writer drops a line, not at
// the next flush.
TEST(FileLoggerRecoveryTest, FullDiskInQueuedModeIsReportedWithoutAFlush) {
    queuedMode();
    LogFolder dir;
    fs::create_symlink("/dev/full", nativePath(dir.live()));
    ::testing::internal::CaptureStderr();
    ProbeLogger* logger = new ProbeLogger(dir.base, 8, 0, "");
    const std::string lost = "lost on a full disk " + std::string(4000, 'f') + "\n";
    for (int i = 0; i < 200; ++i) logger->write(lost);  // past the stream's buffer: its writes fail
    ASSERT_TRUE(writerIdle(logger));
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "log file " + dir.base + ".txt cannot be written; lines are dropped until it can be reopened\n");
    fs::remove(nativePath(dir.live()));
    EXPECT_TRUE(writeUntilLogged(logger, dir, "written again\n"));
    EXPECT_EQ(fileText(dir.live()).find("lost"), std::string::npos);
}

// Linux lets the log folder be removed while the live file is open; the writer notices within about a second and
// opens the live file anew, folder included, in both modes.
TEST(FileLoggerRecoveryTest, RemovedFolderOfTheOpenFileIsNoticedAndMadeAgain) {
    for (const bool queued : {false, true}) {
        SCOPED_TRACE(queued ? "queued" : "synchronous");
        if (queued) {
            queuedMode();
        } else {
            synchronousMode();
        }
        LogFolder dir;
        ProbeLogger* logger = new ProbeLogger(dir.base, 8, 0, "");
        logger->write("before\n");
        logger->flush();
        fs::remove_all(nativePath(dir.folder));
        EXPECT_TRUE(writeUntilLogged(logger, dir, "after the folder was removed\n", 5000));
        EXPECT_TRUE(fs::is_directory(nativePath(dir.folder)));
    }
}

// A queued logger's explicit flush (an Error line, the end of a run) checks the live file first: lines written
// after its folder was removed reach a new file at once instead of going into the removed one until the next
// periodic check. What an earlier flush found in place went with the folder.
TEST(FileLoggerRecoveryTest, FlushAfterTheFolderWasRemovedWritesTheLinesToANewFile) {
    queuedMode();
    LogFolder dir;
    ProbeLogger* logger = new ProbeLogger(dir.base, 8, 0, "");
    logger->write("before\n");
    logger->flush();
    fs::remove_all(nativePath(dir.folder));
    logger->write("after the folder was removed\n");
    logger->write("the run's last line\n");
    logger->flush();
    ASSERT_TRUE(fileExists(dir.live()));
    EXPECT_EQ(fileText(dir.live()), "after the folder was removed\nthe run's last line\n");
}

// A live file renamed under the open stream (on Linux, another process's rotation of a shared log) still holds what
// was written to it: the lines go on into it until the check, and are not written a second time to the new file.
TEST(FileLoggerRecoveryTest, RenamedLiveFileKeepsItsLinesAndTheyAreNotWrittenAgain) {
    queuedMode();
    LogFolder dir;
    ProbeLogger* logger = new ProbeLogger(dir.base, 8, 0, "");
    logger->write("before\n");
    logger->flush();
    fs::rename(nativePath(dir.live()), nativePath(dir.numbered("000001")));
    makeFile(dir.live(), "");
    logger->write("after the rename\n");
    logger->flush();
    logger->write("after the reopen\n");
    logger->flush();
    const std::string renamed = fileText(dir.numbered("000001"));
    EXPECT_TRUE(renamed.ends_with("\nbefore\nafter the rename\n")) << renamed;
    EXPECT_EQ(fileText(dir.live()), "after the reopen\n");
}

// What becomes of the lines written into a live file that another program renamed or removed, with a new live file
// made or not: each line stands once in the files that are left, the renamed file keeping what went into it; only
// what went into a removed file since the last flush found it in place is written again, so that nothing is lost.
// Only the explicit flushes check the live file here, so that the outcome does not depend on the clock.
TEST(FileLoggerRecoveryTest, LinesOfALiveFileRenamedOrRemovedStandOnceInTheFilesLeft) {
    struct Case {
        const char* name;
        std::function<void(const LogFolder&)> change;
        bool renamed;  // the old live file is kept as base000001.txt
    };
    const Case cases[] = {
        {"renamed, no new live file",
         [](const LogFolder& dir) { fs::rename(nativePath(dir.live()), nativePath(dir.numbered("000001"))); }, true},
        {"renamed, an empty live file made in its place",
         [](const LogFolder& dir) {
             fs::rename(nativePath(dir.live()), nativePath(dir.numbered("000001")));
             makeFile(dir.live(), "");
         },
         true},
        {"removed", [](const LogFolder& dir) { fs::remove(nativePath(dir.live())); }, false},
        {"folder removed",
         [](const LogFolder& dir) { fs::remove_all(nativePath(dir.folder)); }, false},
        {"folder removed, made again with an empty live file",
         [](const LogFolder& dir) {
             fs::remove_all(nativePath(dir.folder));
             fs::create_directory(nativePath(dir.folder));
             makeFile(dir.live(), "");
         },
         false},
    };
    queuedMode();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LogFolder dir;
        ProbeLogger* logger = new ProbeLogger(dir.base, 8, 0, "");
        FileLoggerProbe::setLiveCheckIntervalMs(logger, 3600 * 1000);
        // 100 lines a turn: more than a few kilobytes go into the changed file before the flush finds it.
        auto write = [&](int from) {
            for (int n = from; n < from + 100; ++n) logger->write(numberedLine(n));
        };
        ::testing::internal::CaptureStderr();
        write(0);
        logger->flush();
        c.change(dir);
        write(100);
        logger->flush();
        write(200);
        logger->flush();
        const std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(err, "");
        std::vector<int> numbers;
        if (c.renamed) numbers = numbersIn(fileText(dir.numbered("000001")));
        const std::vector<int> live = numbersIn(fileText(dir.live()));
        numbers.insert(numbers.end(), live.begin(), live.end());
        // What the first flush found in place went with a removed file.
        EXPECT_EQ(numbers, range(c.renamed ? 0 : 100, 300));
    }
}

// A live file removed when it is near its rotation, where the periodic check is not made: the rotation finds it
// removed, and what went into it since it was last found in place is written to the new live file, once.
TEST(FileLoggerRecoveryTest, LiveFileRemovedNearItsRotationKeepsItsLines) {
    struct Case {
        const char* name;
        bool folder;
    };
    const Case cases[] = {{"removed", false}, {"folder removed", true}};
    queuedMode();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LogFolder dir;
        ProbeLogger* logger = new ProbeLogger(dir.base, 8, 0, "");
        FileLoggerProbe::setLiveCheckIntervalMs(logger, 3600 * 1000);
        // Filled to 20 KB below the rotation, in lines that leave the budget room.
        const u64 target = GenFileLogger::kRotateAboveBytes - 20000;
        logger->flush();
        u64 left = target - fs::file_size(nativePath(dir.live()));
        for (int i = 1; left > 0; ++i) {
            const u64 line = std::min<u64>(100 * 1024, left);
            logger->write(std::string(line - 1, 'p') + "\n");
            left -= line;
            if (i % 20 == 0) logger->flush();
        }
        logger->flush();
        ASSERT_EQ(fs::file_size(nativePath(dir.live())), target);
        if (c.folder) {
            fs::remove_all(nativePath(dir.folder));
        } else {
            fs::remove(nativePath(dir.live()));
        }
        ::testing::internal::CaptureStderr();
        for (int n = 0; n < 300; ++n) logger->write(numberedLine(n));  // about 42 KB: past the rotation
        logger->flush();
        const std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(err.find("lost"), std::string::npos) << err;
        std::vector<int> numbers;
        for (const std::string& name : dir.files()) {
            const std::vector<int> in = numbersIn(fileText(dir.folder + "\\" + name));
            numbers.insert(numbers.end(), in.begin(), in.end());
        }
        EXPECT_EQ(numbers, range(0, 300)) << err;
    }
}

// Past the most that is kept of a removed live file, the newest part is written again, from the start of a line and
// up to the last line written, and exactly what was not kept is reported.
TEST(FileLoggerRecoveryTest, RemovedFileBeyondWhatIsKeptGivesItsNewestLinesAndTellsWhatIsLost) {
    queuedMode();
    LogFolder dir;
    ProbeLogger* logger = new ProbeLogger(dir.base, 8, 0, "");
    FileLoggerProbe::setLiveCheckIntervalMs(logger, 3600 * 1000);
    logger->write("before\n");
    logger->flush();
    fs::remove_all(nativePath(dir.folder));
    constexpr int kLines = 12000;  // about 1.6 MiB
    u64 bytes = 0;
    for (int n = 0; n < kLines; ++n) {
        const std::string line = numberedLine(n);
        bytes += line.size();
        logger->write(line);
    }
    ::testing::internal::CaptureStderr();
    logger->flush();
    const std::string err = ::testing::internal::GetCapturedStderr();
    const std::string text = fileText(dir.live());
    const std::vector<int> numbers = numbersIn(text);
    ASSERT_FALSE(numbers.empty());
    EXPECT_EQ(numbers, range(numbers.front(), kLines));
    EXPECT_EQ(text, [&] {
        std::string all;
        for (int n = numbers.front(); n < kLines; ++n) all += numberedLine(n);
        return all;
    }());
    // All but less than one line of the most kept (1 MiB).
    EXPECT_LE(text.size(), 1u << 20);
    EXPECT_GT(text.size() + 300, 1u << 20);
    EXPECT_EQ(err, "log file " + dir.base + ".txt was removed; " + std::to_string(bytes - text.size()) +
                       " bytes written to it before are lost\n");
}

namespace {
// A small file system mounted on a log folder (root only), its space filled but for `free` bytes.
class SmallFileSystem {
public:
    explicit SmallFileSystem(const LogFolder& dir) : m_path(fs::absolute(nativePath(dir.folder)).string()) {
        if (::mount("tmpfs", m_path.c_str(), "tmpfs", 0, "size=3m") != 0) {
            m_error = std::strerror(errno);
            return;
        }
        m_mounted = true;
    }
    ~SmallFileSystem() {
        if (m_mounted) ::umount2(m_path.c_str(), MNT_DETACH);  // the logger keeps its file open
    }
    bool mounted() const { return m_mounted; }
    const std::string& error() const { return m_error; }
    void fill(size_t free) {
        const std::string filler = m_path + "/filler";
        std::ofstream out(filler, std::ios::binary);
        const std::string block(4096, 'f');
        while (out.write(block.data(), static_cast<std::streamsize>(block.size()))) {
        }
        out.close();
        fs::resize_file(filler, fs::file_size(filler) - std::min<uintmax_t>(free, fs::file_size(filler)));
    }
    void giveSpaceBack() { fs::remove(m_path + "/filler"); }

private:
    std::string m_path;
    std::string m_error;
    bool m_mounted = false;
};

// A logger in the mode given whose live file has about 40 KiB of room left on its small file system.
struct LoggerOnAFullDisk {
    explicit LoggerOnAFullDisk(bool queued) {
        if (queued) {
            queuedMode();
        } else {
            synchronousMode();
        }
        if (!small.mounted()) return;
        logger = new ProbeLogger(dir.base, 8, 0, "");
        logger->flush();
        small.fill(40 * 1024 + 123);
    }
    LogFolder dir;
    SmallFileSystem small{dir};
    ProbeLogger* logger = nullptr;
};

// Numbered lines that are pieces of a line, and lines that repeat or go back in the order.
struct LineOrder {
    int pieces = 0;
    int repeatedOrBack = 0;
};
LineOrder orderOf(const std::vector<int>& numbers) {
    LineOrder order;
    for (size_t i = 0; i < numbers.size(); ++i) {
        order.pieces += numbers[i] < 0;
        order.repeatedOrBack += i > 0 && numbers[i] >= 0 && numbers[i] <= numbers[i - 1];
    }
    return order;
}
}  // namespace

// A file system that runs full and gets its space back: each line written stands on disk whole and once, in order;
// lines that could not be written are reported as dropped. A write that fills the disk leaves no piece of a line to
// be glued to the next, and nothing that failed is written a second time once there is room.
TEST(FileLoggerRecoveryTest, FullFileSystemKeepsEachLineWholeOnceAndInOrder) {
    for (const bool queued : {false, true}) {
        SCOPED_TRACE(queued ? "queued" : "synchronous");
        LoggerOnAFullDisk disk(queued);
        if (!disk.small.mounted()) GTEST_SKIP() << "no small file system can be mounted here: " << disk.small.error();
        const LogFolder& dir = disk.dir;
        SmallFileSystem& small = disk.small;
        ProbeLogger* logger = disk.logger;
        ::testing::internal::CaptureStderr();
        int n = 0;
        for (; n < 6000; ++n) {  // about 850 KiB: far past the room left
            logger->write(numberedLine(n));
            if (n % 1000 == 0) {
                ASSERT_TRUE(writerIdle(logger));
            }
        }
        ASSERT_TRUE(writerIdle(logger));
        small.giveSpaceBack();
        for (; n < 9000; ++n) {
            logger->write(numberedLine(n));
            if (n % 1000 == 0) {
                ASSERT_TRUE(writerIdle(logger));
            }
        }
        EXPECT_TRUE(writeUntilLogged(logger, dir, "space is back\n"));
        for (; n < 9100; ++n) logger->write(numberedLine(n));
        logger->flush();
        const std::string err = ::testing::internal::GetCapturedStderr();
        const std::vector<int> numbers = numbersIn(fileText(dir.live()));
        EXPECT_EQ(orderOf(numbers).pieces, 0);
        EXPECT_EQ(orderOf(numbers).repeatedOrBack, 0);
        // Some lines written before the disk ran full and the last ones after; those missing are reported.
        ASSERT_FALSE(numbers.empty());
        EXPECT_EQ(numbers.front(), 0);
        EXPECT_EQ(numbers.back(), 9099);
        EXPECT_LT(numbers.size(), 9100u);
        EXPECT_EQ(err, "log file " + dir.base + ".txt cannot be written; lines are dropped until it can be reopened\n");
        const std::string text = fileText(dir.live());
        EXPECT_EQ(text.find("|n="), std::string::npos);  // no line glued to a piece of another
    }
}

// A full disk, then the live file removed to free space: the lines it held whole since it was last found in place
// are written to the new live file once the space is back, before the lines after them; those dropped meanwhile are
// reported as dropped.
TEST(FileLoggerRecoveryTest, LiveFileRemovedFromAFullDiskGivesItsLinesToTheNewFile) {
    for (const bool queued : {false, true}) {
        SCOPED_TRACE(queued ? "queued" : "synchronous");
        LoggerOnAFullDisk disk(queued);
        if (!disk.small.mounted()) GTEST_SKIP() << "no small file system can be mounted here: " << disk.small.error();
        const LogFolder& dir = disk.dir;
        SmallFileSystem& small = disk.small;
        ProbeLogger* logger = disk.logger;
        ::testing::internal::CaptureStderr();
        int n = 0;
        for (; n < 3000; ++n) logger->write(numberedLine(n));  // about 420 KiB: far past the room left
        ASSERT_TRUE(writerIdle(logger));
        fs::remove(nativePath(dir.live()));
        small.giveSpaceBack();
        EXPECT_TRUE(writeUntilLogged(logger, dir, "space is back\n"));
        for (; n < 3100; ++n) logger->write(numberedLine(n));
        logger->flush();
        const std::string err = ::testing::internal::GetCapturedStderr();
        const std::vector<int> numbers = numbersIn(fileText(dir.live()));
        ASSERT_FALSE(numbers.empty());
        EXPECT_EQ(numbers.front(), 0);  // the lines that reached the removed file
        EXPECT_EQ(numbers.back(), 3099);
        EXPECT_EQ(orderOf(numbers).pieces, 0);
        EXPECT_EQ(orderOf(numbers).repeatedOrBack, 0);
        EXPECT_EQ(err, "log file " + dir.base + ".txt cannot be written; lines are dropped until it can be reopened\n");
    }
}

// A writer stuck in a write that does not return (the live file a pipe that nobody reads) gives no budget back: a
// producer stops waiting for it soon and reaches the pause, each line taking at most one short wait, and what the
// queued lines hold stays within the budget. The slowest line and the time to the pause are taken from the best of
// three rounds.
TEST(FileLoggerRecoveryTest, ProducerReachesThePauseSoonWhenTheWriterIsStuckInAWrite) {
    queuedMode();
    constexpr size_t kBudget = 1u << 20, kAllowance = 256 * 1024;
    for (const size_t length : {40, 240}) {
        SCOPED_TRACE(length);
        const std::string line = std::string(length - 1, 'w') + "\n";
        double bestTotalMs = 1e9, bestSlowestMs = 1e9;
        for (int round = 0; round < 3; ++round) {
            LogFolder dir;
            ASSERT_EQ(::mkfifo(nativePath(dir.live()).c_str(), 0600), 0);
            auto* logger = new ProbeLogger(dir.base, 1, 0, "");  // left stuck: nothing reads its pipe
            const size_t most = 4 * (1u << 20) / length;
            size_t before = 0, held = 0;
            const bool counted = heapInUse(before);
            const TimeToPause took = timeToPause(logger, line, most);
            ASSERT_TRUE(trackerOf(logger).paused());
            if (counted && heapInUse(held)) {
                EXPECT_LE(held > before ? held - before : 0,
                          kBudget + took.lines * sizeof(GenFileLogger::LogItem) + kAllowance)
                    << took.lines << " lines";
            }
            bestTotalMs = std::min(bestTotalMs, took.totalMs);
            bestSlowestMs = std::min(bestSlowestMs, took.slowestMs);
        }
        // Copying the lines takes milliseconds (tens under the sanitizers); a producer yields to the writer 0.2 ms at
        // most per line, and not once the writer has given nothing back for 20 ms.
        EXPECT_LT(bestTotalMs, 1000.0);
        EXPECT_LT(bestSlowestMs, 10.0);
    }
}

namespace {
// Lines of another agent's logger on the same log, and the same log cut short under the logger by a program that
// rotates it by copying and truncating: what the live file holds before this logger's write fills the disk.
struct SharedLiveFile {
    const char* name;
    std::function<void(ProbeLogger* self, const LogFolder& dir)> prepare;
};
}  // namespace

// A write that fills the disk leaves a piece of a line, which is cut off where the file really ends: the lines of
// another writer are never cut away, and a file that was truncated under the logger never grows NUL bytes.
TEST(FileLoggerRecoveryTest, ShortWriteOnASharedFileCutsOnlyItsOwnPiece) {
    const SharedLiveFile cases[] = {
        {"another logger's lines after this one's",
         [](ProbeLogger*, const LogFolder& dir) {
             auto* other = new ProbeLogger(dir.base, 8, 0, "");
             for (int n = 0; n < 1000; ++n) other->write(numberedLine(n));
             other->flush();
         }},
        {"truncated to 0 and written again",
         [](ProbeLogger* self, const LogFolder& dir) {
             for (int n = 0; n < 2000; ++n) self->write(numberedLine(n));
             self->flush();
             fs::resize_file(nativePath(dir.live()), 0);
             for (int n = 2000; n < 2010; ++n) self->write(numberedLine(n));
             self->flush();
         }},
    };
    for (const bool queued : {false, true}) {
        for (const SharedLiveFile& c : cases) {
            SCOPED_TRACE(std::string(queued ? "queued, " : "synchronous, ") + c.name);
            if (queued) {
                queuedMode();
            } else {
                synchronousMode();
            }
            LogFolder dir;
            SmallFileSystem small(dir);
            if (!small.mounted()) GTEST_SKIP() << "no small file system can be mounted here: " << small.error();
            auto* logger = new ProbeLogger(dir.base, 8, 0, "");
            logger->flush();
            c.prepare(logger, dir);
            const std::string before = fileText(dir.live());
            small.fill(2000);
            ::testing::internal::CaptureStderr();
            logger->write(std::string(64 * 1024 - 1, 'x') + "\n");
            logger->flush();
            const std::string err = ::testing::internal::GetCapturedStderr();
            const std::string text = fileText(dir.live());
            EXPECT_EQ(std::count(text.begin(), text.end(), '\0'), 0);
            EXPECT_EQ(text.size(), before.size());
            EXPECT_TRUE(text == before) << numbersIn(text).size() << " numbered lines left";
            EXPECT_EQ(err, "log file " + dir.base + ".txt cannot be written; lines are dropped until it can be reopened\n");
        }
    }
}

// Two agents' loggers on one log, the live file removed: the one that writes next gives the new live file exactly
// its own lines that went into the removed file since it was last found in place, none of the other's, none twice.
TEST(FileLoggerRecoveryTest, RemovedSharedFileGivesBackExactlyThisLoggersOwnLines) {
    queuedMode();
    LogFolder dir;
    ProbeLogger* loggers[] = {new ProbeLogger(dir.base, 8, 0, ""), new ProbeLogger(dir.base, 8, 0, "")};
    for (ProbeLogger* logger : loggers) FileLoggerProbe::setLiveCheckIntervalMs(logger, 3600 * 1000);
    for (int n = 0; n < 100; ++n) {  // interleaved in the file
        loggers[n % 2]->write(numberedLine(n));
        loggers[n % 2]->flush();
    }
    fs::remove(nativePath(dir.live()));
    ::testing::internal::CaptureStderr();
    for (int n = 100; n < 150; ++n) loggers[0]->write(numberedLine(n));
    loggers[0]->flush();
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(numbersIn(fileText(dir.live())), range(100, 150));
    EXPECT_EQ(err, "");
}

// An explicit flush checks the live file however large it is: past the rotation size (where only a rotation would
// look at the file otherwise) the run's last lines reach a file that has a name once the flush returns.
TEST(FileLoggerRecoveryTest, FlushPastTheRotationSizeFindsTheLiveFileRemoved) {
    struct Case {
        const char* name;
        bool folder;
    };
    const Case cases[] = {{"removed", false}, {"folder removed", true}};
    queuedMode();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LogFolder dir;
        makeFile(dir.live(), "", GenFileLogger::kRotateAboveBytes - 3000);
        ProbeLogger* logger = new ProbeLogger(dir.base, 8, 0, "");
        FileLoggerProbe::setLiveCheckIntervalMs(logger, 3600 * 1000);
        logger->flush();
        if (c.folder) {
            fs::remove_all(nativePath(dir.folder));
        } else {
            fs::remove(nativePath(dir.live()));
        }
        ::testing::internal::CaptureStderr();
        const std::string last = std::string(4019, 'l') + "\n";
        logger->write(last);
        logger->flush();
        const std::string err = ::testing::internal::GetCapturedStderr();
        ASSERT_TRUE(fileExists(dir.live()));
        EXPECT_TRUE(fileText(dir.live()) == last) << fileSize(dir.live()) << " bytes";
        EXPECT_EQ(err, "");
    }
}

// A disk that runs full, gets its space back and runs full again: each time lines start being dropped it is
// reported, once, in both modes.
TEST(FileLoggerRecoveryTest, EachOnsetOfDroppedLinesIsReported) {
    for (const bool queued : {false, true}) {
        SCOPED_TRACE(queued ? "queued" : "synchronous");
        LoggerOnAFullDisk disk(queued);
        if (!disk.small.mounted()) GTEST_SKIP() << "no small file system can be mounted here: " << disk.small.error();
        ProbeLogger* logger = disk.logger;
        ::testing::internal::CaptureStderr();
        int n = 0;
        auto write3000 = [&] {
            for (const int end = n + 3000; n < end; ++n) logger->write(numberedLine(n));  // about 420 KiB
            return writerIdle(logger);
        };
        ASSERT_TRUE(write3000());
        disk.small.giveSpaceBack();
        std::this_thread::sleep_for(std::chrono::milliseconds(1100));  // past the reopen interval
        ASSERT_TRUE(write3000());
        // The second turn's lines all reach the disk (no flush: it must not be what ends the first report).
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        bool written = false;
        while (!written && std::chrono::steady_clock::now() < until) {
            written = fileText(disk.dir.live()).ends_with(numberedLine(n - 1));
            if (!written) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ASSERT_TRUE(written);
        disk.small.fill(40 * 1024);
        ASSERT_TRUE(write3000());
        logger->flush();
        const std::string err = ::testing::internal::GetCapturedStderr();
        const std::string report =
            "log file " + disk.dir.base + ".txt cannot be written; lines are dropped until it can be reopened\n";
        EXPECT_EQ(err, report + report);
    }
}
