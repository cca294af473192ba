// test-traits: linux-only
// Sets the stand-in's performance counter: the statistics line is timed on the process clock.
#include "PriorityQueue.h"
#include "TestSupport.h"
#include "Tweaks.h"

#include <platform/testing.h>
#include <windows.h>

#include <string>

namespace {

// The stand-in's counter, moved on by whole milliseconds from a point past every real reading so far.
class FakeCounter {
public:
    FakeCounter() {
        LARGE_INTEGER now;
        QueryPerformanceCounter(&now);
        LARGE_INTEGER frequency;
        QueryPerformanceFrequency(&frequency);
        m_ticksPerMs = frequency.QuadPart / 1000;
        m_count = now.QuadPart + 1000 * m_ticksPerMs;
        platform_test::setPerformanceCounter(m_count);
    }
    // Never set back: the process clock refuses a counter that runs backwards.
    void advanceMs(LONGLONG ms) {
        m_count += ms * m_ticksPerMs;
        platform_test::setPerformanceCounter(m_count);
    }

private:
    LONGLONG m_ticksPerMs;
    LONGLONG m_count;
};

}  // namespace

TEST(PriorityQueueStatsTest, StatisticsLineAtMostOncePerIntervalThenWatermarksRestart) {
    Tweaks::instance()->update("t_TeskPriorityQueuePrintIntervalMs", "1000");
    Timer::instance()->getTimestamp();  // the clock exists before the counter stands still
    FakeCounter counter;
    const std::string name = uniqueName("statsQ");
    PriorityQueue<int> queue(2, name, true);
    sharedClient().clear();
    int item = 0;
    u32 priority = 0;

    queue.enqueue(1, 0);  // the first statement prints at once, before the item is added
    queue.enqueue(2, 1);
    queue.enqueue(3, 1);
    ASSERT_TRUE(queue.dequeue(item, priority));
    counter.advanceMs(999);
    queue.enqueue(5, 0);  // less than the interval: nothing
    counter.advanceMs(1);
    queue.enqueue(4, 0);
    ASSERT_TRUE(queue.dequeue(item, priority));
    counter.advanceMs(1000);
    ASSERT_TRUE(queue.dequeue(item, priority));

    const auto lines = sharedClient().linesWith(",(" + name + ")");
    const std::string expected[] = {
        "Q1:0 (0 B WM-H0 L0) Q0:0 (0 B WM-H0 L0) \n",
        "Q1:1 (0 B WM-H2 L0) Q0:2 (0 B WM-H2 L0) \n",
        "Q1:0 (0 B WM-H1 L0) Q0:2 (0 B WM-H3 L2) \n",
    };
    ASSERT_EQ(lines.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_NE(lines[i].find(",(" + name + ")" + expected[i]), std::string::npos) << lines[i];
    }
}
