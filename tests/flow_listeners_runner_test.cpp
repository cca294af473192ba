// test-traits: machine-names
// The runner flow listener, called as the snapshot flow calls it, with the outside runner as a separate process
// (tests/tools/flow_runner) on the runner events' fixed names: the hand-over of the frozen moment, the bounded
// wait, and that a go-ahead left over from another run never thaws this one early.
#include "FileLoggerSupport.h"
#include "ChildProcess.h"
#include "FatalStop.h"
#include "SnapshotFlowExternallyInitiatedListener.h"
#include "TestSupport.h"

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
const std::string kListener = ",NON,SnapshotFlowExternallyInitiatedListener,";
const char* const kTimeoutTweak = "t_requesterEventWaitForThawStartTimeoutMsec";

// "<severity>,<function>,<text>" of each line the listener logged, in order.
std::vector<std::string> listenerLines() {
    std::vector<std::string> out;
    for (const auto& line : sharedClient().linesWith(kListener)) {
        const size_t at = line.find(kListener);
        const size_t threadStart = line.rfind(',', at - 1);
        const size_t severityStart = line.rfind(',', threadStart - 1) + 1;
        std::string rest = line.substr(at + kListener.size());
        while (!rest.empty() && (rest.back() == '\n' || rest.back() == '\r')) rest.pop_back();
        out.push_back(line.substr(severityStart, threadStart - severityStart) + "," + rest);
    }
    return out;
}

bool logged(const std::string& entry) {
    const auto lines = listenerLines();
    return std::find(lines.begin(), lines.end(), entry) != lines.end();
}

