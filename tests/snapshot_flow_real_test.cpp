// test-traits: linux-only threaded
// linux-only: the stand-in VSS running the provider's commit as its own process, and fixture adapters.
// The snapshot flow with the real VSS requester and the real listeners: the provider freezes in a process of its
// own and notes its freeze and thaw on the machine's monotonic clock, against which the listener's calls, the
// servers' receipts and the runner's steps are compared.
#include "AgentInitializer.h"
#include "AgentSandbox.h"
#include "AgentStatus.h"
#include "BootSettingsSupport.h"
#include "ChildProcess.h"
#include "ChildSupport.h"
#include "FileLoggerSupport.h"
#include "HttpTestServer.h"
#include "SnapshotFlow.h"
#include "SnapshotFlowExternallyInitiatedListener.h"
#include "SnapshotFlowInternallyInitiatedListener.h"
#include "StatusRecorder.h"
#include "TestSupport.h"
#include "Tweaks.h"
#include "VssRequester.h"

#include <platform/paths.h>
#include <platform/testing.h>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

const wchar_t* const kVolume = L"\\\\?\\Volume{1A2B3C4D-0000-4000-8000-00000000000A}\\";
const i32 kVeto = static_cast<i32>(0x80042306u);
const std::string kPing = "/KestrumService/AgentServer/ping";
const std::string kInsert = "/KestrumService/AgentServer/insertlicensed/";

long long steadyNs(std::chrono::steady_clock::time_point at) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(at.time_since_epoch()).count();
}
long long nowNs() { return steadyNs(std::chrono::steady_clock::now()); }

// Wraps a listener: records each call and the monotonic times of the quiesce call's entry and exit.
class TimedListener : public ISnapshotFlowListener {
public:
    explicit TimedListener(ISnapshotFlowListener* inner = nullptr) : m_inner(inner) {}
    int notifySnapshotPrepare() override {
        m_calls.push_back("prepare");
        const int result = m_inner ? m_inner->notifySnapshotPrepare() : 0;
        if (m_afterPrepare) m_afterPrepare();
        return result;
    }
    void notifySnapshotQuiesceSuccess() override {
        m_calls.push_back("quiesce");
        m_quiesceEntered = nowNs();
        if (m_inner) m_inner->notifySnapshotQuiesceSuccess();
        if (m_whileFrozen) m_whileFrozen();
        m_quiesceLeft = nowNs();
    }
    void notifySnapshotThawSuccess() override {
        m_calls.push_back("thaw");
        if (m_inner) m_inner->notifySnapshotThawSuccess();
    }
    void notifySnapshotCompleteSuccess() override {
        m_calls.push_back("complete");
        if (m_inner) m_inner->notifySnapshotCompleteSuccess();
    }
    void notifySnapshotCompleteFailure(int errNum) override {
        m_calls.push_back("failure(" + std::to_string(errNum) + ")");
        if (m_inner) m_inner->notifySnapshotCompleteFailure(errNum);
    }

    ISnapshotFlowListener* m_inner;
    std::function<void()> m_afterPrepare;
    std::function<void()> m_whileFrozen;
    std::vector<std::string> m_calls;
    long long m_quiesceEntered = 0, m_quiesceLeft = 0;
};

struct ProviderEvent {
    std::string what;  // "freeze", "thaw 0", "commit", ...
    long long ns;
};

std::vector<ProviderEvent> readProviderJournal(const std::string& path) {
    std::vector<ProviderEvent> events;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        const auto at = line.rfind(' ');
        events.push_back({line.substr(0, at), std::stoll(line.substr(at + 1))});
    }
    return events;
}

std::vector<std::string> whats(const std::vector<ProviderEvent>& events) {
    std::vector<std::string> out;
    for (const auto& e : events) out.push_back(e.what);
    return out;
}

long long timeOf(const std::vector<ProviderEvent>& events, const std::string& prefix) {
    for (const auto& e : events) {
        if (e.what.rfind(prefix, 0) == 0) return e.ns;
    }
    return -1;
}

StatusReaderWriter& statusChannel() {
    static StatusReaderWriter* channel = new StatusReaderWriter();  // never freed, as the agent's own
    return *channel;
}

