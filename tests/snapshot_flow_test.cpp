// test-traits: linux-only threaded machine-names
// linux-only: injected waits, a failing CreateThread, the version query, stale handle counts of the stand-in.
// The snapshot flow against a recording listener and status handler, a scripted requester that can play the
// provider (freeze, then wait for the thaw), the real named objects and the boot guards on the stand-in registry.
#include "AgentStatus.h"
#include "BootSettingsSupport.h"
#include "ChildProcess.h"
#include "SnapshotFlow.h"
#include "SnapshotFlowExternallyInitiatedListener.h"
#include "StatusRecorder.h"
#include "TestSupport.h"
#include "Tweaks.h"
#include "VssRequesterSimulator.h"

#include <platform/testing.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono;

namespace {

constexpr int kProviderHoldMs = 5000;  // the provider's bound on waiting for the thaw

class RecordingListener : public ISnapshotFlowListener {
public:
    int notifySnapshotPrepare() override {
        record("prepare");
        if (m_onPrepare) m_onPrepare();
        return m_prepareResult;
    }
    void notifySnapshotQuiesceSuccess() override {
        record("quiesce");
        if (m_onQuiesce) m_onQuiesce();
    }
    void notifySnapshotThawSuccess() override { record("thaw"); }
    void notifySnapshotCompleteSuccess() override { record("complete"); }
    void notifySnapshotCompleteFailure(int errNum) override {
        record("failure(" + std::to_string(errNum) + ")");
        if (m_onFailure) m_onFailure();
    }

    void record(const std::string& what) {
        m_calls.push_back(what);
        LOG(Info) << "listener " << what << std::endl;
    }

    int m_prepareResult = 0;
    std::function<void()> m_onPrepare;
    std::function<void()> m_onQuiesce;
    std::function<void()> m_onFailure;
    std::vector<std::string> m_calls;
};

// What the first DoSnapshot does; the second run returns m_secondResult at once.
// FreezeAfterFailedWait: a provider that freezes once the flow's quiesced wait has failed or run out.
enum class Play { Silent, Freeze, WaitThaw, Throw, ThrowOther, FailAfterClose, FreezeAfterFailedWait };

class ScriptedRequester : public IVssRequester {
public:
    int DoSnapshot(const RequesterArgs&) override {
        const int call = ++m_calls;
        LOG(Info) << "requester DoSnapshot " << call << std::endl;
        if (call > 1) return m_secondResult;
        m_stampWhileGuarded = storedStamp();
        struct Returned {
            std::atomic<bool>& flag;
            ~Returned() { flag = true; }
        } returned{m_returned};
        switch (m_play) {
            case Play::Silent: break;
            case Play::Throw: throw std::runtime_error("boom");
            case Play::ThrowOther: throw 42;  // no std::exception
            case Play::Freeze: {
                HANDLE quiesced = CreateEventA(NULL, FALSE, FALSE, SnapshotFlow::kQuiescedEventName);
                HANDLE thaw = CreateEventA(NULL, FALSE, FALSE, SnapshotFlow::kThawEventName);
                SetEvent(quiesced);
                m_thawSeen = WaitForSingleObject(thaw, kProviderHoldMs) == WAIT_OBJECT_0;
                LOG(Info) << "provider thawed " << m_thawSeen.load() << std::endl;
                CloseHandle(quiesced);
                CloseHandle(thaw);
                break;
            }
            case Play::WaitThaw: {
                HANDLE thaw = CreateEventA(NULL, FALSE, FALSE, SnapshotFlow::kThawEventName);
                m_thawSeen = WaitForSingleObject(thaw, kProviderHoldMs) == WAIT_OBJECT_0;
                CloseHandle(thaw);
                break;
            }
            case Play::FailAfterClose:
                m_waitedForClose = sharedClient().waitForLine("Waiting for requester doSnapshot thread to terminate");
                break;
            case Play::FreezeAfterFailedWait: {
                if (!m_quiesced) openEvents();
                sharedClient().waitForLine(") returned WAIT_");
                SetEvent(m_quiesced);
                m_thawSeen = WaitForSingleObject(m_thaw, kProviderHoldMs) == WAIT_OBJECT_0;
                CloseHandle(m_quiesced);
                CloseHandle(m_thaw);
                break;
            }
        }
        return m_firstResult;
    }

