#include "FatalStop.h"
#include "HeapMemoryAllocationTracker.h"
#include "TestSupport.h"

#include <atomic>

namespace {
std::atomic<bool> g_noBypass{false};
constexpr u32 kMiB = 1048576;
}  // namespace

TEST(HeapMemoryAllocationTrackerTest, LowMarkIsAPercentageOfTheLimit) {
    const struct {
        u32 limit, percent, mark;
    } cases[] = {{kMiB, 80, 838860}, {kMiB, 0, 0}, {kMiB, 100, kMiB}, {kMiB, 250, kMiB},
                 {0xFFFFFFFFu, 80, 3435973836u}, {0xFFFFFFFFu, 101, 0xFFFFFFFFu}};
    for (const auto& c : cases) {
        EXPECT_EQ(HeapMemoryAllocationTracker::lowMarkFor(c.limit, c.percent), c.mark) << c.limit << " " << c.percent;
    }
}

TEST(HeapMemoryAllocationTrackerTest, PausesPastTheBudgetAndResumesAtTheLowMark) {
    HeapMemoryAllocationTracker tracker(kMiB, 838860, g_noBypass, "t");
    bool paused = true;
    EXPECT_EQ(tracker.allocateWithinBudget(0, paused), nullptr);
    EXPECT_FALSE(paused);

    s8* lowMark = tracker.allocateWithinBudget(838860, paused);
    s8* oneByte = tracker.allocateWithinBudget(1, paused);
    s8* rest = tracker.allocateWithinBudget(kMiB - 838861, paused);  // exactly the remaining budget
    ASSERT_NE(lowMark, nullptr);
    ASSERT_NE(oneByte, nullptr);
    ASSERT_NE(rest, nullptr);
    EXPECT_FALSE(paused);
    EXPECT_EQ(tracker.usedBytes(), kMiB);

    EXPECT_EQ(tracker.allocateWithinBudget(1, paused), nullptr);  // one byte more pauses
    EXPECT_TRUE(paused);
    EXPECT_TRUE(tracker.paused());
    EXPECT_EQ(tracker.allocateWithinBudget(1, paused), nullptr);  // refused while paused, and not a new pause
    EXPECT_FALSE(paused);

    s8* bypass = tracker.allocate(10);  // served and counted while paused
    ASSERT_NE(bypass, nullptr);
    EXPECT_EQ(tracker.usedBytes(), kMiB + 10);
    EXPECT_EQ(tracker.allocate(0), nullptr);
    tracker.free(bypass, 10);

    tracker.free(rest, kMiB - 838861);
    EXPECT_EQ(tracker.usedBytes(), 838861u);
    EXPECT_TRUE(tracker.paused());  // one byte above the low mark
    EXPECT_EQ(tracker.allocateWithinBudget(1, paused), nullptr);
    tracker.free(oneByte, 1);
    EXPECT_EQ(tracker.usedBytes(), 838860u);
    EXPECT_FALSE(tracker.paused());
    s8* again = tracker.allocateWithinBudget(1, paused);
    EXPECT_NE(again, nullptr);
    tracker.free(again, 1);
    tracker.free(lowMark, 838860);
    EXPECT_EQ(tracker.usedBytes(), 0u);
}

TEST(HeapMemoryAllocationTrackerTest, BypassFlagIsReadAtEachCall) {
    std::atomic<bool> bypass{false};
    HeapMemoryAllocationTracker tracker(kMiB, 838860, bypass, "t");
    EXPECT_FALSE(tracker.trackingDisabled());
    bypass = true;
    EXPECT_TRUE(tracker.trackingDisabled());
}

TEST(HeapMemoryAllocationTrackerTest, UnlimitedBudgetNeverPauses) {
    HeapMemoryAllocationTracker tracker(0xFFFFFFFFu, 0xCCCCCCCCu, g_noBypass, "t");
    bool paused = false;
    std::vector<s8*> blocks;
    for (int i = 0; i < 64; ++i) blocks.push_back(tracker.allocateWithinBudget(kMiB, paused));
    EXPECT_FALSE(tracker.paused());
    for (s8* p : blocks) {
        ASSERT_NE(p, nullptr);
        tracker.free(p, kMiB);
    }
    EXPECT_EQ(tracker.usedBytes(), 0u);
}

TEST(HeapMemoryAllocationTrackerDeathTest, FreeingMoreThanInUseEndsTheProcess) {
    EXPECT_EXIT(
        {
            redirectStdoutTo("overfree_stdout.txt");
            HeapMemoryAllocationTracker tracker(kMiB, 838860, g_noBypass, "logs\\agent");
            tracker.free(tracker.allocate(10), 11);
        },
        ::testing::ExitedWithCode(kFatalStopExitCode), "");
    const std::string printed = readFile("overfree_stdout.txt");
    EXPECT_NE(printed.find(",Assert,"), std::string::npos) << printed;
    EXPECT_NE(printed.find(": usedBytesBeforeFree >= (u32)lengthBytes failed. <logs\\agent> trying to free more than "
                           "allocated usedBytesBeforeFree=10  lengthBytes=11 \n"),
              std::string::npos)
        << printed;
}