// Fixture adapters in the layout of /sys/class/net.
class FakeAdapters {
public:
    explicit FakeAdapters(const std::vector<std::string>& addresses) : m_root(fs::absolute(uniqueName("net"))) {
        fs::create_directories(m_root);
        int index = 2;
        for (const auto& address : addresses) {
            const fs::path folder = m_root / ("eth" + std::to_string(index));
            fs::create_directories(folder);
            std::ofstream(folder / "ifindex") << index << "\n";
            std::ofstream(folder / "type") << 1 << "\n";
            std::ofstream(folder / "address") << address << "\n";
            ++index;
        }
        platform_test::setNetClassRoot(m_root.c_str());
    }
    ~FakeAdapters() {
        platform_test::setNetClassRoot(nullptr);
        std::error_code ignored;
        fs::remove_all(m_root, ignored);
    }

private:
    fs::path m_root;
};

class SnapshotFlowRealTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        useOwnStandinRoot();
        AgentInitializer::setTweakDefaults();
        static FakeBcdedit* bcdedit = new FakeBcdedit();
        (void)bcdedit;
    }

    void SetUp() override {
        resetBootSettings();
        platform_test::setWindowsVersion(10, 0, 19045);
        setTweak("t_requesterQuiescedEventWaitTimeoutMsec", "8000");
        setTweak("t_WaitAsyncTimeoutMsec", "15000");
        setTweak("t_httpClientTimeoutMsec", "");
        m_saved = statusChannel().m_handler;
        statusChannel().m_handler = &m_handler;
        SnapshotFlow::doSnapshotResult = 0;
        sharedClient().clear();
    }
    void TearDown() override {
        statusChannel().m_handler = m_saved;
        platform_test::clearVssScenario();
        setTweak("t_httpClientTimeoutMsec", "");
    }

    // The machine's VSS: one volume, one writer, and the provider's commit as a process with `options`.
    std::string useProvider(const std::vector<std::string>& options) {
        const std::string journal = platform::standinRoot() + "/" + uniqueName("provider") + ".txt";
        platform_test::VssScenario scenario;
        scenario.volumes = {kVolume};
        scenario.registeredProvider = ProviderId;
        scenario.writers = {{u"System Writer", VSS_WS_STABLE, S_OK, GUID{}, GUID{}}};
        scenario.commitProgram = ChildProcess::toolPath("vss_provider_commit");
        scenario.commitArgs = {"--journal", journal};
        scenario.commitArgs.insert(scenario.commitArgs.end(), options.begin(), options.end());
        platform_test::setVssScenario(scenario);
        return journal;
    }

    int run(ISnapshotFlowListener& listener) {
        int result = 0;
        VssRequester requester;
        finishWithin(40000, "snapshot flow", [&] {
            result = SnapshotFlow::execute(m_args, &listener, &requester, &statusChannel());
        });
        return result;
    }

    SnapshotFlowArgs m_args;
    RecordingHandler m_handler;
    IInterProcessCommunicationHandler* m_saved = nullptr;
};

}  // namespace