long long msSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// One runner process and its journal.
class Runner {
public:
    Runner(const std::string& mode, int delayMs, int holdMs) : m_journal(uniqueName("runner") + ".txt") {
        m_started = m_process.start(ChildProcess::toolPath("flow_runner"),
                                    {mode, std::to_string(delayMs), std::to_string(holdMs), m_journal});
    }
    ~Runner() {
        m_process.kill();
        std::remove(m_journal.c_str());
    }
    bool started() const { return m_started; }
    // What the runner noted so far, without the times.
    std::vector<std::string> steps() const {
        std::vector<std::string> out;
        std::ifstream in(m_journal);
        std::string line;
        while (std::getline(in, line)) {
            while (!line.empty() && line.back() == '\r') line.pop_back();
            out.push_back(line.substr(line.find(' ') + 1));
        }
        return out;
    }
    bool waitForStep(const std::string& step, int ms) const {
        const auto until = Clock::now() + std::chrono::milliseconds(ms);
        while (Clock::now() < until) {
            const auto s = steps();
            if (std::find(s.begin(), s.end(), step) != s.end()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    int wait(int ms) { return m_process.wait(ms); }

private:
    std::string m_journal;
    ChildProcess m_process;
    bool m_started = false;
};

class FlowListenerRunnerTest : public ::testing::Test {
protected:
    void SetUp() override {
        useOwnStandinRoot();
        sharedClient().clear();
    }
    void TearDown() override { setTweak(kTimeoutTweak, "9500"); }

    // prepare, quiesce (timed), thaw, complete: the successful road of one flow.
    static long long runSuccessfulFlow(int timeoutMs) {
        setTweak(kTimeoutTweak, std::to_string(timeoutMs));
        long long frozenMs = -1;
        finishWithin(timeoutMs + 15000, "flow", [&] {
            SnapshotFlowExternallyInitiatedListener listener;
            EXPECT_EQ(listener.notifySnapshotPrepare(), 0);
            const auto frozen = Clock::now();
            listener.notifySnapshotQuiesceSuccess();
            frozenMs = msSince(frozen);
            listener.notifySnapshotThawSuccess();
            listener.notifySnapshotCompleteSuccess();
        });
        return frozenMs;
    }
};

TEST_F(FlowListenerRunnerTest, TheRunnersGoAheadEndsTheFrozenMoment) {
    struct Case {
        const char* name;
        int delayMs;
    };
    const Case cases[] = {{"quick runner", 0}, {"runner that works a while", 400}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sharedClient().clear();
        Runner runner("answer", c.delayMs, 0);
        ASSERT_TRUE(runner.started());
        ASSERT_TRUE(runner.waitForStep("opened", 10000));
        const long long frozenMs = runSuccessfulFlow(10000);
        EXPECT_GE(frozenMs, c.delayMs - 50);
        EXPECT_LT(frozenMs, 8000);
        EXPECT_EQ(runner.wait(10000), 0);
        EXPECT_EQ(runner.steps(), (std::vector<std::string>{"opened", "freeze", "thaw-start", "thaw-complete", "end"}));
        const auto lines = listenerLines();
        ASSERT_EQ(lines.size(), 6u);
        EXPECT_EQ(lines[0], "Info,notifySnapshotPrepare,registering events");
        EXPECT_EQ(lines[1], "Info,notifySnapshotQuiesceSuccess,receive freeze success, setting freeze event");
        EXPECT_EQ(lines[2].rfind("Info,notifySnapshotQuiesceSuccess,Waiting for event... m_eventThawStart=", 0), 0u)
            << lines[2];
        EXPECT_NE(lines[2].find(" with timeout of :10000ms"), std::string::npos) << lines[2];
        EXPECT_EQ(lines[3], "Info,notifySnapshotQuiesceSuccess,received event from runner to continue to thaw logic");
        EXPECT_EQ(lines[4], "Info,notifySnapshotQuiesceSuccess,continuing to thaw");
        EXPECT_EQ(lines[5], "Info,notifySnapshotCompleteSuccess,notifySnapshotCompleteSuccess");
    }
}

TEST_F(FlowListenerRunnerTest, WithoutAGoAheadTheWaitTimesOutAndTheThawIsStillSignalled) {
    Runner runner("never", 10000, 0);
    ASSERT_TRUE(runner.started());
    ASSERT_TRUE(runner.waitForStep("opened", 10000));
    const long long frozenMs = runSuccessfulFlow(300);
    EXPECT_GE(frozenMs, 290);
    EXPECT_LT(frozenMs, 8000);
    EXPECT_EQ(runner.wait(10000), 0);
    EXPECT_EQ(runner.steps(), (std::vector<std::string>{"opened", "freeze", "thaw-complete", "end"}));
    EXPECT_TRUE(logged("Error,notifySnapshotQuiesceSuccess,::WaitForSingleObject(quiescedEvent, 300) returned "
                       "WAIT_TIMEOUT"));
    EXPECT_TRUE(logged("Info,notifySnapshotQuiesceSuccess,continuing to thaw"));
}

// A go-ahead that no wait of its own run consumed stays in the event while the runner holds it open.
TEST_F(FlowListenerRunnerTest, AStaleGoAheadNeverShortensTheNextRun) {
    struct Case {
        const char* name;
        const char* staleMode;
    };
    const Case cases[] = {{"late runner of the run before", "late"}, {"runner that set it before the run", "early"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Runner stale(c.staleMode, 600, 30000);
        ASSERT_TRUE(stale.started());
        ASSERT_TRUE(stale.waitForStep("opened", 10000));
        if (std::string(c.staleMode) == "late") {
            // The run before: its runner answers only after the listener gave up.
            runSuccessfulFlow(200);
        }
        ASSERT_TRUE(stale.waitForStep("thaw-start", 10000));
        sharedClient().clear();

        // This run's runner takes 500 ms; the stale go-ahead must not thaw it at once.
        Runner runner("answer", 500, 0);
        ASSERT_TRUE(runner.started());
        ASSERT_TRUE(runner.waitForStep("opened", 10000));
        const long long frozenMs = runSuccessfulFlow(10000);
        EXPECT_GE(frozenMs, 450);
        EXPECT_EQ(runner.wait(10000), 0);
        EXPECT_EQ(runner.steps(), (std::vector<std::string>{"opened", "freeze", "thaw-start", "thaw-complete", "end"}));
        EXPECT_TRUE(logged("Info,notifySnapshotQuiesceSuccess,received event from runner to continue to thaw logic"));
    }
}

TEST_F(FlowListenerRunnerTest, AFailedFlowLeavesTheThawUnsignalled) {
    Runner runner("never", 1500, 0);
    ASSERT_TRUE(runner.started());
    ASSERT_TRUE(runner.waitForStep("opened", 10000));
    setTweak(kTimeoutTweak, "200");
    {
        SnapshotFlowExternallyInitiatedListener listener;
        ASSERT_EQ(listener.notifySnapshotPrepare(), 0);
        listener.notifySnapshotQuiesceSuccess();
        listener.notifySnapshotCompleteFailure(258);
    }
    EXPECT_EQ(runner.wait(10000), 3);
    EXPECT_EQ(runner.steps(), (std::vector<std::string>{"opened", "freeze", "no-thaw-complete", "end"}));
    EXPECT_TRUE(logged("Info,notifySnapshotCompleteFailure,notifySnapshotCompleteFailure errNum=258 "));
    EXPECT_FALSE(logged("Info,notifySnapshotCompleteSuccess,notifySnapshotCompleteSuccess"));
}

// Names taken by mutexes: the events cannot be made, and every step still goes on.
TEST_F(FlowListenerRunnerTest, EventsThatCannotBeMadeAreLoggedAndTheFlowGoesOn) {
    const char* const names[] = {SnapshotFlowExternallyInitiatedListener::kFreezeCompleteEventName,
                                 SnapshotFlowExternallyInitiatedListener::kThawStartEventName,
                                 SnapshotFlowExternallyInitiatedListener::kThawCompleteEventName};
    std::vector<HANDLE> squatters;
    for (const char* name : names) {
        HANDLE mutex = CreateMutexA(NULL, FALSE, name);
        ASSERT_NE(mutex, nullptr) << name;
        squatters.push_back(mutex);
    }
    setTweak(kTimeoutTweak, "5000");
    finishWithin(10000, "flow", [&] {
        SnapshotFlowExternallyInitiatedListener listener;
        EXPECT_EQ(listener.notifySnapshotPrepare(), 0);
        const auto frozen = Clock::now();
        listener.notifySnapshotQuiesceSuccess();
        // A failed wait returns at once, not after the time-out.
        EXPECT_LT(msSince(frozen), 4000);
        listener.notifySnapshotThawSuccess();
        listener.notifySnapshotCompleteSuccess();
    });
    for (HANDLE mutex : squatters) CloseHandle(mutex);
    const auto lines = listenerLines();
    const std::string setFailure = "SetEventFailure setEventRes=0  lastError=";
    size_t setFailures = 0;
    for (const auto& line : lines) {
        if (line.find(setFailure) == std::string::npos) continue;
        ++setFailures;
        EXPECT_EQ(line.back(), ' ') << line;
        const std::string number = line.substr(line.find(setFailure) + setFailure.size());
        EXPECT_GT(std::stoul(number), 0u) << line;
    }
    EXPECT_EQ(setFailures, 2u);
    EXPECT_TRUE(logged("Error,notifySnapshotQuiesceSuccess,::WaitForSingleObject(quiescedEvent, 5000) returned "
                       "WAIT_FAILED"));
    EXPECT_TRUE(logged("Info,notifySnapshotQuiesceSuccess,continuing to thaw"));
}

// The time-out is read before the freeze: a malformed value ends the process in the preparation.
TEST_F(FlowListenerRunnerTest, AMalformedTimeoutEndsThePreparationNotTheFrozenMoment) {
    // The same name in the death test's child, which runs this test again in a process of its own.
    const std::string marker = "prepared-marker.txt";
    std::remove(marker.c_str());
    EXPECT_EXIT(
        {
            endProcessAfter(20000);
            setTweak(kTimeoutTweak, "\"soon\"");
            SnapshotFlowExternallyInitiatedListener listener;
            listener.notifySnapshotPrepare();
            std::ofstream(marker) << "prepared";
            listener.notifySnapshotQuiesceSuccess();
        },
        ::testing::ExitedWithCode(kFatalStopExitCode), "");
    EXPECT_FALSE(std::ifstream(marker).good()) << "the preparation returned";
}

}  // namespace
