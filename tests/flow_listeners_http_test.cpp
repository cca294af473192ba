// test-traits: threaded
// The HTTP flow listener against real local servers, called as the snapshot flow calls it: which servers are
// pinged before the freeze, which get the checkpoint while frozen, what each step logs, and the port texts. Runs
// against the stand-in on Linux and against the system's WinHTTP under Wine.
#include "FileLoggerSupport.h"
#include "HttpClient.h"
#include "HttpListenerSupport.h"
#include "HttpTestServer.h"
#include "SnapshotFlowInternallyInitiatedListener.h"
#include "TestSupport.h"
#include "WideText.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace {

class FlowListenerHttpTest : public ::testing::Test {
protected:
    void SetUp() override {
        setTweak("t_httpClientTimeoutMsec", "");
        sharedClient().clear();
    }
    void TearDown() override { setTweak("t_httpClientTimeoutMsec", ""); }
};

TEST(ListenerPortTest, ReadsLikeTheRuntimeAndKeepsTheLow16Bits) {
    struct Case {
        std::wstring text;
        INTERNET_PORT port;
    };
    const Case cases[] = {
        {L"8080", 8080},       {L"abc", 0},          {L"", 0},
        {L"65616", 80},        {L" 8080x", 8080},    {L"\t\n 443", 443},
        {L"+81", 81},          {L"-1", 65535},       {L"4294967376", 65535},
        {L"2147483647", 65535}, {L"-2147483648", 0}, {L"-99999999999", 0},
        {L"0x50", 0},          {L"- 1", 0},          {L"00080", 80},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(SnapshotFlowInternallyInitiatedListener::portFromText(c.text), c.port)
            << "text: '" << toUtf8(c.text) << "'";
    }
}

