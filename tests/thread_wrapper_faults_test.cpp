// test-traits: linux-only
#include "FatalStop.h"
#include "TestSupport.h"
#include "ThreadWrapper.h"

#include <platform/testing.h>

class IdleWorker : public ThreadWrapper {
public:
    void run() override {}
};

TEST(ThreadWrapperDeathTest, ThreadThatCannotBeCreatedEndsTheProcess) {
    EXPECT_EXIT(
        {
            sharedClient();
            platform_test::failCreateThread(1, ERROR_NOT_ENOUGH_MEMORY);
            (new IdleWorker())->open();
        },
        ::testing::ExitedWithCode(kFatalStopExitCode), ",Error," + rxDigit() + "+,NON,ThreadWrapper,open,Assertion \\(h != NULL\\) failed .*ThreadWrapper\\.cpp " + rxDigit() + "+");
}
