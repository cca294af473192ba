// test-traits: threaded machine-names machine-registry
// The snapshot flow with the requester simulator against the named objects of the machine (the stand-in on Linux,
// Wine's own on Windows), and a second process that holds the flow's mutex.
#include "AgentStatus.h"
#include "ChildProcess.h"
#include "SnapshotFlow.h"
#include "StatusRecorder.h"
#include "TestSupport.h"
#include "Tweaks.h"
#include "VssRequester.h"
#include "VssRequesterSimulator.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono;

namespace {

class RecordingListener : public ISnapshotFlowListener {
public:
    int notifySnapshotPrepare() override {
        record("prepare");
        return 0;
    }
    void notifySnapshotQuiesceSuccess() override { record("quiesce"); }
    void notifySnapshotThawSuccess() override { record("thaw"); }
    void notifySnapshotCompleteSuccess() override { record("complete"); }
    void notifySnapshotCompleteFailure(int errNum) override { record("failure(" + std::to_string(errNum) + ")"); }
    void record(const std::string& what) { m_calls.push_back(what); }
    std::vector<std::string> m_calls;
};

StatusReaderWriter& statusChannel() {
    static StatusReaderWriter* channel = new StatusReaderWriter();
    return *channel;
}

bool hasLine(const std::string& text) {
    const auto lines = sharedClient().lines();
    return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return l.find(text) != std::string::npos; });
}

class SnapshotFlowObjectsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { useOwnStandinRoot(); }

    void SetUp() override {
        sharedClient().clear();
        Tweaks::instance()->update("t_requesterQuiescedEventWaitTimeoutMsec", "5000");
        Tweaks::instance()->update("t_requesterEventWaitForThawStartTimeoutMsec", "5000");
        // Read, and so checked, by the flow for the requester before anything is guarded, as the agent has it.
        Tweaks::instance()->update("t_WaitAsyncTimeoutMsec", "62000");
        m_saved = statusChannel().m_handler;
        statusChannel().m_handler = &m_handler;
    }
    void TearDown() override { statusChannel().m_handler = m_saved; }

    SnapshotFlowArgs m_args;
    RecordingListener m_listener;
    RecordingHandler m_handler;
    VssRequesterSimulator m_simulator;
    IInterProcessCommunicationHandler* m_saved = nullptr;
};

TEST_F(SnapshotFlowObjectsTest, SimulatorFreezesAndThawsThroughTheFlowsObjects) {
    int result = -1;
    const auto start = steady_clock::now();
    finishWithin(30000, "flow", [&] { result = SnapshotFlow::execute(m_args, &m_listener, &m_simulator, &statusChannel()); });
    EXPECT_EQ(result, AgentStatus::Ok);
    EXPECT_LT(steady_clock::now() - start, milliseconds(4000)) << "the simulator waited out its thaw time-out";
    EXPECT_EQ(m_handler.writes(), (std::vector<i32>{0, 0}));
    EXPECT_EQ(m_listener.m_calls, (std::vector<std::string>{"prepare", "quiesce", "thaw", "complete"}));
    EXPECT_FALSE(hasLine("VssRequesterSimulator::DoSnapshot")) << "neither run logs";
    HANDLE mutex = OpenMutexA(MUTEX_ALL_ACCESS, FALSE, SnapshotFlow::kMutexName);
    EXPECT_EQ(mutex, nullptr) << "no flow left behind";
    if (mutex) CloseHandle(mutex);
}

