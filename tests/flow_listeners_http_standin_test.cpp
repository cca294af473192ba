// test-traits: threaded linux-only
// linux-only: the stand-in's WinHTTP. Wine's accepts a host with a blank at connect.
// The HTTP flow listener against a host text with a blank.
#include "FileLoggerSupport.h"
#include "HttpListenerSupport.h"
#include "HttpTestServer.h"
#include "SnapshotFlowInternallyInitiatedListener.h"
#include "TestSupport.h"

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
