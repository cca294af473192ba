// test-traits: windows-only agent-process machine-names
// The Vantrell program as a real process where only Windows behaves so: a file held open elsewhere.
#include "AgentSandbox.h"
#include "TestSupport.h"

#include <windows.h>

// A per-run log that another process holds open without delete sharing cannot be removed: the run says so on the
// standard output and goes on.
TEST(AgentProcessWindowsTest, PerRunLogHeldOpenIsReportedAndTheRunGoesOn) {
    AgentSandbox sandbox;
    ASSERT_TRUE(sandbox.run({"a"}).result.started);  // makes the folder and the file
    const std::string perRun = sandbox.logsFolder() + "\\Vantrell.exe.current.log.txt";
    HANDLE held = CreateFileA(perRun.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    const auto run = sandbox.run({"a", "1", "b", "2", "t"});
    CloseHandle(held);
    expectCleanEnd(run);
    EXPECT_EQ(run.result.exitCode, -1006);
    EXPECT_EQ(normalised(run.out), "Error removing file name=" + sandbox.logsFolder() +
                                       "\\Vantrell.exe.current.log.txt err=13(Permission denied)\n");
}
