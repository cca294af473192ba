// test-traits: threaded linux-only
// linux-only: the stand-in's WinHTTP. Wine's accepts a host with a blank at connect, and ends the wait for a
// response only at its own receive-response limit (unlimited unless set), not at the receive time-out the client sets.
// The HTTP flow listener against a host text with a blank and against servers that never answer the insert.
#include "FileLoggerSupport.h"
#include "HttpListenerSupport.h"
#include "HttpTestServer.h"
#include "SnapshotFlowInternallyInitiatedListener.h"
#include "TestSupport.h"

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

namespace {

class FlowListenerHttpStandinTest : public ::testing::Test {
protected:
    void SetUp() override {
        setTweak("t_httpClientTimeoutMsec", "");
        sharedClient().clear();
    }
    void TearDown() override { setTweak("t_httpClientTimeoutMsec", ""); }
};

}  // namespace

TEST_F(FlowListenerHttpStandinTest, HostWithABlankCannotBeConnected) {
    HttpTestServer server;
    int result = -1;
    {
        SnapshotFlowInternallyInitiatedListener listener(listenerArguments(L"127.0.0. 1", server.port(), L"0.0.0.0", 0));
        sharedClient().clear();
        finishWithin(30000, "prepare", [&] { result = listener.notifySnapshotPrepare(); });
    }
    EXPECT_EQ(result, 1);
    const std::vector<std::string> expected = {
        "Info,notifySnapshotPrepare,Connecting to local KESTRUM...",
        "Error,notifySnapshotPrepare,Couldn't connect to local",
        "Info,notifySnapshotPrepare,Peer URL is empty. Not Connecting to peer",
        "Error,notifySnapshotPrepare,No connection either to local or peer. doing nothing",
        "Info,~SnapshotFlowInternallyInitiatedListener,~SnapshotFlowHttpListener",
    };
    EXPECT_EQ(httpListenerLines(), expected);
    EXPECT_TRUE(targets(server).empty());
}

// A server that answered the ping but never answers the insert: the flow goes on after the client's limit, and the
// log says whether the checkpoint reached no server.
TEST_F(FlowListenerHttpStandinTest, SilentInsertEndsAtTheClientsLimit) {
    struct Case {
        const char* name;
        bool peerAnswers;
        bool failedLine;
    };
    const Case cases[] = {{"silent", false, true}, {"silent local, answering peer", true, false}};
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
            localServer.setBehaviour({HttpTestServer::Mode::Silent, 200, 0, ""});
            const auto start = std::chrono::steady_clock::now();
            listener.notifySnapshotQuiesceSuccess();
            const auto took = std::chrono::steady_clock::now() - start;
            EXPECT_GE(took, std::chrono::milliseconds(290));
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
}