// The real requester on a machine whose VSS refuses to make backup components (Wine's, and the stand-in's without a
// scenario): it fails before any freeze and wakes the flow itself, which goes on as after a freeze; the second
// value is the requester's result, and the second run, after the events were closed, signals nothing.
TEST_F(SnapshotFlowObjectsTest, RequesterFailingBeforeAnyFreezeTakesTheFreezesPath) {
    const i32 notImplemented = static_cast<i32>(0x80004001u);
    VssRequester requester;
    int result = -1;
    finishWithin(30000, "flow", [&] { result = SnapshotFlow::execute(m_args, &m_listener, &requester, &statusChannel()); });
    EXPECT_EQ(result, AgentStatus::Ok);
    EXPECT_EQ(m_handler.writes(), (std::vector<i32>{0, notImplemented}));
    EXPECT_EQ(m_listener.m_calls, (std::vector<std::string>{"prepare", "quiesce", "thaw", "complete"}));
    const auto lines = sharedClient().lines();
    const std::string failed =
        "launchVssRequesterDoSnapshot failed with error :  doSnapshotResult=2147500033  releasing  quiescedEvent.";
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [&](const std::string& l) { return l.find(failed) != std::string::npos; }),
              2)
        << "both runs failed";
    EXPECT_FALSE(hasLine("SetEventFailure")) << "the second run signalled a closed event";
    const auto second = std::find_if(lines.begin(), lines.end(), [](const std::string& l) {
        return l.find("creating second snapshot") != std::string::npos;
    });
    EXPECT_NE(std::find_if(second, lines.end(), [&](const std::string& l) { return l.find(failed) != std::string::npos; }),
              lines.end());
}

TEST_F(SnapshotFlowObjectsTest, AnotherProcessHoldingTheMutexKeepsTheFlowWaiting) {
    struct HolderCase {
        const char* name;
        const char* command;
        bool letsGoOnQuit;
    } cases[] = {{"released", "hold-mutex-until", true}, {"abandoned", "hold-mutex", false}};
    // A stray handle of this test's makes the simulator's second run find a flow: keep its wait short.
    Tweaks::instance()->update("t_requesterEventWaitForThawStartTimeoutMsec", "200");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sharedClient().clear();
        m_listener = RecordingListener();
        RecordingHandler handler;
        statusChannel().m_handler = &handler;
        const std::string ready = "Global\\" + uniqueName("flow-ready");
        const std::string quit = "Global\\" + uniqueName("flow-quit");
        HANDLE readyEvent = CreateEventA(NULL, FALSE, FALSE, ready.c_str());
        HANDLE quitEvent = CreateEventA(NULL, FALSE, FALSE, quit.c_str());
        // Keeps the mutex alive until the peer has taken it.
        HANDLE mutex = CreateMutexA(NULL, FALSE, SnapshotFlow::kMutexName);
        ChildProcess peer;
        std::vector<std::string> args = {c.command, SnapshotFlow::kMutexName, ready};
        if (c.letsGoOnQuit) args.push_back(quit);
        ASSERT_TRUE(peer.start(ChildProcess::toolPath("object_peer"), args));
        ASSERT_EQ(WaitForSingleObject(readyEvent, 10000), static_cast<DWORD>(WAIT_OBJECT_0));
        if (!c.letsGoOnQuit) {
            ASSERT_EQ(peer.wait(10000), 0);
        }

        int result = -1;
        std::atomic<bool> done{false};
        std::thread flow([&] {
            result = SnapshotFlow::execute(m_args, &m_listener, &m_simulator, &statusChannel());
            done = true;
        });
        const bool waiting = sharedClient().waitForLine("Waiting for mutex", 10000);
        CloseHandle(mutex);
        if (c.letsGoOnQuit) {
            std::this_thread::sleep_for(milliseconds(200));
            EXPECT_FALSE(hasLine("Creating events")) << "the flow went past a held mutex";
            SetEvent(quitEvent);
        }
        const bool finished = sharedClient().waitForLine("second snapshot completed", 15000);
        if (!finished) peer.kill();
        flow.join();  // bounded: the flow ends once the peer is gone, killed or not
        EXPECT_TRUE(waiting);
        EXPECT_TRUE(finished);
        EXPECT_TRUE(done);
        EXPECT_EQ(result, AgentStatus::Ok);
        EXPECT_EQ(handler.writes(), (std::vector<i32>{0, 0}));
        if (c.letsGoOnQuit) {
            EXPECT_EQ(peer.wait(10000), 0);
        }
        CloseHandle(readyEvent);
        CloseHandle(quitEvent);
    }
}

}  // namespace
