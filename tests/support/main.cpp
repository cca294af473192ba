#include "MemShield.h"

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    // Count-only tracking, as the programs run by default; a test of the registered mode sets it in a child.
    MemShield::s_enabled = false;
    ::testing::InitGoogleTest(&argc, argv);
    // Threads run in every test process (log writers, workers): forking without re-executing could inherit a
    // lock held by another thread.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    return RUN_ALL_TESTS();
}
