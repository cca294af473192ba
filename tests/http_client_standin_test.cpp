// test-traits: linux-only threaded
// Linux only: these pin the WinHTTP stand-in's own error numbers and read its journal of closed handles (a stand-in
// control).
#include "FileLoggerSupport.h"
#include "HttpClient.h"
#include "HttpTestServer.h"
#include "TestSupport.h"

#include <platform/testing.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

using namespace std::chrono;

namespace {

const std::wstring kLoopback = L"127.0.0.1";

class StandinHttpTest : public ::testing::Test {
protected:
    void SetUp() override {
        sharedClient().clear();
        setTweak("t_httpClientTimeoutMsec", "");
        platform_test::clearWinHttpCloses();
    }
    void TearDown() override { setTweak("t_httpClientTimeoutMsec", ""); }

    static size_t loggedCount(const std::string& text) { return sharedClient().linesWith(text).size(); }
    static std::vector<std::string> closedKinds() {
        std::vector<std::string> kinds;
        for (const auto& c : platform_test::winHttpCloses()) kinds.push_back(c.closed ? c.kind : "failed " + c.kind);
        return kinds;
    }
};

long long msSince(steady_clock::time_point start) {
    return duration_cast<milliseconds>(steady_clock::now() - start).count();
}

TEST_F(StandinHttpTest, HandlesCloseOnceInTheOrderRequestConnectionSession) {
    HttpTestServer server;
    struct Case {
        const char* what;
        const char* timeoutTweak;
        int gets;
        int closeHandlesCalls;
        std::vector<std::string> closes;
    };
    const std::vector<std::string> all = {"request", "connect", "session"};
    const Case cases[] = {
        {"destructor only", "", 1, 0, all},
        {"closeHandles then destructor", "", 1, 1, all},
        {"closeHandles twice", "", 1, 2, all},
        {"two gets", "", 2, 1, {"request", "request", "connect", "session"}},
        {"connected, no request", "", 0, 0, {"connect", "session"}},
        {"connect failed after the session opened", "-2", 0, 1, {"session"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        setTweak("t_httpClientTimeoutMsec", c.timeoutTweak);
        platform_test::clearWinHttpCloses();
        const unsigned openBefore = platform_test::winHttpOpenHandles();
        {
            HttpClient client(kLoopback, server.port());
            client.connect();
            for (int i = 0; i < c.gets; ++i) EXPECT_TRUE(client.get(PingPath));
            for (int i = 0; i < c.closeHandlesCalls; ++i) client.closeHandles();
        }
        EXPECT_EQ(closedKinds(), c.closes);
        EXPECT_EQ(platform_test::winHttpOpenHandles(), openBefore);
    }
}

TEST_F(StandinHttpTest, ASecondGetClosesTheFirstConnection) {
    HttpTestServer server;
    HttpClient client(kLoopback, server.port());
    ASSERT_TRUE(client.connect());
    ASSERT_TRUE(client.get(PingPath));
    ASSERT_TRUE(server.waitForRequests(1, 5000));
    EXPECT_FALSE(server.waitForClientCloses(1, 100));  // the request handle stays open after get
    ASSERT_TRUE(client.insertVssCheckpoint({L"0a1b2c3d4e5f"}, L"abc"));
    EXPECT_TRUE(server.waitForClientCloses(1, 5000));
    const auto connections = server.connections();
    ASSERT_EQ(connections.size(), 2u);  // one TCP connection per request
    EXPECT_TRUE(connections[0].closedByClient);
    EXPECT_FALSE(connections[1].closedByClient);
    client.closeHandles();
    EXPECT_TRUE(server.waitForClientCloses(2, 5000));
}

TEST_F(StandinHttpTest, ASilentServerFailsTheRequestWithinTheLimit) {
    setTweak("t_httpClientTimeoutMsec", "300");
    struct Case {
        const char* what;
        HttpTestServer::Behaviour behaviour;
    };
    const Case cases[] = {
        {"no answer", {HttpTestServer::Mode::Silent, 200, 0, ""}},
        {"half a header block", {HttpTestServer::Mode::HalfHeaders, 200, 0, ""}},
        {"answer after the limit", {HttpTestServer::Mode::Answer, 200, 3000, ""}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        sharedClient().clear();
        // A client that ignored the limit would wait until the server ends, not for ever.
        HttpTestServer server(c.behaviour, 5000);
        HttpClient client(kLoopback, server.port());
        ASSERT_TRUE(client.connect());
        const auto start = steady_clock::now();
        EXPECT_FALSE(client.get(PingPath));
        const long long took = msSince(start);
        EXPECT_GE(took, 250);
        EXPECT_LT(took, 2500);
        EXPECT_EQ(loggedCount("Error 12002 in WinHttpReceiveResponse."), 1u);
        EXPECT_EQ(server.requests().size(), 1u);
    }
}

TEST_F(StandinHttpTest, TheDefaultLimitIsTenSeconds) {
    HttpTestServer server({HttpTestServer::Mode::Silent, 200, 0, ""}, 20000);
    HttpClient client(kLoopback, server.port());
    ASSERT_TRUE(client.connect());
    const auto start = steady_clock::now();
    EXPECT_FALSE(client.get(PingPath));
    const long long took = msSince(start);
    EXPECT_GE(took, 9900);
    EXPECT_LT(took, 15000);
    EXPECT_EQ(loggedCount("Error 12002 in WinHttpReceiveResponse."), 1u);
}

TEST_F(StandinHttpTest, MinusOneLiftsTheLimit) {
    setTweak("t_httpClientTimeoutMsec", "-1");
    auto server = std::make_unique<HttpTestServer>(HttpTestServer::Behaviour{HttpTestServer::Mode::Silent, 200, 0, ""});
    HttpClient client(kLoopback, server->port());
    ASSERT_TRUE(client.connect());
    auto result = std::async(std::launch::async, [&] { return client.get(PingPath); });
    // Well past any limit a test would set, the request still waits.
    EXPECT_EQ(result.wait_for(milliseconds(1500)), std::future_status::timeout);
    server->stop();  // closing the connection ends the wait
    ASSERT_EQ(result.wait_for(milliseconds(5000)), std::future_status::ready);
    EXPECT_FALSE(result.get());
    EXPECT_EQ(loggedCount("Error 12152 in WinHttpReceiveResponse."), 1u);
}

// The receive-response limit bounds the whole wait for the headers on its own, set on the session (its requests
// start with it) or on the request; the receive time-out is lifted in every case.
TEST_F(StandinHttpTest, TheReceiveResponseLimitEndsASilentServer) {
    struct Case {
        const char* what;
        DWORD onSession, onRequest;  // 0: not set
        bool unlimited;              // still waiting after 1.5 s
    };
    const Case cases[] = {
        {"on the session", 300, 0, false},
        {"on the request", 0, 300, false},
        {"the request's wins", 60000, 300, false},
        {"-1 lifts it", static_cast<DWORD>(-1), 0, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        // A limit left unapplied would hold the wait until the server ends, not for ever.
        auto server =
            std::make_unique<HttpTestServer>(HttpTestServer::Behaviour{HttpTestServer::Mode::Silent, 200, 0, ""}, 4000);
        HINTERNET session = WinHttpOpen(L"t", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, NULL, NULL, 0);
        ASSERT_TRUE(WinHttpSetTimeouts(session, -1, -1, -1, -1));
        if (c.onSession) {
            ASSERT_TRUE(WinHttpSetOption(session, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT,
                                         const_cast<DWORD*>(&c.onSession), sizeof(DWORD)));
        }
        HINTERNET connect = WinHttpConnect(session, kLoopback.c_str(), server->port(), 0);
        HINTERNET request = WinHttpOpenRequest(connect, L"GET", L"/", NULL, NULL, NULL, 0);
        if (c.onRequest) {
            ASSERT_TRUE(WinHttpSetOption(request, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT,
                                         const_cast<DWORD*>(&c.onRequest), sizeof(DWORD)));
        }
        ASSERT_TRUE(WinHttpSendRequest(request, NULL, 0, NULL, 0, 0, 0));
        const auto start = steady_clock::now();
        auto result = std::async(std::launch::async, [&] {
            const BOOL ok = WinHttpReceiveResponse(request, NULL);
            return std::make_pair(ok, GetLastError());
        });
        if (c.unlimited) {
            EXPECT_EQ(result.wait_for(milliseconds(1500)), std::future_status::timeout);
            server->stop();
        }
        ASSERT_EQ(result.wait_for(milliseconds(8000)), std::future_status::ready);
        const auto [ok, error] = result.get();
        EXPECT_FALSE(ok);
        if (!c.unlimited) {
            EXPECT_EQ(error, static_cast<DWORD>(ERROR_WINHTTP_TIMEOUT));
            EXPECT_GE(msSince(start), 250);
            EXPECT_LT(msSince(start), 2500);
        }
        WinHttpCloseHandle(request);
        WinHttpCloseHandle(connect);
        WinHttpCloseHandle(session);
    }

    // Only this option, as a DWORD, on a session or a request.
    HINTERNET session = WinHttpOpen(L"t", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, NULL, NULL, 0);
    HINTERNET connect = WinHttpConnect(session, L"h", 80, 0);
    DWORD value = 100;
    EXPECT_FALSE(WinHttpSetOption(session, 6, &value, sizeof value));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WINHTTP_INVALID_OPTION));
    EXPECT_FALSE(WinHttpSetOption(session, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &value, 2));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(WinHttpSetOption(session, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, NULL, sizeof value));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(WinHttpSetOption(connect, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &value, sizeof value));
    EXPECT_EQ(GetLastError(), 12018u);
    EXPECT_FALSE(WinHttpSetOption(nullptr, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &value, sizeof value));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    WinHttpCloseHandle(connect);
    WinHttpCloseHandle(session);
}

TEST_F(StandinHttpTest, EachFailureHasItsWinHttpNumber) {
    struct Case {
        const char* what;
        HttpTestServer::Behaviour behaviour;
        std::string error;
    };
    const Case cases[] = {
        {"accept and close", {HttpTestServer::Mode::AcceptAndClose, 200, 0, ""}, "Error 12152 in WinHttpReceiveResponse."},
        {"reset", {HttpTestServer::Mode::Reset, 200, 0, ""}, "Error 12030 in WinHttpReceiveResponse."},
        // Known to be no HTTP from its first bytes, without waiting for the end of a header block.
        {"not HTTP", {HttpTestServer::Mode::Raw, 200, 0, "SSH-2.0-x\r\n"}, "Error 12152 in WinHttpReceiveResponse."},
        {"no status code", {HttpTestServer::Mode::Raw, 200, 0, "HTTP/1.1 OK\r\n\r\n"},
         "Error 12152 in WinHttpReceiveResponse."},
        {"headers past 64 KiB",
         {HttpTestServer::Mode::Raw, 200, 0, "HTTP/1.1 200 OK\r\nX-Big: " + std::string(70000, 'x') + "\r\n\r\n"},
         "Error 12183 in WinHttpReceiveResponse."},
    };
    setTweak("t_httpClientTimeoutMsec", "3000");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        sharedClient().clear();
        HttpTestServer server(c.behaviour);
        HttpClient client(kLoopback, server.port());
        ASSERT_TRUE(client.connect());
        const auto start = steady_clock::now();
        EXPECT_FALSE(client.get(PingPath));
        EXPECT_LT(msSince(start), 2500);  // a failure, not the time limit
        EXPECT_EQ(loggedCount(c.error), 1u);
    }
}

// Wine's WinHttpConnect takes such a host; the stand-in refuses it so that nothing can be added to the Host header.
TEST_F(StandinHttpTest, HostWithABlankIsRefusedAtConnect) {
    HttpTestServer server;
    HttpClient client(L"127.0.0.1 x", server.port());
    EXPECT_FALSE(client.connect());
    EXPECT_EQ(loggedCount("Error 12005 in WinHttpConnect."), 1u);
    EXPECT_FALSE(client.get(PingPath));
    EXPECT_EQ(loggedCount("Error 6 in WinHttpOpenRequest."), 1u);
    EXPECT_FALSE(server.waitForRequests(1, 200));
}

TEST_F(StandinHttpTest, TheResponseEndsWithItsHeaders) {
    struct Case {
        const char* what;
        std::string raw;
        DWORD status;
    };
    const Case cases[] = {
        // A body that never comes: the client never waits for it.
        {"announced body", "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n", 200},
        {"interim responses first", "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 102 Processing\r\n\r\nHTTP/1.1 404 Not Found\r\n\r\n",
         404},
        {"bare line feeds", "HTTP/1.0 500 Oops\n\n", 500},
    };
    setTweak("t_httpClientTimeoutMsec", "-1");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        HttpTestServer server({HttpTestServer::Mode::Raw, 200, 0, c.raw});
        HINTERNET session = WinHttpOpen(L"t", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, NULL, NULL, 0);
        HINTERNET connect = WinHttpConnect(session, L"127.0.0.1", server.port(), 0);
        HINTERNET request = WinHttpOpenRequest(connect, L"GET", L"/", NULL, NULL, NULL, 0);
        ASSERT_TRUE(WinHttpSetTimeouts(request, 0, 5000, 5000, 5000));
        ASSERT_TRUE(WinHttpSendRequest(request, NULL, 0, NULL, 0, 0, 0));
        const auto start = steady_clock::now();
        EXPECT_TRUE(WinHttpReceiveResponse(request, NULL)) << GetLastError();
        EXPECT_LT(msSince(start), 2500);
        DWORD status = 0, size = sizeof status;
        EXPECT_TRUE(WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER, NULL, &status,
                                        &size, NULL));
        EXPECT_EQ(status, c.status);
        EXPECT_EQ(server.requests().size(), 1u);
        WinHttpCloseHandle(request);
        WinHttpCloseHandle(connect);
        WinHttpCloseHandle(session);
    }
}

