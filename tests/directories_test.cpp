#include "Directories.h"
#include "FatalStop.h"
#include "TestSupport.h"

#include <NativePath.h>


TEST(DirectoriesTest, TrailingSeparatorWithoutParentMakesTheFolder) {
    const std::string dir = uniqueName("trailing") + "\\";
    Directories::ensureExists(dir);
    EXPECT_TRUE(isDirectory(dir));
    ::testing::internal::CaptureStderr();
    ::testing::internal::CaptureStdout();
    Directories::ensureExists(dir);  // an existing folder is accepted silently
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_TRUE(isDirectory(dir));
}

TEST(DirectoriesTest, MakesOneMissingParent) {
    const std::string parent = uniqueName("parent");
    Directories::ensureExists(parent + "\\child");
    EXPECT_TRUE(isDirectory(parent));
    EXPECT_TRUE(isDirectory(parent + "\\child"));
}

TEST(DirectoriesDeathTest, MissingGrandparentIsReportedAndEndsTheProcess) {
    EXPECT_EXIT(
        {
            redirectStdoutTo("grandparent_stdout.txt");
            Directories::ensureExists("missing_grandparent\\parent\\dir");
        },
        ::testing::ExitedWithCode(kFatalStopExitCode),
        "^mkdir failed for parent missing_grandparent\\\\parent and it does not exist\n$");
    const std::string printed = readFile("grandparent_stdout.txt");
    EXPECT_NE(printed.find(",Assert,"), std::string::npos) << printed;
    EXPECT_NE(printed.find(",NON,Directories,ensureExists, "), std::string::npos) << printed;
    EXPECT_NE(printed.find(": (*_errno()) == 17 failed. mkdir failed for dir missing_grandparent\\parent\\dir and it "
                           "does not exist\n\n"),
              std::string::npos)
        << printed;
    EXPECT_FALSE(isDirectory("missing_grandparent"));
}
