// test-traits: threaded machine-names
// The status block's life: it exists from the writer's first write until the writer ends, unless a reader holds it.
#include "ChildProcess.h"
#include "StatusReaderWriter.h"
#include "TestSupport.h"

#include <windows.h>

#include <vector>

#include <string>

namespace {

// The agent never frees its status channel (nor its handler): neither do the tests.
StatusReaderWriter& keptStatusChannel() {
    static auto* kept = new std::vector<StatusReaderWriter*>();
    kept->push_back(new StatusReaderWriter());
    return *kept->back();
}

const wchar_t* const kBlock = L"Global\\ProcessSharedMemory";

class StatusLifetimeTest : public ::testing::Test {
protected:
    void SetUp() override {
        useOwnStandinRoot();
        sharedClient().clear();
    }
    static std::string peer() { return ChildProcess::toolPath("object_peer"); }
    static std::string name(const char* what) { return "Global\\" + uniqueName(what); }
};

}  // namespace

// A writer process writes its values, then the test either holds the block or not while the writer ends.
TEST_F(StatusLifetimeTest, TheBlockEndsWithItsWriterUnlessAReaderHoldsIt) {
    for (bool holdIt : {false, true}) {
        SCOPED_TRACE(holdIt ? "reader holds it" : "nobody holds it");
        const std::string ready = name("ready"), quit = name("quit");
        HANDLE readyEvent = CreateEventA(NULL, FALSE, FALSE, ready.c_str());
        HANDLE quitEvent = CreateEventA(NULL, FALSE, FALSE, quit.c_str());
        ChildProcess writer;
        ASSERT_TRUE(writer.start(peer(), {"write-status", "-1001", "-2147212522", ready, quit}));
        ASSERT_EQ(WaitForSingleObject(readyEvent, 10000), WAIT_OBJECT_0);

        HANDLE held = nullptr;
        const int32_t* view = nullptr;
        if (holdIt) {
            held = OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, kBlock);
            ASSERT_NE(held, nullptr);
            view = static_cast<const int32_t*>(MapViewOfFile(held, FILE_MAP_READ, 0, 0, 200));
            ASSERT_NE(view, nullptr);
            EXPECT_EQ(view[0], -2147212522);  // the second write replaced the first
        }
        SetEvent(quitEvent);
        EXPECT_EQ(writer.wait(10000), 0);

        HANDLE after = OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, kBlock);
        if (holdIt) {
            ASSERT_NE(after, nullptr);
            EXPECT_EQ(view[0], -2147212522);
            UnmapViewOfFile(view);
            CloseHandle(after);
            CloseHandle(held);
        } else {
            EXPECT_EQ(after, nullptr);
            EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
        }
        CloseHandle(readyEvent);
        CloseHandle(quitEvent);
    }
}

// The reader's side of the handler reports a missing block as 0, with its lines.
TEST_F(StatusLifetimeTest, ReadWithoutABlockIsZero) {
    StatusReaderWriter& status = keptStatusChannel();  // creates no block
    SetLastError(0);
    EXPECT_EQ(OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, kBlock), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(status.m_handler->read(), 0u);
    EXPECT_EQ(sharedClient()
                  .linesWith(",NON,SharedMemoryHandler,openMapping,Could not create file mapping object due to  "
                             "GetLastError()=2 ")
                  .size(),
              1u);
    EXPECT_EQ(sharedClient().linesWith(",NON,SharedMemoryHandler,read,failed to read data from buffer").size(), 1u);
}
