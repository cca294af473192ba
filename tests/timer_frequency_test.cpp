// test-traits: linux-only
// The process clock on a counter that does not run at 10 MHz, set before the first reading of the process.
#include "TestSupport.h"
#include "Timer.h"

#include <platform/testing.h>

#include <windows.h>

namespace {
constexpr LONGLONG kFrequency = 3579545;  // the ACPI power-management timer
constexpr LONGLONG kTicksPerMs = 3579;    // the fraction of a tick per millisecond is dropped
}  // namespace

class OtherFrequencyTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        sharedClient();
        platform_test::setPerformanceFrequency(kFrequency);
        platform_test::setPerformanceCounter(1000);
        Timer::instance()->getTimestamp();  // makes the WindowsTimer
        s_constructionLines = new std::vector<std::string>(sharedClient().linesWith("m_ticksPerMs="));
    }
    static void TearDownTestSuite() {
        delete s_constructionLines;
        platform_test::useRealClocks();
    }
    static inline std::vector<std::string>* s_constructionLines = nullptr;
};

TEST_F(OtherFrequencyTest, WindowsTimerLogsItsTicksPerMillisecond) {
    ASSERT_EQ(s_constructionLines->size(), 1u);
    const std::string expected = ",Info," + std::to_string(GetCurrentThreadId()) +
                                 ",NON,WindowsTimer,WindowsTimer, m_ticksPerMs=" + std::to_string(kTicksPerMs) + " \n";
    EXPECT_NE((*s_constructionLines)[0].find(expected), std::string::npos) << (*s_constructionLines)[0];
}

TEST_F(OtherFrequencyTest, TimestampDividesByTheWholeTicksPerMillisecond) {
    const LONGLONG counters[] = {3578, 3579, 3579 * 1000 - 1, 3579545, 3579545LL * 86400 * 365};
    for (LONGLONG c : counters) {
        platform_test::setPerformanceCounter(c);
        EXPECT_EQ(Timer::instance()->getTimestamp(), c / kTicksPerMs) << c;
    }
}

TEST_F(OtherFrequencyTest, NanosecondsAreExactForLargeCounters) {
    // Decades of uptime: the counter times 10^9 no longer fits 64 bits.
    const LONGLONG counters[] = {0, 1, kFrequency - 1, kFrequency, kFrequency + 1, 3579545LL * 86400 * 365 * 30 + 17};
    for (LONGLONG c : counters) {
        platform_test::setPerformanceCounter(c);
        const i64 expected = static_cast<i64>(static_cast<__int128>(c) * 1000000000 / kFrequency);
        EXPECT_EQ(Timer::instance()->getNanoseconds(), expected) << c;
        EXPECT_EQ(Timer::instance()->getMicroseconds(), expected / 1000) << c;
    }
}

// A counter faster than about 9.2 GHz: the rest of a second times 10^9 no longer fits 64 bits.
TEST_F(OtherFrequencyTest, NanosecondsAreExactForFastCounters) {
    const LONGLONG frequencies[] = {9300000000LL, 20000000000LL, 1LL << 40};
    for (LONGLONG f : frequencies) {
        platform_test::setPerformanceFrequency(f);
        const LONGLONG counters[] = {f - 1, f + f / 2, f * 86400 * 30 + f - 1};
        for (LONGLONG c : counters) {
            platform_test::setPerformanceCounter(c);
            const i64 expected = static_cast<i64>(static_cast<__int128>(c) * 1000000000 / f);
            EXPECT_EQ(Timer::instance()->getNanoseconds(), expected) << f << " " << c;
        }
    }
    platform_test::setPerformanceFrequency(kFrequency);
}
