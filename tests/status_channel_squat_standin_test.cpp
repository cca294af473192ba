// test-traits: linux-only threaded machine-names
// The status block's name held by a smaller block of someone else: the failure is logged and nothing is written.
#include "ChildProcess.h"
#include "StatusReaderWriter.h"
#include "TestSupport.h"

#include <windows.h>

TEST(SquattedNamesStandinTest, BlockSmallerThanTheChannelIsNotWritten) {
    useOwnStandinRoot();
    sharedClient().clear();
    // A block created smaller than 200 bytes: no view, nothing written.
    HANDLE small =
        CreateFileMappingW(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0, 100, L"Global\\ProcessSharedMemory");
    ASSERT_NE(small, nullptr);
    // The agent never frees its status channel (nor its handler): neither does the test.
    static StatusReaderWriter* const status = new StatusReaderWriter();
    status->m_handler->write(static_cast<u32>(-1007));
    EXPECT_EQ(
        sharedClient()
            .linesWith(",NON,SharedMemoryHandler,setHandleToMapObject,Could not map view of file  GetLastError()=")
            .size(),
        1u);
    EXPECT_TRUE(sharedClient().linesWith("to shared memory buffer").empty());
    CloseHandle(small);
}