// A relative location is taken from the folder of the request's path, as a URL reference is. (Wine 8 cuts such a
// path short, so this is pinned on the stand-in alone.)
TEST_F(StandinHttpTest, ARelativeRedirectGoesOnFromTheFolderOfThePath) {
    HttpTestServer::Behaviour behaviour;
    behaviour.redirects = {{"/KestrumService/AgentServer/ping", "moved?x=1#part"}};
    HttpTestServer server(behaviour);
    HttpClient client(kLoopback, server.port());
    ASSERT_TRUE(client.connect());
    EXPECT_TRUE(client.get(PingPath));
    ASSERT_TRUE(server.waitForRequests(2, 5000));
    EXPECT_EQ(server.requests()[1].target(), "/KestrumService/AgentServer/moved?x=1");
}

// A redirect the stand-in cannot follow fails: it has no TLS, and WinHTTP knows no scheme but http and https.
TEST_F(StandinHttpTest, ARedirectItCannotFollowFails) {
    struct Case {
        const char* location;
        const char* error;
    };
    const Case cases[] = {
        {"https://127.0.0.1/", "Error 50 in WinHttpReceiveResponse."},
        {"ftp://127.0.0.1/", "Error 12006 in WinHttpReceiveResponse."},
        {"http://127.0.0.1:99999/", "Error 12005 in WinHttpReceiveResponse."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.location);
        sharedClient().clear();
        HttpTestServer::Behaviour behaviour;
        behaviour.redirects = {{"/KestrumService/AgentServer/ping", c.location}};
        HttpTestServer server(behaviour);
        HttpClient client(kLoopback, server.port());
        ASSERT_TRUE(client.connect());
        EXPECT_FALSE(client.get(PingPath));
        EXPECT_EQ(loggedCount(c.error), 1u);
        EXPECT_EQ(server.requests().size(), 1u);
    }
}

