#include "MemShield.h"

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    // Count-only tracking, as the programs run by default; a test of the registered mode sets it in a child.
    MemShield::s_enabled = false;
    ::testing::InitGoogleTest(&argc, argv);
    // Threads run in every test process (log writers, workers): forking without re-executing could inherit a
    // lock held by another thread.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const int rc = RUN_ALL_TESTS();
    // A program with no failure but a skipped case tells ctest so (tests/CMakeLists.txt defines the code); a failure
    // always wins over a skip.
    if (rc == 0 && ::testing::UnitTest::GetInstance()->skipped_test_count() > 0) return TALVO_SKIPPED_EXIT_CODE;
    return rc;
}
