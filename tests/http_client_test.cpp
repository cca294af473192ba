// test-traits: threaded
// The HTTP client against a real local server: what goes on the wire, which responses count as answers, and how
// each failure is reported. Runs against the stand-in on Linux and against the system's WinHTTP under Wine.
#include "FileLoggerSupport.h"
#include "HttpClient.h"
#include "HttpTestServer.h"
#include "TestSupport.h"

#include <string>
#include <utility>
#include <vector>

namespace {

const std::string kPing = "/KestrumService/AgentServer/ping";
const std::string kInsert = "/KestrumService/AgentServer/insertlicensed/";
const std::wstring kLoopback = L"127.0.0.1";

class HttpClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        sharedClient().clear();
        setTweak("t_httpClientTimeoutMsec", "");
    }
    void TearDown() override { setTweak("t_httpClientTimeoutMsec", ""); }

    static std::vector<std::string> logged(const std::string& text) { return sharedClient().linesWith(text); }
    // Error lines of the client, "Error <code> in <call>." as logged.
    static std::vector<std::string> errors() { return logged(",Error,"); }
    static bool hasErrorIn(const std::string& call) {
        for (const auto& line : errors()) {
            const size_t at = line.find("Error ");
            const size_t in = line.find(" in " + call + ".");
            if (at != std::string::npos && in != std::string::npos) {
                const std::string code = line.substr(at + 6, in - at - 6);
                if (!code.empty() && code.find_first_not_of("0123456789") == std::string::npos) return true;
            }
        }
        return false;
    }
};

TEST(Base64EncodeTest, MatchesTheServersAlphabetAndPadding) {
    struct Case {
        std::vector<unsigned char> bytes;
        std::wstring encoded;
    };
    const Case cases[] = {
        {{}, L""},
        {{0x61, 0x00}, L"YQA="},                                 // "a"
        {{0x61, 0x00, 0x62, 0x00}, L"YQBiAA=="},                 // "ab"
        {{0x61, 0x00, 0x62, 0x00, 0x63, 0x00}, L"YQBiAGMA"},     // "abc"
        {{0xFF, 0x00}, L"-wA="},                                 // index 63 is '-'
        {{0xFB, 0x00}, L"+wA="},                                 // index 62 stays '+'
        {{0xE9, 0x00}, L"6QA="},                                 // U+00E9
        {{0x3D, 0xD8, 0x00, 0xDE}, L"PdgA3g=="},                 // U+1F600 as a surrogate pair
        {{0xFF, 0xFF, 0xFF}, L"----"},
        {{0x00}, L"AA=="},
        {{0x00, 0x00, 0x00, 0x00}, L"AAAAAA=="},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(base64Encode(c.bytes.data(), c.bytes.size()), c.encoded) << "bytes: " << c.bytes.size();
    }
}

TEST_F(HttpClientTest, PingIsOneBareGetWithTheAgentAndHost) {
    HttpTestServer server;
    ASSERT_NE(server.port(), 0);
    HttpClient client(kLoopback, server.port());
    ASSERT_TRUE(client.connect());
    ASSERT_TRUE(client.get(PingPath));
    ASSERT_TRUE(server.waitForRequests(1, 5000));

    const auto request = server.requests().at(0);
    EXPECT_EQ(request.bytes.substr(0, request.bytes.find("\r\n")), "GET " + kPing + " HTTP/1.1");
    EXPECT_EQ(request.header("User-Agent"), "TaLVO Agent/1.0");
    EXPECT_EQ(request.header("Host"), "127.0.0.1:" + std::to_string(server.port()));
    // Nothing but the path carries the message: no body, no content or negotiation headers.
    EXPECT_EQ(request.bytes.find("\r\n\r\n"), request.bytes.size() - 4);
    for (const char* absent : {"Referer", "Accept", "Content-Type", "Transfer-Encoding", "Cookie", "Authorization"}) {
        bool found = true;
        request.header(absent, &found);
        EXPECT_FALSE(found) << absent;
    }
    EXPECT_EQ(server.requests().size(), 1u);
}