// The real requester, the provider in its own process: the listener's frozen moment lies inside the provider's
// freeze, and the requester's result is the second status value.
TEST_F(SnapshotFlowRealTest, ProviderFreezesAroundTheListenersMoment) {
    struct Case {
        const char* name;
        std::vector<std::string> provider;
        int quiescedTimeoutMs;
        bool slowListener;  // the quiesce call returns only after the provider gave up waiting for the thaw
        int result;
        std::vector<i32> writes;
        std::vector<std::string> calls;
        std::vector<std::string> journal;
    };
    const std::vector<std::string> success = {"prepare", "quiesce", "thaw", "complete"};
    const Case cases[] = {
        {"freeze and thaw", {"--hold-ms", "8000"}, 8000, false, 0, {0, 0}, success, {"freeze", "thaw 0", "commit"}},
        {"listener slower than the provider's hold", {"--hold-ms", "400"}, 8000, true, 0, {0, kVeto}, success,
         {"freeze", "thaw 258", "commit"}},
        // The flow's time-out sets the thaw event, which the provider then takes at once.
        {"provider never freezes", {"--never-freeze", "--hold-ms", "8000"}, 500, false, AgentStatus::QuiescedWaitTimeout,
         {AgentStatus::QuiescedWaitTimeout, 0}, {"prepare", "failure(258)"}, {"freeze", "thaw 0", "commit"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sharedClient().clear();
        RecordingHandler handler;
        statusChannel().m_handler = &handler;
        setTweak("t_requesterQuiescedEventWaitTimeoutMsec", std::to_string(c.quiescedTimeoutMs));
        const std::string journal = useProvider(c.provider);
        TimedListener listener;
        if (c.slowListener) {
            listener.m_whileFrozen = [&] {
                waitUntil([&] { return timeOf(readProviderJournal(journal), "thaw") >= 0; }, 10000);
            };
        }
        const auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(run(listener), c.result);
        EXPECT_EQ(handler.writes(), c.writes);
        EXPECT_EQ(listener.m_calls, c.calls);
        const auto events = readProviderJournal(journal);
        EXPECT_EQ(whats(events), c.journal);
        if (c.result == 0 && events.size() >= 2) {
            const long long freeze = timeOf(events, "freeze"), thaw = timeOf(events, "thaw");
            EXPECT_LT(freeze, listener.m_quiesceEntered);
            if (c.slowListener) {
                EXPECT_LT(thaw, listener.m_quiesceLeft);
            } else {
                EXPECT_LT(listener.m_quiesceLeft, thaw);
            }
        }
        if (c.result == AgentStatus::QuiescedWaitTimeout) {
            EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(c.quiescedTimeoutMs));
        }
        EXPECT_EQ(platform_test::setsInProgress(), 0);
    }
}

// Through the flow, the HTTP listener inserts the checkpoint on each server that answered its ping while the
// provider holds the volumes frozen, and closes those connections at the thaw.
TEST_F(SnapshotFlowRealTest, InsertsReachTheServersWhileTheProviderIsFrozen) {
    struct Case {
        const char* name;
        std::vector<std::string> adapters;
        std::wstring tag;
        std::string path;  // the insert's path after the prefix
        bool peer;
    };
    const Case cases[] = {
        {"two adapters, local and peer", {"02:AB:CD:00:00:01", "02:ab:cd:00:00:02"}, L"abc",
         "02abcd000001%2002abcd000002/YQBiAGMA", true},
        {"a name outside the basic plane, no adapters", {}, L"\U0001F600", "/PdgA3g==", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sharedClient().clear();
        RecordingHandler handler;
        statusChannel().m_handler = &handler;
        FakeAdapters adapters(c.adapters);
        HttpTestServer local;
        HttpTestServer peer;
        const std::string journal = useProvider({"--hold-ms", "8000"});
        Arguments args;
        args.m_localURL = L"127.0.0.1";
        args.m_localPort = std::to_wstring(local.port());
        args.m_peerURL = c.peer ? L"localhost" : L"0.0.0.0";
        args.m_peerPort = std::to_wstring(peer.port());
        args.m_tag = c.tag;
        std::vector<HttpTestServer::Connection> atThaw[2];
        {
            SnapshotFlowInternallyInitiatedListener http(args);
            TimedListener listener(&http);
            // Before the thaw: the insert's connection is still open.
            listener.m_whileFrozen = [&] {
                atThaw[0] = local.connections();
                atThaw[1] = peer.connections();
            };
            EXPECT_EQ(run(listener), 0);
            EXPECT_EQ(listener.m_calls, (std::vector<std::string>{"prepare", "quiesce", "thaw", "complete"}));
        }
        EXPECT_EQ(handler.writes(), (std::vector<i32>{0, 0}));
        const auto events = readProviderJournal(journal);
        ASSERT_EQ(whats(events), (std::vector<std::string>{"freeze", "thaw 0", "commit"}));
        const long long freeze = timeOf(events, "freeze"), thaw = timeOf(events, "thaw");

        std::vector<HttpTestServer*> answering = {&local};
        if (c.peer) answering.push_back(&peer);
        long long previousInsert = 0;
        for (HttpTestServer* server : answering) {
            const auto requests = server->requests();
            ASSERT_EQ(requests.size(), 2u);
            EXPECT_EQ(requests[0].target(), kPing);
            EXPECT_EQ(requests[1].target(), kInsert + c.path);
            const long long received = steadyNs(requests[1].received);
            EXPECT_LT(freeze, received);
            EXPECT_LT(received, thaw);
            EXPECT_LT(previousInsert, received) << "local first";
            previousInsert = received;
            const auto& before = atThaw[server == &local ? 0 : 1];
            ASSERT_FALSE(before.empty());
            EXPECT_FALSE(before.back().closedByClient) << "the insert's connection is open until the thaw";
            EXPECT_TRUE(server->waitForClientCloses(server->connections().size(), 5000));
        }
        if (!c.peer) {
            EXPECT_TRUE(peer.requests().empty());
        }
    }
}

// A server that answered the ping and then stays silent holds the freeze only for the HTTP client's limit.
TEST_F(SnapshotFlowRealTest, SilentServerEndsTheFreezeAtTheClientsLimit) {
    setTweak("t_httpClientTimeoutMsec", "300");
    HttpTestServer local;
    const std::string journal = useProvider({"--hold-ms", "8000"});
    Arguments args;
    args.m_localURL = L"127.0.0.1";
    args.m_localPort = std::to_wstring(local.port());
    args.m_peerURL = L"0.0.0.0";
    args.m_peerPort = L"0";
    args.m_tag = L"abc";
    {
        SnapshotFlowInternallyInitiatedListener http(args);
        TimedListener listener(&http);
        // Answers the ping, then nothing more.
        listener.m_afterPrepare = [&] { local.setBehaviour({HttpTestServer::Mode::Silent, 200, 0, ""}); };
        EXPECT_EQ(run(listener), 0);
        EXPECT_EQ(listener.m_calls, (std::vector<std::string>{"prepare", "quiesce", "thaw", "complete"}));
    }
    const auto events = readProviderJournal(journal);
    ASSERT_EQ(whats(events), (std::vector<std::string>{"freeze", "thaw 0", "commit"}));
    const long long frozenMs = (timeOf(events, "thaw") - timeOf(events, "freeze")) / 1000000;
    EXPECT_GE(frozenMs, 300);
    EXPECT_LT(frozenMs, 5000);
    EXPECT_EQ(local.requests().size(), 2u);
    EXPECT_EQ(sharedClient().linesWith("Taking CP failed on every connected KESTRUM").size(), 1u);
    EXPECT_EQ(m_handler.writes(), (std::vector<i32>{0, 0}));
}

// Through the flow, the runner (its own process) gets the frozen moment while the provider holds the freeze, and
// the completion after the flow.
TEST_F(SnapshotFlowRealTest, RunnerWorksInsideTheProvidersFreeze) {
    struct Case {
        const char* name;
        std::string mode;
        int delayMs;
        std::vector<std::string> steps;
        const char* waitLine;
    };
    const Case cases[] = {
        {"runner answers", "answer", 200, {"opened", "freeze", "thaw-start", "thaw-complete", "end"},
         "received event from runner to continue to thaw logic"},
        {"no runner's answer", "never", 10000, {"opened", "freeze", "thaw-complete", "end"},
         "::WaitForSingleObject(quiescedEvent, 300) returned WAIT_TIMEOUT"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sharedClient().clear();
        RecordingHandler handler;
        statusChannel().m_handler = &handler;
        setTweak("t_requesterEventWaitForThawStartTimeoutMsec", "300");
        const std::string runnerJournal = uniqueName("runner") + ".txt";
        ChildProcess runner;
        ASSERT_TRUE(runner.start(ChildProcess::toolPath("flow_runner"),
                                 {c.mode, std::to_string(c.delayMs), "0", runnerJournal}));
        ASSERT_TRUE(waitUntil([&] { return readFile(runnerJournal).find(" opened") != std::string::npos; }, 10000));
        const std::string journal = useProvider({"--hold-ms", "8000"});
        {
            SnapshotFlowExternallyInitiatedListener external;
            TimedListener listener(&external);
            EXPECT_EQ(run(listener), 0);
        }
        EXPECT_EQ(runner.wait(15000), 0);
        std::vector<std::string> steps;
        for (const auto& line : textLines(readFile(runnerJournal))) {
            if (!line.empty()) steps.push_back(line.substr(line.find(' ') + 1));
        }
        EXPECT_EQ(steps, c.steps);
        EXPECT_EQ(sharedClient().linesWith(c.waitLine).size(), 1u);
        EXPECT_EQ(handler.writes(), (std::vector<i32>{0, 0}));
        const auto events = readProviderJournal(journal);
        EXPECT_EQ(whats(events), (std::vector<std::string>{"freeze", "thaw 0", "commit"}));
        std::remove(runnerJournal.c_str());
    }
    setTweak("t_requesterEventWaitForThawStartTimeoutMsec", "9500");
}
