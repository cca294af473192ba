// test-traits: threaded machine-names
// The agent's objects when their names are held by objects of another kind: each failure is logged and the run
// goes on.
#include "ChildProcess.h"
#include "RunnerAgentSynchronizer.h"
#include "StatusReaderWriter.h"
#include "TestSupport.h"

#include <windows.h>

#include <vector>

#include <chrono>

using namespace std::chrono;

namespace {

// The agent never frees its status channel (nor its handler): neither do the tests.
StatusReaderWriter& keptStatusChannel() {
    static auto* kept = new std::vector<StatusReaderWriter*>();
    kept->push_back(new StatusReaderWriter());
    return *kept->back();
}

class SquattedNamesTest : public ::testing::Test {
protected:
    void SetUp() override {
        useOwnStandinRoot();
        sharedClient().clear();
    }
};

HANDLE mappingNamed(const wchar_t* name, DWORD size) {
    return CreateFileMappingW(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0, size, name);
}

}  // namespace

TEST_F(SquattedNamesTest, EachFailureIsLoggedAndTheRunGoesOn) {
    // The block's name held by an event: no mapping, nothing written.
    HANDLE squatBlock = CreateEventA(NULL, TRUE, FALSE, "Global\\ProcessSharedMemory");
    ASSERT_NE(squatBlock, nullptr);
    StatusReaderWriter& status = keptStatusChannel();
    status.m_handler->write(static_cast<u32>(-1007));
    EXPECT_EQ(sharedClient()
                  .linesWith(",NON,SharedMemoryHandler,createMapping,Could not create file mapping object due to  "
                             "GetLastError()=6 ")
                  .size(),
              1u);
    EXPECT_TRUE(sharedClient().linesWith("to shared memory buffer").empty());
    CloseHandle(squatBlock);

    // The runner events' names held by mappings: the set fails with its error, the wait returns at once.
    HANDLE squatFreeze = mappingNamed(L"Global\\TalvoRunnerEventFreezeComplete", 200);
    HANDLE squatRead = mappingNamed(L"Global\\RequesterEventWaitForReadNotificationName", 200);
    ASSERT_NE(squatFreeze, nullptr);
    ASSERT_NE(squatRead, nullptr);
    RunnerAgentSynchronizer::signal();
    EXPECT_EQ(sharedClient()
                  .linesWith(",NON,RunnerAgentSynchronizer,signal,SetEventFailure setEventRes=0  lastError=6 ")
                  .size(),
              1u);
    const auto before = steady_clock::now();
    RunnerAgentSynchronizer::waitForSignal(5000);
    EXPECT_LT(steady_clock::now() - before, seconds(3));
    EXPECT_TRUE(sharedClient().linesWith("was timed out.").empty());
    CloseHandle(squatFreeze);
    CloseHandle(squatRead);
}