// One row: how the local server behaves and what the peer's text is, then what the preparation must do.
TEST_F(FlowListenerHttpTest, PrepareConnectsAndPingsTheServersThatCount) {
    enum class Local { Answers, Answers500, ClosesSilently, Absent, RedirectsToNowhere };
    enum class Peer { Distinct, Empty, SameText, OtherCase };
    struct Case {
        const char* name;
        Local local;
        Peer peer;
        int result;
        size_t localPings;
        size_t peerPings;
        std::vector<std::string> lines;  // the preparation's own lines, in order
    };
    const std::string prepare = "notifySnapshotPrepare,";
    const std::string localOk = "Info," + prepare + "Done pinging local KESTRUM, m_localClientConnected = 1";
    const std::string localNo = "Info," + prepare + "Done pinging local KESTRUM, m_localClientConnected = 0";
    const std::string peerOk = "Info," + prepare + "Done pinging peer KESTRUM, m_peerClientConnected = 1";
    const std::string connectingLocal = "Info," + prepare + "Connecting to local KESTRUM...";
    const std::string pingingLocal = "Info," + prepare + "Pinging local KESTRUM...";
    const std::string connectingPeer = "Info," + prepare + "Connecting to peer KESTRUM...";
    const std::string pingingPeer = "Info," + prepare + "Pinging peer KESTRUM...";
    const std::string peerEmpty = "Info," + prepare + "Peer URL is empty. Not Connecting to peer";
    const std::string peerIsLocal = "Info," + prepare + "Peer URL equals local URL. Not Connecting to peer";
    const std::string nothing = "Error," + prepare + "No connection either to local or peer. doing nothing";
    const Case cases[] = {
        {"both answer", Local::Answers, Peer::Distinct, 0, 1, 1,
         {connectingLocal, pingingLocal, localOk, connectingPeer, pingingPeer, peerOk}},
        {"500 is an answer", Local::Answers500, Peer::Empty, 0, 1, 0,
         {connectingLocal, pingingLocal, localOk, peerEmpty}},
        {"closed without answer, peer answers", Local::ClosesSilently, Peer::Distinct, 0, 1, 1,
         {connectingLocal, pingingLocal, localNo, connectingPeer, pingingPeer, peerOk}},
        {"closed without answer, no peer", Local::ClosesSilently, Peer::Empty, 1, 1, 0,
         {connectingLocal, pingingLocal, localNo, peerEmpty, nothing}},
        // WinHTTP follows the redirect: what answers is the refused port, that is nobody.
        {"redirects to nowhere, no peer", Local::RedirectsToNowhere, Peer::Empty, 1, 1, 0,
         {connectingLocal, pingingLocal, localNo, peerEmpty, nothing}},
        {"absent, peer answers", Local::Absent, Peer::Distinct, 0, 0, 1,
         {connectingLocal, pingingLocal, localNo, connectingPeer, pingingPeer, peerOk}},
        {"absent, peer the same text", Local::Absent, Peer::SameText, 1, 0, 0,
         {connectingLocal, pingingLocal, localNo, peerIsLocal, nothing}},
        {"peer the same text", Local::Answers, Peer::SameText, 0, 1, 0,
         {connectingLocal, pingingLocal, localOk, peerIsLocal}},
        {"peer in another case", Local::Answers, Peer::OtherCase, 0, 1, 1,
         {connectingLocal, pingingLocal, localOk, connectingPeer, pingingPeer, peerOk}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sharedClient().clear();
        RefusingPort refusing;
        ASSERT_NE(refusing.port(), 0);
        HttpTestServer::Behaviour localBehaviour;
        if (c.local == Local::Answers500) localBehaviour.status = 500;
        if (c.local == Local::ClosesSilently) localBehaviour.mode = HttpTestServer::Mode::AcceptAndClose;
        if (c.local == Local::RedirectsToNowhere) {
            localBehaviour.redirects = {{kPingPath, "http://127.0.0.1:" + std::to_string(refusing.port()) + "/"}};
        }
        HttpTestServer localServer(localBehaviour);
        HttpTestServer peerServer;
        ASSERT_NE(localServer.port(), 0);
        ASSERT_NE(peerServer.port(), 0);
        const unsigned short localPort = c.local == Local::Absent ? refusing.port() : localServer.port();
        std::wstring localUrl = c.peer == Peer::OtherCase ? L"localhost" : L"127.0.0.1";
        std::wstring peerUrl = L"localhost";
        if (c.peer == Peer::Empty) peerUrl = L"0.0.0.0";
        if (c.peer == Peer::SameText) peerUrl = localUrl;
        if (c.peer == Peer::OtherCase) peerUrl = L"LocalHost";

        int result = -1;
        {
            SnapshotFlowInternallyInitiatedListener listener(listenerArguments(localUrl, localPort, peerUrl, peerServer.port()));
            sharedClient().clear();
            finishWithin(30000, "prepare", [&] { result = listener.notifySnapshotPrepare(); });
            EXPECT_EQ(result, c.result);
            EXPECT_EQ(httpListenerLines(), c.lines);
            // Both clients exist whatever was skipped: local first, each with its own host and port.
            const auto urls = sharedClient().linesWith(",NON,HttpClient,HttpClient,m_serverUrl = ");
            const auto ports = sharedClient().linesWith(",NON,HttpClient,HttpClient,m_serverPort = ");
            ASSERT_EQ(urls.size(), 2u);
            ASSERT_EQ(ports.size(), 2u);
            EXPECT_NE(urls[0].find("m_serverUrl = " + toUtf8(localUrl)), std::string::npos) << urls[0];
            EXPECT_NE(urls[1].find("m_serverUrl = " + toUtf8(peerUrl)), std::string::npos) << urls[1];
            EXPECT_NE(ports[0].find("m_serverPort = " + std::to_string(localPort)), std::string::npos) << ports[0];
            EXPECT_NE(ports[1].find("m_serverPort = " + std::to_string(peerServer.port())), std::string::npos)
                << ports[1];
        }
        if (c.localPings) localServer.waitForRequests(c.localPings, 5000);
        if (c.peerPings) peerServer.waitForRequests(c.peerPings, 5000);
        EXPECT_EQ(targets(localServer), std::vector<std::string>(c.localPings, kPingPath));
        EXPECT_EQ(targets(peerServer), std::vector<std::string>(c.peerPings, kPingPath));
        EXPECT_EQ(httpListenerLines().back(), "Info,~SnapshotFlowInternallyInitiatedListener,~SnapshotFlowHttpListener");
    }
}

// The whole successful road, as the flow calls it: one insert per answering server, local first, the connections
// of those servers closed at the thaw.
TEST_F(FlowListenerHttpTest, EachAnsweringServerGetsOneInsertAndItsConnectionClosesAtTheThaw) {
    struct Case {
        const char* name;
        bool localAnswers;
        bool peerAnswers;
        std::wstring tag;
        std::string encodedTag;
    };
    const Case cases[] = {
        {"both", true, true, L"abc", "YQBiAGMA"},
        {"local only", true, false, L"\U0001F600", "PdgA3g=="},
        {"peer only", false, true, L"abc", "YQBiAGMA"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        HttpTestServer localServer;
        HttpTestServer peerServer;
        if (!c.localAnswers) localServer.setBehaviour({HttpTestServer::Mode::AcceptAndClose, 200, 0, ""});
        if (!c.peerAnswers) peerServer.setBehaviour({HttpTestServer::Mode::AcceptAndClose, 200, 0, ""});
        std::vector<std::wstring> macs;
        SnapshotFlowInternallyInitiatedListener::collectMacAddresses(macs);
        const std::string insert = insertPath(macs, c.encodedTag);
        {
            SnapshotFlowInternallyInitiatedListener listener(
                listenerArguments(L"127.0.0.1", localServer.port(), L"localhost", peerServer.port(), c.tag));
            sharedClient().clear();
            finishWithin(30000, "flow", [&] {
                ASSERT_EQ(listener.notifySnapshotPrepare(), 0);
                if (c.localAnswers) localServer.setBehaviour({});
                if (c.peerAnswers) peerServer.setBehaviour({});
                // The stand-in of the freeze: the inserts must have reached the servers when the call returns.
                const auto frozen = std::chrono::steady_clock::now();
                listener.notifySnapshotQuiesceSuccess();
                const auto thawed = std::chrono::steady_clock::now();
                for (HttpTestServer* server : {&localServer, &peerServer}) {
                    const auto requests = server->requests();
                    if (requests.size() == 2) {
                        EXPECT_GE(requests[1].received, frozen);
                        EXPECT_LE(requests[1].received, thawed);
                    }
                }
                // The insert's connection stays open until the thaw closes it.
                for (HttpTestServer* server : {&localServer, &peerServer}) {
                    const bool answers = server == &localServer ? c.localAnswers : c.peerAnswers;
                    if (!answers) continue;
                    size_t open = 0;
                    for (const auto& connection : server->connections()) open += connection.closedByClient ? 0 : 1;
                    EXPECT_GE(open, 1u);
                }
                listener.notifySnapshotThawSuccess();
                for (HttpTestServer* server : {&localServer, &peerServer}) {
                    const bool answers = server == &localServer ? c.localAnswers : c.peerAnswers;
                    if (answers) {
                        EXPECT_TRUE(server->waitForClientCloses(server->connections().size(), 5000));
                    }
                }
                listener.notifySnapshotCompleteSuccess();
            });
        }
        const std::vector<std::string> pingAndInsert = {kPingPath, insert};
        const std::vector<std::string> pingOnly = {kPingPath};
        EXPECT_EQ(targets(localServer), c.localAnswers ? pingAndInsert : pingOnly);
        EXPECT_EQ(targets(peerServer), c.peerAnswers ? pingAndInsert : pingOnly);
        std::vector<std::string> expected = {"Info,notifySnapshotQuiesceSuccess,notifySnapshotQuiesceSuccess"};
        if (c.localAnswers) {
            expected.push_back("Info,notifySnapshotQuiesceSuccess,Taking CP on local KESTRUM...");
            expected.push_back("Info,notifySnapshotQuiesceSuccess,Done taking CP on local KESTRUM.");
        }
        if (c.peerAnswers) {
            expected.push_back("Info,notifySnapshotQuiesceSuccess,Taking CP on peer KESTRUM...");
            expected.push_back("Info,notifySnapshotQuiesceSuccess,Done taking CP on peer KESTRUM.");
        }
        expected.push_back("Info,notifySnapshotQuiesceSuccess,Done taking CP.");
        expected.push_back("Info,notifySnapshotThawSuccess,notifySnapshotThawSuccess");
        if (c.localAnswers) expected.push_back("Info,notifySnapshotThawSuccess,Closing the connection to local KESTRUM...");
        if (c.peerAnswers) expected.push_back("Info,notifySnapshotThawSuccess,Closing the connection to peer KESTRUM...");
        expected.push_back("Info,notifySnapshotCompleteSuccess,notifySnapshotCompleteSuccess");
        expected.push_back("Info,~SnapshotFlowInternallyInitiatedListener,~SnapshotFlowHttpListener");
        std::vector<std::string> lines;
        for (const auto& line : httpListenerLines()) {
            if (line.find(",notifySnapshotPrepare,") == std::string::npos) lines.push_back(line);
        }
        EXPECT_EQ(lines, expected);
    }
}

// A server that answered the ping and then closes the insert's connection without a word, or never answers it: the
// flow goes on (a silent one after the client's limit), and the log says whether the checkpoint reached no server.
TEST_F(FlowListenerHttpTest, AnInsertClosedOrUnansweredIsAnErrorUnlessAnotherServerAnswered) {
    struct Case {
        const char* name;
        HttpTestServer::Mode insertMode;
        bool peerAnswers;
        bool failedLine;
    };
    const Case cases[] = {
        {"closed", HttpTestServer::Mode::AcceptAndClose, false, true},
        {"closed local, answering peer", HttpTestServer::Mode::AcceptAndClose, true, false},
        {"silent", HttpTestServer::Mode::Silent, false, true},
        {"silent local, answering peer", HttpTestServer::Mode::Silent, true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        setTweak("t_httpClientTimeoutMsec", "300");
        sharedClient().clear();
        HttpTestServer localServer;
        HttpTestServer peerServer;
        const std::wstring peerUrl = c.peerAnswers ? L"localhost" : L"0.0.0.0";
        SnapshotFlowInternallyInitiatedListener listener(
            listenerArguments(L"127.0.0.1", localServer.port(), peerUrl, peerServer.port()));
        finishWithin(20000, "flow", [&] {
            ASSERT_EQ(listener.notifySnapshotPrepare(), 0);
            localServer.setBehaviour({c.insertMode, 200, 0, ""});
            const auto start = std::chrono::steady_clock::now();
            listener.notifySnapshotQuiesceSuccess();
            const auto took = std::chrono::steady_clock::now() - start;
            if (c.insertMode == HttpTestServer::Mode::Silent) {
                EXPECT_GE(took, std::chrono::milliseconds(290));
            }
            EXPECT_LT(took, std::chrono::seconds(10));
            listener.notifySnapshotThawSuccess();
        });
        const auto lines = httpListenerLines();
        const std::string failed = "Error,notifySnapshotQuiesceSuccess,Taking CP failed on every connected KESTRUM";
        EXPECT_EQ(std::count(lines.begin(), lines.end(), failed), c.failedLine ? 1 : 0);
        const auto done = std::find(lines.begin(), lines.end(), "Info,notifySnapshotQuiesceSuccess,Done taking CP.");
        ASSERT_NE(done, lines.end());
        if (c.failedLine) {
            EXPECT_EQ(*(done - 1), failed);
        }
        EXPECT_EQ(localServer.requests().size(), 2u);
    }
    setTweak("t_httpClientTimeoutMsec", "");
}

TEST_F(FlowListenerHttpTest, FailedFlowLogsItsErrorNumberAndSendsNothingMore) {
    HttpTestServer server;
    {
        SnapshotFlowInternallyInitiatedListener listener(listenerArguments(L"127.0.0.1", server.port(), L"0.0.0.0", 0));
        ASSERT_EQ(listener.notifySnapshotPrepare(), 0);
        sharedClient().clear();
        listener.notifySnapshotCompleteFailure(258);
        EXPECT_EQ(httpListenerLines(), std::vector<std::string>{
                                       "Info,notifySnapshotCompleteFailure,notifySnapshotCompleteFailure errNum=258 "});
    }
    server.waitForRequests(2, 200);
    EXPECT_EQ(targets(server), std::vector<std::string>{kPingPath});
}

// Every value of the command line is logged on one line, its CR and LF shown as "\r" and "\n"; the client keeps
// the host as it was given.
TEST_F(FlowListenerHttpTest, LineEndsInTheArgumentsAreLoggedVisibly) {
    Arguments args = listenerArguments(L"a\nb", 81, L"c\rd", 82, L"cp\r\nx");
    args.m_localPort = L"81\n";
    args.m_peerPort = L"\r82";
    SnapshotFlowInternallyInitiatedListener listener(args);
    std::vector<std::string> lines = httpListenerLines();
    lines.resize(std::min<size_t>(lines.size(), 6));
    const std::vector<std::string> expected = {
        "Info,SnapshotFlowInternallyInitiatedListener,SnapshotFlowHttpListener",
        "Info,SnapshotFlowInternallyInitiatedListener,localURL: a\\nb",
        "Info,SnapshotFlowInternallyInitiatedListener,localPort: 81\\n",
        "Info,SnapshotFlowInternallyInitiatedListener,peerURL: c\\rd",
        "Info,SnapshotFlowInternallyInitiatedListener,peerPort: \\r82",
        "Info,SnapshotFlowInternallyInitiatedListener,Tag: cp\\r\\nx",
    };
    EXPECT_EQ(lines, expected);

    sharedClient().clear();
    const HttpClient client(L"h\r\ni", 80);
    const auto urlLines = sharedClient().linesWith("m_serverUrl = ");
    ASSERT_EQ(urlLines.size(), 1u);
    EXPECT_NE(urlLines[0].find("m_serverUrl = h\\r\\ni\n"), std::string::npos) << urlLines[0];
    EXPECT_EQ(urlLines[0].find('\r'), std::string::npos) << urlLines[0];
}

TEST_F(FlowListenerHttpTest, ConstructionLogsTheArgumentsAndTheMacs) {
    Arguments args = listenerArguments(L"host-a", 81, L"host-b", 82, L"cp\u00e9");
    args.m_localPort = L"81x";
    std::vector<std::wstring> macs;
    SnapshotFlowInternallyInitiatedListener::collectMacAddresses(macs);
    SnapshotFlowInternallyInitiatedListener listener(args);
    std::vector<std::string> expected = {
        "Info,SnapshotFlowInternallyInitiatedListener,SnapshotFlowHttpListener",
        "Info,SnapshotFlowInternallyInitiatedListener,localURL: host-a",
        "Info,SnapshotFlowInternallyInitiatedListener,localPort: 81x",
        "Info,SnapshotFlowInternallyInitiatedListener,peerURL: host-b",
        "Info,SnapshotFlowInternallyInitiatedListener,peerPort: 82",
        "Info,SnapshotFlowInternallyInitiatedListener,Tag: cp\xc3\xa9",
    };
    for (const auto& mac : macs) {
        // Twelve lowercase hexadecimal digits.
        EXPECT_EQ(mac.size(), 12u);
        EXPECT_EQ(mac.find_first_not_of(L"0123456789abcdef"), std::wstring::npos) << toUtf8(mac);
        expected.push_back("Info,SnapshotFlowInternallyInitiatedListener,MAC: " + toUtf8(mac));
    }
    EXPECT_EQ(httpListenerLines(), expected);
}

}  // namespace