    Play m_play = Play::Silent;
    int m_firstResult = 0;
    int m_secondResult = 0;
    std::atomic<int> m_calls{0};
    std::atomic<bool> m_thawSeen{false};
    std::atomic<bool> m_waitedForClose{false};
    std::atomic<bool> m_returned{false};
    // The flow's events as the provider holds them; FreezeAfterFailedWait needs them open before the flow's wait
    // can end (the flow closes its own handles right after), so the listener's preparation opens them.
    void openEvents() {
        m_quiesced = CreateEventA(NULL, FALSE, FALSE, SnapshotFlow::kQuiescedEventName);
        m_thaw = CreateEventA(NULL, FALSE, FALSE, SnapshotFlow::kThawEventName);
    }
    HANDLE m_quiesced = nullptr;
    HANDLE m_thaw = nullptr;
    // The reliability stamp as the first run found it.
    std::optional<StoredValue> m_stampWhileGuarded;
};

StatusReaderWriter& statusChannel() {
    static StatusReaderWriter* channel = new StatusReaderWriter();
    return *channel;
}

// Index of the first line containing `text` at or after `from`, or -1.
int lineIndex(const std::vector<std::string>& lines, const std::string& text, int from = 0) {
    for (int i = from; i < static_cast<int>(lines.size()); ++i) {
        if (lines[i].find(text) != std::string::npos) return i;
    }
    return -1;
}

int countLines(const std::vector<std::string>& lines, const std::string& text) {
    return static_cast<int>(std::count_if(lines.begin(), lines.end(),
                                          [&](const std::string& l) { return l.find(text) != std::string::npos; }));
}

// Waits for the flow's mutex on a thread of its own from the moment it is started (the flow holds the mutex
// then) and records how many guard restorations were logged when it got the mutex.
class MutexWaiter {
public:
    void start() {
        m_thread = std::thread([this] {
            HANDLE mutex = CreateMutexA(NULL, FALSE, SnapshotFlow::kMutexName);
            m_result = WaitForSingleObject(mutex, 10000);
            const auto lines = sharedClient().lines();
            m_restoredAtAcquire = countLines(lines, "Restoring LastAliveStampCache...");
            m_enabledAtAcquire = countLines(lines, "Enabling Windows error recovery...");
            if (m_result == WAIT_OBJECT_0 || m_result == WAIT_ABANDONED) ReleaseMutex(mutex);
            CloseHandle(mutex);
        });
    }
    void join() {
        if (m_thread.joinable()) m_thread.join();
    }
    ~MutexWaiter() { join(); }

    std::thread m_thread;
    DWORD m_result = WAIT_FAILED;
    int m_restoredAtAcquire = -1;
    int m_enabledAtAcquire = -1;
};

class SnapshotFlowTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // A death test's child works on its parent's machine state, which the parent then inspects.
        if (GTEST_FLAG_GET(internal_run_death_test).empty()) useOwnStandinRoot();
        static FakeBcdedit* bcdedit = new FakeBcdedit();
        (void)bcdedit;
    }
    static const StoredValue& stamp() {
        static const StoredValue value{REG_BINARY, {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88}};
        return value;
    }

    void SetUp() override {
        sharedClient().clear();
        platform_test::clearEventWaitInjection();
        platform_test::setWindowsVersion(10, 0, 19045);
        Tweaks::instance()->update("t_requesterQuiescedEventWaitTimeoutMsec", "5000");
        Tweaks::instance()->update("t_requesterEventWaitForThawStartTimeoutMsec", "5000");
        // Read, and so checked, by the flow for the requester before anything is guarded, as the agent has it.
        Tweaks::instance()->update("t_WaitAsyncTimeoutMsec", "62000");
        m_saved = statusChannel().m_handler;
        statusChannel().m_handler = &m_handler;
        SnapshotFlow::doSnapshotResult = 0;
        ASSERT_TRUE(createRunOnceKey());
        ASSERT_TRUE(createReliabilityKey());
        setStamp(stamp());
    }
    void TearDown() override {
        statusChannel().m_handler = m_saved;
        platform_test::clearEventWaitInjection();
        platform_test::failCreateThread(0, 0);
        platform_test::failGetVersion(0);
    }

    int run(IVssRequester& requester) {
        int result = 0;
        finishWithin(30000, "snapshot flow", [&] { result = SnapshotFlow::execute(m_args, &m_listener, &requester, &statusChannel()); });
        return result;
    }
    // Whether the flow ended by letting the listener's exception go on to its caller.
    bool runThrows(IVssRequester& requester) {
        bool thrown = false;
        finishWithin(30000, "snapshot flow", [&] {
            try {
                SnapshotFlow::execute(m_args, &m_listener, &requester, &statusChannel());
            } catch (const std::runtime_error&) {
                thrown = true;
            }
        });
        return thrown;
    }

    static bool noFlowRunning() {
        HANDLE mutex = OpenMutexA(MUTEX_ALL_ACCESS, FALSE, SnapshotFlow::kMutexName);
        if (mutex) CloseHandle(mutex);
        return mutex == nullptr;
    }

    SnapshotFlowArgs m_args;
    RecordingListener m_listener;
    RecordingHandler m_handler;
    IInterProcessCommunicationHandler* m_saved = nullptr;
};

