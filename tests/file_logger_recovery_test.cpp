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

// Writes `line` every 50 ms until it shows up in the live file or `ms` ran out.
bool writeUntilLogged(ProbeLogger* logger, const LogFolder& dir, const std::string& line, int ms = 5000) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < until) {
        logger->write(line);
        if (fileExists(dir.live()) && fileText(dir.live()).find(line) != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
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