TEST_F(HttpClientTest, InsertPathCarriesTheMacListAndTheEncodedName) {
    struct Case {
        std::vector<std::wstring> macs;
        std::wstring tag;
        std::string onTheWire;  // after the insert path
        std::string logged;     // after the insert path, in "Object name: "
    };
    const std::wstring a = L"0a1b2c3d4e5f", b = L"a0b1c2d3e4f5";
    const Case cases[] = {
        {{a, b}, L"abc", "0a1b2c3d4e5f%20a0b1c2d3e4f5/YQBiAGMA", "0a1b2c3d4e5f a0b1c2d3e4f5/YQBiAGMA"},
        {{a}, L"a", "0a1b2c3d4e5f/YQA=", "0a1b2c3d4e5f/YQA="},
        {{}, L"ab", "/YQBiAA==", "/YQBiAA=="},
        {{a, b}, L"\u00FF", "0a1b2c3d4e5f%20a0b1c2d3e4f5/-wA=", "0a1b2c3d4e5f a0b1c2d3e4f5/-wA="},
        {{b}, L"\u00FB", "a0b1c2d3e4f5/+wA=", "a0b1c2d3e4f5/+wA="},
        {{}, L"\U0001F600", "/PdgA3g==", "/PdgA3g=="},
        {{a, b, a}, L"\u00E9", "0a1b2c3d4e5f%20a0b1c2d3e4f5%200a1b2c3d4e5f/6QA=",
         "0a1b2c3d4e5f a0b1c2d3e4f5 0a1b2c3d4e5f/6QA="},
        {{a}, L"", "0a1b2c3d4e5f/", "0a1b2c3d4e5f/"},
    };
    HttpTestServer server;
    HttpClient client(kLoopback, server.port());
    ASSERT_TRUE(client.connect());
    size_t row = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE("row " + std::to_string(row));
        EXPECT_TRUE(client.insertVssCheckpoint(c.macs, c.tag));
        ASSERT_TRUE(server.waitForRequests(row + 1, 5000));
        const auto request = server.requests().at(row);
        EXPECT_EQ(request.target(), kInsert + c.onTheWire);
        EXPECT_EQ(request.bytes.substr(0, 4), "GET ");
        const auto lines = logged(",HttpClient,insertVssCheckpoint,Object name: " + kInsert + c.logged);
        ASSERT_EQ(lines.size(), 1u);
        // The logged path ends there.
        const std::string& line = lines[0];
        const size_t end = line.find(kInsert + c.logged) + kInsert.size() + c.logged.size();
        EXPECT_TRUE(end == line.size() || line[end] == '\n' || line[end] == '\r' || line[end] == ',') << line;
        sharedClient().clear();
        ++row;
    }
    EXPECT_EQ(server.requests().size(), std::size(cases));
}