TEST_F(StandinHttpTest, OpenRequestEscapesUnsafeBytesOfThePath) {
    struct Case {
        std::wstring path;
        std::string target;
    };
    const Case cases[] = {
        {L"/a b", "/a%20b"},
        {L"/q\"<>", "/q%22%3C%3E"},
        {L"/ctl\t\x7f", "/ctl%09%7F"},
        {L"/%20kept", "/%20kept"},
        {L"/\u00E9", "/%C3%A9"},
        {L"/+-=/x//y", "/+-=/x//y"},
        {L"", "/"},
    };
    HttpTestServer server;
    HINTERNET session = WinHttpOpen(L"t", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, NULL, NULL, 0);
    HINTERNET connect = WinHttpConnect(session, L"127.0.0.1", server.port(), 0);
    size_t row = 0;
    for (const auto& c : cases) {
        HINTERNET request = WinHttpOpenRequest(connect, L"GET", c.path.c_str(), NULL, NULL, NULL, 0);
        ASSERT_TRUE(WinHttpSendRequest(request, NULL, 0, NULL, 0, 0, 0));
        ASSERT_TRUE(WinHttpReceiveResponse(request, NULL));
        ASSERT_TRUE(server.waitForRequests(++row, 5000));
        EXPECT_EQ(server.requests().back().target(), c.target);
        WinHttpCloseHandle(request);
    }
    WinHttpCloseHandle(connect);
    WinHttpCloseHandle(session);
}

