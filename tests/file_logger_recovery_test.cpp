// test-traits: linux-only
// Failures the Linux file system lets a test cause: a full disk, a log folder removed or replaced while in use.
#include "FileLoggerSupport.h"
#include "NativePath.h"

#include <unistd.h>

#include <chrono>
#include <filesystem>
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
    EXPECT_EQ(err, "FindFirstFile failed (3)\nfailed to enumerate files\n");
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