struct FlowCase {
    const char* name;
    int prepare;
    bool threadFails;
    std::optional<DWORD> injectedWait;
    Play play;
    int firstResult;
    int quiescedTimeoutMs;
    int oldResult;  // doSnapshotResult before the flow
    int expected;
    std::vector<std::string> calls;  // listener calls
    std::vector<i32> writes;
    int doSnapshotCalls;
    bool guarded;
    const char* errorLine;
};

TEST_F(SnapshotFlowTest, ResultTable) {
    const i32 notImpl = static_cast<i32>(0x80004001u);
    const FlowCase cases[] = {
        {"prepare fails", 5, false, {}, Play::Freeze, 0, 5000, 0, AgentStatus::QuiescedWaitFailed,
         {"prepare", "failure(5)"}, {}, 0, false, "notifyFreezePrepare failed with res=5 "},
        {"thread not created", 0, true, {}, Play::Freeze, 0, 5000, 0, AgentStatus::RequesterThreadNotStarted,
         {"prepare", "failure(1)"}, {}, 0, true, "CreateThread failed. Last error: 8"},
        {"freeze", 0, false, {}, Play::Freeze, 0x2a, 5000, 0, AgentStatus::Ok,
         {"prepare", "quiesce", "thaw", "complete"}, {0, 0x2a}, 2, true, nullptr},
        {"no freeze", 0, false, {}, Play::WaitThaw, 7, 300, 0, AgentStatus::QuiescedWaitTimeout,
         {"prepare", "failure(258)"}, {AgentStatus::QuiescedWaitTimeout, 7}, 2, true,
         "::WaitForSingleObject(quiescedEvent, 300) returned WAIT_TIMEOUT"},
        {"wait abandoned", 0, false, WAIT_ABANDONED, Play::FreezeAfterFailedWait, 0, 5000, 0,
         AgentStatus::QuiescedWaitAbandoned,
         {"prepare", "failure(128)"}, {AgentStatus::QuiescedWaitAbandoned, 0}, 2, true,
         "::WaitForSingleObject(quiescedEvent, 5000) returned WAIT_ABANDONED"},
        {"wait failed", 0, false, WAIT_FAILED, Play::FreezeAfterFailedWait, 0, 5000, 0,
         AgentStatus::QuiescedWaitFailed,
         {"prepare", "failure(-1)"}, {AgentStatus::QuiescedWaitFailed, 0}, 2, true,
         "::WaitForSingleObject(quiescedEvent, 5000) returned WAIT_FAILED"},
        // The requester's own signal ends the wait as a freeze would: the wait status decides.
        {"failure before the freeze", 0, false, {}, Play::Silent, notImpl, 5000, 0, AgentStatus::Ok,
         {"prepare", "quiesce", "thaw", "complete"}, {0, notImpl}, 2, true,
         "launchVssRequesterDoSnapshot failed with error :  doSnapshotResult=2147500033  releasing  quiescedEvent."},
        {"requester throws", 0, false, {}, Play::Throw, 0, 300, 9, AgentStatus::QuiescedWaitTimeout,
         {"prepare", "failure(258)"}, {AgentStatus::QuiescedWaitTimeout, 9}, 2, true,
         "launchVssRequesterDoSnapshot failed due to : boom"},
        {"requester throws no std::exception", 0, false, {}, Play::ThrowOther, 0, 300, 9,
         AgentStatus::QuiescedWaitTimeout, {"prepare", "failure(258)"}, {AgentStatus::QuiescedWaitTimeout, 9}, 2, true,
         "launchVssRequesterDoSnapshot failed due to an unknown exception"},
    };
    for (const FlowCase& c : cases) {
        SCOPED_TRACE(c.name);
        sharedClient().clear();
        setStamp(stamp());
        m_listener = RecordingListener();
        m_listener.m_prepareResult = c.prepare;
        MutexWaiter waiter;
        RecordingHandler handler;
        statusChannel().m_handler = &handler;
        ScriptedRequester requester;
        requester.m_play = c.play;
        requester.m_firstResult = c.firstResult;
        m_listener.m_onPrepare = [&] {
            waiter.start();
            if (c.play == Play::FreezeAfterFailedWait) requester.openEvents();
        };
        SnapshotFlow::doSnapshotResult = c.oldResult;
        Tweaks::instance()->update("t_requesterQuiescedEventWaitTimeoutMsec", std::to_string(c.quiescedTimeoutMs));
        if (c.threadFails) platform_test::failCreateThread(1, 8);
        if (c.injectedWait) platform_test::injectNextEventWait(*c.injectedWait);
        const unsigned long staleBefore = platform_test::staleHandleUses();

        EXPECT_EQ(run(requester), c.expected);
        waiter.join();
        platform_test::failCreateThread(0, 0);

        EXPECT_EQ(m_listener.m_calls, c.calls);
        EXPECT_EQ(handler.writes(), c.writes);
        EXPECT_EQ(requester.m_calls.load(), c.doSnapshotCalls);
        const auto lines = sharedClient().lines();
        if (c.errorLine) {
            EXPECT_NE(lineIndex(lines, c.errorLine), -1) << c.errorLine;
        }
        EXPECT_EQ(countLines(lines, "Saving LastAliveStampCache..."), c.guarded ? 1 : 0);
        EXPECT_EQ(countLines(lines, "Restoring LastAliveStampCache..."), c.guarded ? 1 : 0);
        EXPECT_EQ(countLines(lines, "Disabling Windows error recovery..."), c.guarded ? 1 : 0);
        EXPECT_EQ(countLines(lines, "Enabling Windows error recovery..."), c.guarded ? 1 : 0);
        // Whoever waits for the mutex gets it, and only once this flow's guards have ended.
        EXPECT_EQ(waiter.m_result, static_cast<DWORD>(WAIT_OBJECT_0));
        EXPECT_EQ(waiter.m_restoredAtAcquire, c.guarded ? 1 : 0);
        EXPECT_EQ(waiter.m_enabledAtAcquire, c.guarded ? 1 : 0);
        if (c.play == Play::Freeze && c.doSnapshotCalls > 0) {
            EXPECT_TRUE(requester.m_thawSeen);
        }
        if (c.play == Play::WaitThaw || c.play == Play::FreezeAfterFailedWait) {
            EXPECT_TRUE(requester.m_thawSeen) << "ThawEvent set after the failed wait";
        }
        // The stamp is away while the requester runs and back, with its bytes, once the flow has returned.
        if (c.doSnapshotCalls > 0) {
            EXPECT_EQ(requester.m_stampWhileGuarded, std::nullopt);
        }
        EXPECT_EQ(storedStamp(), stamp());
        EXPECT_EQ(storedRunOnce(), std::nullopt);
        EXPECT_EQ(countLines(lines, "SetEventFailure"), 0);
        EXPECT_EQ(platform_test::staleHandleUses(), staleBefore);
        EXPECT_EQ(SnapshotFlow::s_quiescedEvent, nullptr);
        EXPECT_EQ(SnapshotFlow::s_thawEvent, nullptr);
        EXPECT_TRUE(noFlowRunning());
        EXPECT_EQ(countLines(lines, "creating second snapshot"), c.doSnapshotCalls == 2 ? 1 : 0);
    }
}