TEST_F(StandinHttpTest, CallsCheckTheirArguments) {
    HINTERNET session = WinHttpOpen(L"t", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, NULL, NULL, 0);
    ASSERT_NE(session, nullptr);
    struct TimeoutCase {
        int values[4];
        bool ok;
    };
    const TimeoutCase timeouts[] = {
        {{-1, -1, -1, -1}, true}, {{0, 0, 0, 0}, true},      {{1, 2, 3, 4}, true},
        {{-2, 0, 0, 0}, false},   {{0, 0, 0, -100}, false},
    };
    for (const auto& t : timeouts) {
        SetLastError(0);
        EXPECT_EQ(WinHttpSetTimeouts(session, t.values[0], t.values[1], t.values[2], t.values[3]), t.ok ? TRUE : FALSE);
        if (!t.ok) {
            EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
        }
    }
    for (const wchar_t* host : {L"", L"a b", L"a\r\nX: y", L"a\tb"}) {
        SetLastError(0);
        EXPECT_EQ(WinHttpConnect(session, host, 80, 0), nullptr);
        EXPECT_EQ(GetLastError(), 12005u);
    }
    EXPECT_EQ(WinHttpConnect(session, NULL, 80, 0), nullptr);
    EXPECT_EQ(GetLastError(), 12005u);
    EXPECT_EQ(WinHttpConnect(nullptr, L"h", 80, 0), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(WinHttpOpenRequest(nullptr, L"GET", L"/", NULL, NULL, NULL, 0), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(WinHttpSetTimeouts(nullptr, 1, 1, 1, 1));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

    // A request that was never sent has no response to receive; one sent twice is refused.
    RefusingPort refusing;
    HINTERNET connect = WinHttpConnect(session, L"127.0.0.1", refusing.port(), 0);
    HINTERNET request = WinHttpOpenRequest(connect, L"GET", L"/", NULL, NULL, NULL, 0);
    EXPECT_FALSE(WinHttpReceiveResponse(request, NULL));
    EXPECT_EQ(GetLastError(), 12019u);
    EXPECT_FALSE(WinHttpSendRequest(request, NULL, 0, NULL, 0, 0, 0));
    EXPECT_EQ(GetLastError(), 12029u);
    EXPECT_FALSE(WinHttpSendRequest(request, NULL, 0, NULL, 0, 0, 0));
    EXPECT_EQ(GetLastError(), 12019u);

    EXPECT_TRUE(WinHttpCloseHandle(request));
    EXPECT_FALSE(WinHttpCloseHandle(request));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    WinHttpCloseHandle(connect);
    WinHttpCloseHandle(session);
}

TEST_F(StandinHttpTest, PortZeroIsEightyAndTheHostHeaderLeavesItOut) {
    HttpTestServer server(HttpTestServer::Behaviour(), 60000, 80);
    if (server.port() != 80) GTEST_SKIP() << "port 80 of 127.0.0.1 is not free to listen on";
    for (INTERNET_PORT port : {INTERNET_PORT(0), INTERNET_PORT(80)}) {
        HttpClient client(kLoopback, port);
        ASSERT_TRUE(client.connect());
        EXPECT_TRUE(client.get(PingPath));
    }
    ASSERT_TRUE(server.waitForRequests(2, 5000));
    for (const auto& request : server.requests()) EXPECT_EQ(request.header("Host"), "127.0.0.1");
}

TEST_F(StandinHttpTest, AnUnknownHostIsNotResolved) {
    HttpClient client(L"no-such-host.invalid", 8080);
    ASSERT_TRUE(client.connect());
    EXPECT_FALSE(client.get(PingPath));
    EXPECT_EQ(loggedCount("Error 12007 in WinHttpSendRequest."), 1u);
}

TEST_F(StandinHttpTest, ClosingARequestEndsAWaitOnAnotherThread) {
    HttpTestServer server({HttpTestServer::Mode::Silent, 200, 0, ""}, 8000);
    HINTERNET session = WinHttpOpen(L"t", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, NULL, NULL, 0);
    ASSERT_TRUE(WinHttpSetTimeouts(session, -1, -1, -1, -1));
    HINTERNET connect = WinHttpConnect(session, L"127.0.0.1", server.port(), 0);
    HINTERNET request = WinHttpOpenRequest(connect, L"GET", L"/", NULL, NULL, NULL, 0);
    ASSERT_TRUE(WinHttpSendRequest(request, NULL, 0, NULL, 0, 0, 0));
    auto received = std::async(std::launch::async, [&] { return WinHttpReceiveResponse(request, NULL); });
    EXPECT_EQ(received.wait_for(milliseconds(200)), std::future_status::timeout);
    WinHttpCloseHandle(request);
    ASSERT_EQ(received.wait_for(milliseconds(5000)), std::future_status::ready);
    EXPECT_FALSE(received.get());
    WinHttpCloseHandle(connect);
    WinHttpCloseHandle(session);
}

}  // namespace
