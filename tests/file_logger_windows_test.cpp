// test-traits: windows-only
// The file logger where only Windows behaves so: a live file that another process holds open without delete sharing
// cannot be renamed.
#include "FileLoggerSupport.h"
#include "NativePath.h"

#include <windows.h>

#include <chrono>
#include <regex>
#include <thread>

// The main log while a second agent runs: the rotation's rename is refused. The live file is kept and grows, no
// numbered log is removed, the refusal is reported once, and the rename is tried again at the reopen interval:
// once the other handle is closed, the next line rotates.
TEST(FileLoggerWindowsTest, LiveFileHeldOpenElsewhereIsKeptAndRotatedOnceReleased) {
    setTweak("t_FileLoggerFlushEveryLine", "1");
    setTweak("t_FileLoggerCompressOnRotate", "0");
    setTweak("t_GenFileLoggerMaxFiles", "1");
    LogFolder dir;
    makeFile(dir.numbered("000001"), "oldest");
    makeFile(dir.live(), "LIVE", GenFileLogger::kRotateAboveBytes + 1);
    HANDLE held = CreateFileA(dir.live().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    ::testing::internal::CaptureStderr();
    auto* logger = new ProbeLogger(dir.base, 1, 0, "");
    for (int i = 0; i < 10; ++i) logger->write("line " + std::to_string(i) + "\n");
    const std::string err = ::testing::internal::GetCapturedStderr();
    CloseHandle(held);
    EXPECT_EQ(std::regex_replace(err, std::regex(" err=[0-9]+\\(.+\\)"), " err"),
              "Error renaming file orig=" + dir.live() + " target=" + dir.numbered("000002") + " err\n");
    EXPECT_EQ(dir.files(), (std::vector<std::string>{"log.txt", "log000001.txt"}));
    EXPECT_TRUE(fileText(dir.live()).ends_with("line 8\nline 9\n"));
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    logger->write("after\n");
    EXPECT_EQ(dir.files(), (std::vector<std::string>{"log.txt", "log000002.txt"}));
    EXPECT_TRUE(fileText(dir.live()) == "after\n") << fileSize(dir.live()) << " bytes";  // big files: no dumps
}
