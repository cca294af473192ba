#include "FatalStop.h"
#include "Future.h"
#include "TestSupport.h"

using FutureInternal::Future;

TEST(FutureTest, CopiesShareOneValue) {
    Future<RcStatus> future;
    const Future<RcStatus> copy = future;
    EXPECT_FALSE(copy.isSet());
    future.set(RC_TIME_OUT);
    EXPECT_TRUE(copy.isSet());
    EXPECT_FALSE(Future<RcStatus>().isSet());  // a new future has a value of its own
}

TEST(FutureDeathTest, SecondSetEndsTheProcess) {
    EXPECT_EXIT(
        {
            Future<RcStatus> future;
            Future<RcStatus> copy = future;
            future.set(RC_ERROR);
            copy.set(RC_ABORTED);
        },
        ::testing::ExitedWithCode(kFatalStopExitCode), "Assertion \\(!tempSmartPtr->m_bSet\\) failed .*Future\\.h " + rxDigit() + "+");
}
