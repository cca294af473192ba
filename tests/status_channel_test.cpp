// test-traits: threaded machine-names
// The status block and the runner events as the agent uses them, read and set by another process the way an
// outside runner does.
#include "ChildProcess.h"
#include "RunnerAgentSynchronizer.h"
#include "StatusReaderWriter.h"
#include "TestSupport.h"

#include <windows.h>

#include <vector>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

using namespace std::chrono;

namespace {

// The agent never frees its status channel (nor its handler): neither do the tests.
StatusReaderWriter& keptStatusChannel() {
    static auto* kept = new std::vector<StatusReaderWriter*>();
    kept->push_back(new StatusReaderWriter());
    return *kept->back();
}

const char* const kBlock = "Global\\ProcessSharedMemory";
const char* const kFreeze = "Global\\TalvoRunnerEventFreezeComplete";
const char* const kRead = "Global\\RequesterEventWaitForReadNotificationName";

class StatusChannelTest : public ::testing::Test {
protected:
    void SetUp() override {
        useOwnStandinRoot();
        sharedClient().clear();
    }
    static std::string peer() { return ChildProcess::toolPath("object_peer"); }
    // What another process reads from the block: "<int32 at offset 0> zero|dirty", or "absent".
    static std::string readByAnotherProcess() {
        const std::string file = uniqueName("block") + ".txt";
        ChildProcess reader;
        if (!reader.start(peer(), {"read-block", kBlock, file})) return "not started";
        const int rc = reader.wait(10000);
        const std::string read = rc == 2 ? "absent" : rc == 0 ? readFile(file) : "failed " + std::to_string(rc);
        std::remove(file.c_str());
        return read;
    }
};

}  // namespace

TEST_F(StatusChannelTest, EachWriteReplacesTheValueAnotherProcessReads) {
    StatusReaderWriter& status = keptStatusChannel();
    ASSERT_NE(status.m_handler, nullptr);
    EXPECT_EQ(readByAnotherProcess(), "absent");  // nothing before the first write

    status.m_handler->write(static_cast<u32>(-1006));
    EXPECT_EQ(readByAnotherProcess(), "-1006 zero\n");
    EXPECT_EQ(sharedClient().linesWith(",NON,SharedMemoryHandler,write,writing -1006 to shared memory buffer").size(),
              1u);

    status.m_handler->write(0x80042306u);  // an HRESULT: stored as is, logged as a signed number
    EXPECT_EQ(readByAnotherProcess(), "-2147212538 zero\n");
    EXPECT_EQ(sharedClient().linesWith("writing -2147212538 to shared memory buffer").size(), 1u);
    EXPECT_EQ(status.m_handler->read(), 0x80042306u);
}

TEST_F(StatusChannelTest, SignalLeavesTheFreezeEventSetForOneWait) {
    RunnerAgentSynchronizer::signal();
    EXPECT_EQ(sharedClient()
                  .linesWith(",NON,RunnerAgentSynchronizer,signal,fire event  eventNameStr="
                             "Global\\TalvoRunnerEventFreezeComplete ")
                  .size(),
              1u);
    // The runner opens the event only now: the agent's handle kept it, and it is still set.
    HANDLE runner = OpenEventA(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, kFreeze);
    ASSERT_NE(runner, nullptr);
    EXPECT_EQ(WaitForSingleObject(runner, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(runner, 0), WAIT_TIMEOUT);  // auto-reset
    CloseHandle(runner);

    // A runner in another process, waiting before or after the signal, is woken once.
    ChildProcess waiting;
    ASSERT_TRUE(waiting.start(peer(), {"wait-event", kFreeze, "10000"}));
    RunnerAgentSynchronizer::signal();
    EXPECT_EQ(waiting.wait(15000), 0);
    EXPECT_TRUE(sharedClient().linesWith("SetEventFailure").empty());
}

TEST_F(StatusChannelTest, WaitForSignalDiscardsAnEarlyNotificationAndClosesItsHandle) {
    HANDLE reader = CreateEventA(NULL, FALSE, FALSE, kRead);
    ASSERT_NE(reader, nullptr);
    SetEvent(reader);  // before the agent waits: lost
    auto before = steady_clock::now();
    RunnerAgentSynchronizer::waitForSignal(300);
    EXPECT_GE(steady_clock::now() - before, milliseconds(290));
    EXPECT_EQ(sharedClient()
                  .linesWith(",NON,RunnerAgentSynchronizer,waitForSignal,Waiting for event  eventNameStr="
                             "Global\\RequesterEventWaitForReadNotificationName with timeout of :300ms")
                  .size(),
              1u);
    EXPECT_EQ(sharedClient().linesWith(" was timed out.").size(), 1u);
    EXPECT_EQ(sharedClient().linesWith(",event eventHndl=").size(), 1u);

    // A reader that sets the event while the agent waits ends the wait at once.
    sharedClient().clear();
    std::atomic<bool> done{false};
    std::thread setter([&] {
        while (!done) {
            SetEvent(reader);
            std::this_thread::sleep_for(milliseconds(20));
        }
    });
    before = steady_clock::now();
    RunnerAgentSynchronizer::waitForSignal(20000);
    const auto took = steady_clock::now() - before;
    done = true;
    setter.join();
    EXPECT_LT(took, seconds(10));
    EXPECT_TRUE(sharedClient().linesWith("was timed out.").empty());
    CloseHandle(reader);

    // Without the reader's handle the event goes with the agent's close.
    sharedClient().clear();
    before = steady_clock::now();
    RunnerAgentSynchronizer::waitForSignal(0);
    EXPECT_LT(steady_clock::now() - before, seconds(2));
    EXPECT_EQ(sharedClient().linesWith("with timeout of :0ms").size(), 1u);
    EXPECT_EQ(sharedClient().linesWith("was timed out.").size(), 1u);
    SetLastError(0);
    EXPECT_EQ(OpenEventA(SYNCHRONIZE, FALSE, kRead), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(StatusChannelTest, ReadNotificationFromAnotherProcessEndsTheWait) {
    std::atomic<bool> done{false};
    std::thread notifier([&] {
        // The reader sets the event over and over until the agent is done, as its early sets are discarded.
        while (!done) {
            ChildProcess setter;
            if (setter.start(peer(), {"set-event", kRead})) setter.wait(5000);
            std::this_thread::sleep_for(milliseconds(20));
        }
    });
    const auto before = steady_clock::now();
    RunnerAgentSynchronizer::waitForSignal(30000);
    const auto took = steady_clock::now() - before;
    done = true;
    notifier.join();
    EXPECT_LT(took, seconds(20));
    EXPECT_TRUE(sharedClient().linesWith("was timed out.").empty());
}