// A status channel whose first write throws.
class ThrowingHandler : public IInterProcessCommunicationHandler {
public:
    u32 read() override { return 0; }
    void write(u32) override { throw std::runtime_error("status block gone"); }
};

// Whatever throws once the requester runs, the provider thaws at once, the requester is joined, the machine is put
// back and the mutex freed before the exception leaves the flow.
TEST_F(SnapshotFlowTest, ExceptionAfterTheRequesterStartedThawsAndCleansUp) {
    struct ThrowCase {
        const char* name;
        Play play;
        int quiescedTimeoutMs;
        bool listenerQuiesceThrows;
        bool listenerFailureThrows;
        bool statusThrows;
    } cases[] = {
        {"listener at the frozen moment", Play::Freeze, 5000, true, false, false},
        {"status write after the freeze", Play::Freeze, 5000, false, false, true},
        {"listener's failure call after the time-out", Play::FreezeAfterFailedWait, 300, false, true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sharedClient().clear();
        setStamp(stamp());
        m_listener = RecordingListener();
        const auto thrower = [] { throw std::runtime_error("listener broke"); };
        if (c.listenerQuiesceThrows) m_listener.m_onQuiesce = thrower;
        if (c.listenerFailureThrows) m_listener.m_onFailure = thrower;
        ThrowingHandler throwing;
        RecordingHandler recording;
        statusChannel().m_handler = c.statusThrows ? static_cast<IInterProcessCommunicationHandler*>(&throwing)
                                                   : &recording;
        Tweaks::instance()->update("t_requesterQuiescedEventWaitTimeoutMsec", std::to_string(c.quiescedTimeoutMs));
        ScriptedRequester requester;
        requester.m_play = c.play;
        MutexWaiter waiter;
        m_listener.m_onPrepare = [&] {
            waiter.start();
            if (c.play == Play::FreezeAfterFailedWait) requester.openEvents();
        };
        const unsigned long staleBefore = platform_test::staleHandleUses();
        const auto start = steady_clock::now();
        EXPECT_TRUE(runThrows(requester)) << "the exception goes on to the caller";
        EXPECT_TRUE(requester.m_returned) << "the requester was joined";
        EXPECT_TRUE(requester.m_thawSeen) << "the provider was let thaw";
        EXPECT_LT(steady_clock::now() - start, milliseconds(kProviderHoldMs)) << "not at the provider's own limit";
        EXPECT_EQ(requester.m_calls.load(), 1) << "no second run";
        EXPECT_EQ(SnapshotFlow::s_quiescedEvent, nullptr);
        EXPECT_EQ(SnapshotFlow::s_thawEvent, nullptr);
        EXPECT_EQ(platform_test::staleHandleUses(), staleBefore);
        EXPECT_EQ(requester.m_stampWhileGuarded, std::nullopt);
        EXPECT_EQ(storedStamp(), stamp());
        EXPECT_EQ(storedRunOnce(), std::nullopt);
        EXPECT_EQ(countLines(sharedClient().lines(), "Enabling Windows error recovery..."), 1);
        // An agent waiting for the mutex gets it only once the machine is put back.
        waiter.join();
        EXPECT_EQ(waiter.m_result, static_cast<DWORD>(WAIT_OBJECT_0));
        EXPECT_EQ(waiter.m_restoredAtAcquire, 1);
        EXPECT_EQ(waiter.m_enabledAtAcquire, 1);
        EXPECT_TRUE(noFlowRunning());
    }
}

// A listener that throws while preparing leaves nothing behind either: the mutex is free and the events closed.
TEST_F(SnapshotFlowTest, ExceptionWhilePreparingFreesTheMutexAndEvents) {
    m_listener.m_onPrepare = [] { throw std::runtime_error("listener broke"); };
    ScriptedRequester requester;
    EXPECT_TRUE(runThrows(requester));
    EXPECT_EQ(requester.m_calls.load(), 0);
    EXPECT_EQ(SnapshotFlow::s_quiescedEvent, nullptr);
    EXPECT_EQ(SnapshotFlow::s_thawEvent, nullptr);
    EXPECT_TRUE(noFlowRunning());
    EXPECT_EQ(storedStamp(), stamp());
}

// A thaw that cannot be set is logged under the function that tried it.
TEST_F(SnapshotFlowTest, FailedThawSetLoggedUnderItsFunction) {
    struct SetCase {
        const char* name;
        Play play;
        int quiescedTimeoutMs;
        const char* function;
    } cases[] = {
        {"at the frozen moment", Play::Freeze, 5000, "SnapshotFlow::signalVssIsFrozenWaitForThaw"},
        {"after the time-out", Play::FreezeAfterFailedWait, 300, "SnapshotFlow::execute"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sharedClient().clear();
        m_listener = RecordingListener();
        // The listener thaws the provider itself and closes the flow's handle: the flow's own set then fails.
        const auto takeThaw = [] {
            SetEvent(SnapshotFlow::s_thawEvent);
            CloseHandle(SnapshotFlow::s_thawEvent);
        };
        m_listener.m_onQuiesce = takeThaw;
        m_listener.m_onFailure = takeThaw;
        Tweaks::instance()->update("t_requesterQuiescedEventWaitTimeoutMsec", std::to_string(c.quiescedTimeoutMs));
        ScriptedRequester requester;
        requester.m_play = c.play;
        if (c.play == Play::FreezeAfterFailedWait) m_listener.m_onPrepare = [&] { requester.openEvents(); };
        run(requester);
        const auto failures = sharedClient().linesWith("SetEventFailure");
        EXPECT_TRUE(logged("Error", c.function, "SetEventFailure setEventRes=0  lastError=6 "))
            << (failures.empty() ? std::string("no SetEventFailure line") : failures.front());
        EXPECT_EQ(countLines(sharedClient().lines(), "SetEventFailure"), 1);
    }
}

// A status channel each of whose writes sets a named event of its own, so that the writes stand in the trace of
// named-event sets among the runner's events.
class TracedHandler : public IInterProcessCommunicationHandler {
public:
    static constexpr const char* kWrittenEventName = "Global\\TalvoTestStatusWritten";
    TracedHandler() : m_written(CreateEventA(NULL, FALSE, FALSE, kWrittenEventName)) {}
    ~TracedHandler() override { CloseHandle(m_written); }
    u32 read() override { return 0; }
    void write(u32 value) override {
        m_recorder.write(value);
        SetEvent(m_written);
    }
    std::vector<i32> writes() { return m_recorder.writes(); }

private:
    HANDLE m_written;
    RecordingHandler m_recorder;
};

// A runner reads the status block the moment RunnerFreezeCompleteEvent fires: by then the flow has written the
// frozen state, and nothing else.
TEST_F(SnapshotFlowTest, FreezeCompleteSetOnlyAfterTheFrozenStateIsWritten) {
    Tweaks::instance()->update("t_requesterEventWaitForThawStartTimeoutMsec", "200");
    TracedHandler handler;
    statusChannel().m_handler = &handler;
    auto* listener = new SnapshotFlowExternallyInitiatedListener();
    ScriptedRequester requester;
    requester.m_play = Play::Freeze;
    requester.m_firstResult = 0x2a;
    platform_test::startEventTrace();
    int result = -1;
    finishWithin(30000, "snapshot flow",
                 [&] { result = SnapshotFlow::execute(m_args, listener, &requester, &statusChannel()); });
    const auto trace = platform_test::stopEventTrace();
    delete listener;
    ASSERT_EQ(result, AgentStatus::Ok);
    ASSERT_EQ(handler.writes(), (std::vector<i32>{0, 0x2a}));
    // What a reader woken by the event finds: the last value written before the event's set.
    int writesBefore = 0;
    bool fired = false;
    for (const auto& entry : trace) {
        if (!entry.isSet) continue;
        if (entry.name == SnapshotFlowExternallyInitiatedListener::kFreezeCompleteEventName) {
            fired = true;
            break;
        }
        if (entry.name == TracedHandler::kWrittenEventName) ++writesBefore;
    }
    ASSERT_TRUE(fired) << "no RunnerFreezeCompleteEvent set";
    EXPECT_EQ(writesBefore, 1) << "a reader at the freeze-complete signal would read "
                               << (writesBefore == 0 ? std::string("no value of this flow")
                                                     : std::to_string(handler.writes()[writesBefore - 1]));
}

TEST_F(SnapshotFlowTest, FreezeOrderAndGuardsAroundTheRequester) {
    ScriptedRequester requester;
    requester.m_play = Play::Freeze;
    EXPECT_EQ(run(requester), AgentStatus::Ok);
    const auto lines = sharedClient().lines();
    const int prepare = lineIndex(lines, "listener prepare");
    const int disable = lineIndex(lines, "Disabling Windows error recovery...");
    const int save = lineIndex(lines, "Saving LastAliveStampCache...");
    const int first = lineIndex(lines, "requester DoSnapshot 1");
    const int quiesce = lineIndex(lines, "listener quiesce");
    const int setThaw = lineIndex(lines, "Setting thaw event");
    const int thawed = lineIndex(lines, "provider thawed 1");
    const int thaw = lineIndex(lines, "listener thaw");
    const int join = lineIndex(lines, "Waiting for requester doSnapshot thread to terminate");
    const int restore = lineIndex(lines, "Restoring LastAliveStampCache...");
    const int enable = lineIndex(lines, "Enabling Windows error recovery...");
    const int release = lineIndex(lines, "Releasing mutex");
    const int second = lineIndex(lines, "requester DoSnapshot 2");
    const int complete = lineIndex(lines, "listener complete");
    const std::vector<int> order = {prepare, disable, save, first, quiesce, setThaw, thawed, restore,
                                    enable,  release, second, complete};
    for (size_t i = 0; i < order.size(); ++i) ASSERT_NE(order[i], -1) << "step " << i;
    EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
    // The provider is still frozen while the listener's quiesce call runs.
    EXPECT_LT(quiesce, thawed);
    EXPECT_LT(setThaw, thaw);
    EXPECT_LT(join, restore);
}

TEST_F(SnapshotFlowTest, OldVersionOrFailedQueryEngagesOnlyTheReliabilityGuard) {
    struct VersionCase {
        const char* name;
        DWORD major;
        bool queryFails;
        int errorRecovery;
    } cases[] = {{"10.0", 10, false, 1}, {"6.0", 6, false, 1}, {"5.1", 5, false, 0}, {"query fails", 10, true, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sharedClient().clear();
        m_listener = RecordingListener();
        platform_test::setWindowsVersion(c.major, 0, 1);
        platform_test::failGetVersion(c.queryFails ? 1 : 0);
        ScriptedRequester requester;
        requester.m_play = Play::Freeze;
        EXPECT_EQ(run(requester), AgentStatus::Ok);
        const auto lines = sharedClient().lines();
        EXPECT_EQ(countLines(lines, "Saving LastAliveStampCache..."), 1);
        EXPECT_EQ(countLines(lines, "Restoring LastAliveStampCache..."), 1);
        EXPECT_EQ(countLines(lines, "Disabling Windows error recovery..."), c.errorRecovery);
        EXPECT_EQ(countLines(lines, "Enabling Windows error recovery..."), c.errorRecovery);
    }
}

TEST_F(SnapshotFlowTest, EventsLeftSetByAnotherPartyAreReset) {
    // A stale freeze signal must not pass for this flow's freeze.
    HANDLE quiesced = CreateEventA(NULL, FALSE, TRUE, SnapshotFlow::kQuiescedEventName);
    HANDLE thaw = CreateEventA(NULL, FALSE, TRUE, SnapshotFlow::kThawEventName);
    Tweaks::instance()->update("t_requesterQuiescedEventWaitTimeoutMsec", "300");
    ScriptedRequester requester;
    requester.m_play = Play::Silent;
    EXPECT_EQ(run(requester), AgentStatus::QuiescedWaitTimeout);
    EXPECT_EQ(m_handler.writes(), (std::vector<i32>{AgentStatus::QuiescedWaitTimeout, 0}));
    // The thaw this flow set after its time-out is the only one left.
    EXPECT_EQ(WaitForSingleObject(thaw, 0), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(WaitForSingleObject(thaw, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(WaitForSingleObject(quiesced, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    CloseHandle(quiesced);
    CloseHandle(thaw);
}

TEST_F(SnapshotFlowTest, RequesterFailingAfterTheEventsClosedSignalsNothing) {
    ScriptedRequester requester;
    requester.m_play = Play::FailAfterClose;
    requester.m_firstResult = static_cast<int>(0x80042306u);
    // A provider's freeze from outside lets the flow reach the join while the requester is still running.
    m_listener.m_onPrepare = [] {};
    std::thread provider([] {
        HANDLE quiesced = CreateEventA(NULL, FALSE, FALSE, SnapshotFlow::kQuiescedEventName);
        sharedClient().waitForLine("Waiting for event...");
        SetEvent(quiesced);
        CloseHandle(quiesced);
    });
    const unsigned long staleBefore = platform_test::staleHandleUses();
    EXPECT_EQ(run(requester), AgentStatus::Ok);
    provider.join();
    EXPECT_TRUE(requester.m_waitedForClose);
    const auto lines = sharedClient().lines();
    EXPECT_NE(lineIndex(lines, "releasing  quiescedEvent."), -1);
    EXPECT_EQ(countLines(lines, "SetEventFailure"), 0);
    EXPECT_EQ(platform_test::staleHandleUses(), staleBefore);
    EXPECT_EQ(m_handler.writes(), (std::vector<i32>{0, static_cast<i32>(0x80042306u)}));
}

TEST_F(SnapshotFlowTest, MalformedQuiescedWaitTweakEndsTheProcessBeforeAnyGuard) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    ASSERT_TRUE(createRunOnceKey());
    ASSERT_TRUE(createReliabilityKey());
    const StoredValue stamp{REG_BINARY, {1, 2, 3, 4, 5, 6, 7, 8}};
    setStamp(stamp);
    EXPECT_DEATH(
        {
            endProcessAfter(20000);
            Tweaks::instance()->update("t_requesterQuiescedEventWaitTimeoutMsec", "\"soon\"");
            ScriptedRequester requester;
            SnapshotFlow::execute(m_args, &m_listener, &requester, &statusChannel());
        },
        "");
    // The registry is shared with the child: the stamp is where it was, no RunOnce entry was left.
    EXPECT_EQ(storedStamp(), stamp);
    EXPECT_FALSE(storedRunOnce().has_value());
}

TEST_F(SnapshotFlowTest, SimulatorRunsTheWholeFlow) {
    platform_test::setWindowsVersion(5, 1, 2600);  // no boot-policy command per round: the flow alone is timed
    for (int round = 0; round < 50; ++round) {
        SCOPED_TRACE(round);
        sharedClient().clear();
        m_listener = RecordingListener();
        RecordingHandler handler;
        statusChannel().m_handler = &handler;
        VssRequesterSimulator simulator;
        const auto start = steady_clock::now();
        ASSERT_EQ(run(simulator), AgentStatus::Ok);
        EXPECT_LT(steady_clock::now() - start, milliseconds(4000)) << "well inside the thaw-start time-out";
        EXPECT_EQ(handler.writes(), (std::vector<i32>{0, 0}));
        EXPECT_EQ(m_listener.m_calls, (std::vector<std::string>{"prepare", "quiesce", "thaw", "complete"}));
        const auto lines = sharedClient().lines();
        EXPECT_EQ(countLines(lines, "VssRequesterSimulator::DoSnapshot"), 0) << "neither run logs";
    }
}

TEST_F(SnapshotFlowTest, SimulatorOnItsOwn) {
    VssRequesterSimulator simulator;
    RequesterArgs args;
    // No flow: nothing touched.
    sharedClient().clear();
    EXPECT_EQ(simulator.DoSnapshot(args), 0);
    EXPECT_EQ(OpenEventA(EVENT_ALL_ACCESS, FALSE, SnapshotFlow::kQuiescedEventName), nullptr);
    EXPECT_EQ(sharedClient().lines().size(), 0u);

    // A flow that never thaws: the time-out's line with the set's result, still 0.
    Tweaks::instance()->update("t_requesterEventWaitForThawStartTimeoutMsec", "200");
    HANDLE mutex = CreateMutexA(NULL, FALSE, SnapshotFlow::kMutexName);
    HANDLE quiesced = CreateEventA(NULL, FALSE, FALSE, SnapshotFlow::kQuiescedEventName);
    EXPECT_EQ(simulator.DoSnapshot(args), 0);
    EXPECT_EQ(WaitForSingleObject(quiesced, 0), static_cast<DWORD>(WAIT_OBJECT_0)) << "the freeze was signalled";
    EXPECT_EQ(countLines(sharedClient().lines(), " setEventRes=1  lastError="), 1);
    CloseHandle(quiesced);
    CloseHandle(mutex);
}

TEST_F(SnapshotFlowTest, SlowListenerOutlastsTheSimulatorsHold) {
    Tweaks::instance()->update("t_requesterEventWaitForThawStartTimeoutMsec", "200");
    m_listener.m_onQuiesce = [] { sharedClient().waitForLine(" setEventRes=1  lastError=", 5000); };
    VssRequesterSimulator simulator;
    EXPECT_EQ(run(simulator), AgentStatus::Ok);
    EXPECT_EQ(m_handler.writes(), (std::vector<i32>{0, 0}));
    EXPECT_EQ(countLines(sharedClient().lines(), " setEventRes=1  lastError="), 1);
    EXPECT_EQ(m_listener.m_calls, (std::vector<std::string>{"prepare", "quiesce", "thaw", "complete"}));
}

TEST_F(SnapshotFlowTest, SecondMutexHolderKeepsTheFlowWaiting) {
    struct HolderCase {
        const char* name;
        bool abandon;
    } cases[] = {{"released", false}, {"abandoned", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sharedClient().clear();
        m_listener = RecordingListener();
        std::atomic<bool> letGo{false};
        std::atomic<bool> holding{false};
        std::thread holder([&] {
            HANDLE mutex = CreateMutexA(NULL, TRUE, SnapshotFlow::kMutexName);
            holding = true;
            for (int i = 0; i < 1000 && !letGo; ++i) std::this_thread::sleep_for(milliseconds(5));
            if (!c.abandon) ReleaseMutex(mutex);
            CloseHandle(mutex);  // a thread ending with the mutex abandons it
        });
        while (!holding) std::this_thread::sleep_for(milliseconds(1));
        ScriptedRequester requester;
        requester.m_play = Play::Freeze;
        int result = -1;
        std::thread flow([&] { result = SnapshotFlow::execute(m_args, &m_listener, &requester, &statusChannel()); });
        ASSERT_TRUE(sharedClient().waitForLine("Waiting for mutex"));
        std::this_thread::sleep_for(milliseconds(100));
        EXPECT_EQ(lineIndex(sharedClient().lines(), "Creating events"), -1) << "the flow went past the mutex";
        letGo = true;
        holder.join();
        ASSERT_TRUE(sharedClient().waitForLine("second snapshot completed", 10000));
        flow.join();
        EXPECT_EQ(result, AgentStatus::Ok);
    }
}

}  // namespace