TEST_F(HttpClientTest, AnyResponseIsAnAnswerAndAMissingOneIsAnError) {
    struct Case {
        const char* what;
        HttpTestServer::Behaviour behaviour;
        bool answered;
    };
    const Case cases[] = {
        {"200", {HttpTestServer::Mode::Answer, 200, 0, ""}, true},
        {"404", {HttpTestServer::Mode::Answer, 404, 0, ""}, true},
        {"500", {HttpTestServer::Mode::Answer, 500, 0, ""}, true},
        {"late 200", {HttpTestServer::Mode::Answer, 200, 300, ""}, true},
        {"accept and close", {HttpTestServer::Mode::AcceptAndClose, 200, 0, ""}, false},
        {"reset", {HttpTestServer::Mode::Reset, 200, 0, ""}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        sharedClient().clear();
        HttpTestServer server(c.behaviour);
        HttpClient client(kLoopback, server.port());
        ASSERT_TRUE(client.connect());
        EXPECT_EQ(client.get(PingPath), c.answered);
        EXPECT_EQ(logged(",HttpClient,get,WinHttpSendRequest returned 1").size(), 1u);
        EXPECT_EQ(logged(",HttpClient,get,WinHttpReceiveResponse returned " + std::string(c.answered ? "1" : "0")).size(),
                  1u);
        if (c.answered) {
            EXPECT_TRUE(errors().empty());
        } else {
            EXPECT_TRUE(hasErrorIn("WinHttpReceiveResponse"));
        }
        // One request per get: no retry after a failure.
        server.waitForRequests(2, 200);
        EXPECT_EQ(server.requests().size(), 1u);
    }
}

// WinHTTP follows redirects by default: the answer is the response at the end of them, and a redirect to a port that
// refuses is no answer. "{port}" in a location stands for the server's own port.
TEST_F(HttpClientTest, ARedirectIsFollowedAndOneToNowhereIsNoAnswer) {
    RefusingPort refusing;
    ASSERT_NE(refusing.port(), 0);
    struct Case {
        const char* what;
        std::vector<std::pair<std::string, std::string>> redirects;
        bool answered;
        std::vector<std::string> targets;  // the requests the server got, in order
        std::string error;
    };
    // A chain of `count` redirects from the ping: /r1, /r2, ... up to /r<count>, which answers.
    auto chain = [&](const char* what, int count, bool answered, const std::string& error) {
        Case c{what, {}, answered, {kPing}, error};
        for (int n = 1; n <= count; ++n) {
            c.redirects.push_back({c.targets.back(), "/r" + std::to_string(n)});
            c.targets.push_back("/r" + std::to_string(n));
        }
        if (!answered) c.targets.pop_back();  // the last redirect is not followed
        return c;
    };
    const Case cases[] = {
        {"to another path", {{kPing, "/moved"}}, true, {kPing, "/moved"}, ""},
        {"by a whole URL", {{kPing, "http://127.0.0.1:{port}/final"}}, true, {kPing, "/final"}, ""},
        {"to a refused port", {{kPing, "http://127.0.0.1:" + std::to_string(refusing.port()) + "/"}}, false, {kPing},
         "Error 12029 in WinHttpReceiveResponse."},
        // At most 10 in a row, as WinHTTP's default.
        chain("ten", 10, true, ""),
        chain("eleven", 11, false, "Error 12156 in WinHttpReceiveResponse."),
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        sharedClient().clear();
        HttpTestServer server;
        ASSERT_NE(server.port(), 0);
        HttpTestServer::Behaviour behaviour;
        for (auto redirect : c.redirects) {
            const size_t at = redirect.second.find("{port}");
            if (at != std::string::npos) redirect.second.replace(at, 6, std::to_string(server.port()));
            behaviour.redirects.push_back(redirect);
        }
        server.setBehaviour(behaviour);
        HttpClient client(kLoopback, server.port());
        ASSERT_TRUE(client.connect());
        EXPECT_EQ(client.get(PingPath), c.answered);
        if (c.answered) {
            EXPECT_TRUE(errors().empty());
        } else {
            EXPECT_EQ(logged(c.error).size(), 1u) << c.error;
        }
        server.waitForRequests(c.targets.size(), 5000);
        server.waitForRequests(c.targets.size() + 1, 200);
        std::vector<std::string> targets;
        for (const auto& request : server.requests()) targets.push_back(request.target());
        EXPECT_EQ(targets, c.targets);
    }
}

TEST_F(HttpClientTest, LogsWhatItWasGivenAndWhatEachCallReturned) {
    HttpTestServer server;
    {
        HttpClient client(kLoopback, server.port());
        ASSERT_TRUE(client.connect());
        ASSERT_TRUE(client.get(PingPath));
    }
    const std::string port = std::to_string(server.port());
    for (const std::string& expected : std::vector<std::string>{
             ",NON,HttpClient,HttpClient,m_serverUrl = 127.0.0.1", ",NON,HttpClient,HttpClient,m_serverPort = " + port,
          ",NON,HttpClient,connect,WinHttpOpen returned ", ",NON,HttpClient,connect,WinHttpConnect returned ",
          ",NON,HttpClient,get,WinHttpOpenRequest returned ", ",NON,HttpClient,get,WinHttpSendRequest returned 1",
          ",NON,HttpClient,get,WinHttpReceiveResponse returned 1"}) {
        EXPECT_EQ(logged(expected).size(), 1u) << expected;
    }
    EXPECT_TRUE(logged(",Info,").size() >= 7u);
    EXPECT_TRUE(errors().empty());
}

TEST_F(HttpClientTest, NothingListeningFailsAtTheSendNotAtConnect) {
    RefusingPort refusing;
    ASSERT_NE(refusing.port(), 0);
    HttpClient client(kLoopback, refusing.port());
    EXPECT_TRUE(client.connect());
    EXPECT_FALSE(client.get(PingPath));
    EXPECT_EQ(logged("Error 12029 in WinHttpSendRequest.").size(), 1u);
    EXPECT_EQ(logged(",HttpClient,get,WinHttpSendRequest returned 0").size(), 1u);
    EXPECT_TRUE(logged("WinHttpReceiveResponse returned").empty());
}

TEST_F(HttpClientTest, BadTimeoutFailsConnectAndLaterGetsFailAtOpenRequest) {
    setTweak("t_httpClientTimeoutMsec", "-2");
    HttpTestServer server;
    HttpClient client(kLoopback, server.port());
    EXPECT_FALSE(client.connect());
    EXPECT_EQ(logged("Error 87 in WinHttpSetTimeouts.").size(), 1u);
    EXPECT_TRUE(logged("WinHttpConnect returned").empty());

    EXPECT_FALSE(client.get(PingPath));
    EXPECT_TRUE(hasErrorIn("WinHttpOpenRequest"));
    EXPECT_TRUE(logged("WinHttpSendRequest").empty());
    EXPECT_FALSE(server.waitForRequests(1, 200));
}

TEST_F(HttpClientTest, LocalhostReachesAServerOnTheLoopbackAddress) {
    HttpTestServer server;
    HttpClient client(L"localhost", server.port());
    ASSERT_TRUE(client.connect());
    EXPECT_TRUE(client.get(PingPath));
    ASSERT_TRUE(server.waitForRequests(1, 5000));
    EXPECT_EQ(server.requests().at(0).header("Host"), "localhost:" + std::to_string(server.port()));
}

TEST_F(HttpClientTest, EachGetIsOneRequestAndTheClientGoesOnAfterAFailure) {
    HttpTestServer server({HttpTestServer::Mode::AcceptAndClose, 200, 0, ""});
    HttpClient client(kLoopback, server.port());
    ASSERT_TRUE(client.connect());
    EXPECT_FALSE(client.get(PingPath));
    server.setBehaviour({HttpTestServer::Mode::Answer, 200, 0, ""});
    EXPECT_TRUE(client.get(PingPath));
    EXPECT_TRUE(client.insertVssCheckpoint({L"0a1b2c3d4e5f"}, L"abc"));
    ASSERT_TRUE(server.waitForRequests(3, 5000));
    server.waitForRequests(4, 200);
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].target(), kPing);
    EXPECT_EQ(requests[1].target(), kPing);
    EXPECT_EQ(requests[2].target(), kInsert + "0a1b2c3d4e5f/YQBiAGMA");
}

}  // namespace
