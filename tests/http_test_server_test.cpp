// test-traits: linux-only
// Linux only: starts the stand-alone test server with posix_spawn and pins the stand-in's exact request bytes.
// The stand-alone test server, as a later end-to-end test uses it from another process: it announces its port in
// a file and writes each request it received, byte for byte, to a file of its own.
#include "HttpClient.h"
#include "TestSupport.h"

#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

std::string programPath() {
    char self[PATH_MAX] = {};
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string path(self, n > 0 ? static_cast<size_t>(n) : 0);
    return path.substr(0, path.rfind('/') + 1) + "http_test_server";
}

bool fileExists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

bool waitForFile(const std::string& path, int ms) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!fileExists(path)) {
        if (std::chrono::steady_clock::now() >= until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// The exit status, or -1 when the process did not end within `ms` (it is then killed).
int waitForExit(pid_t pid, int ms) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() >= until) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

struct ServerProcess {
    explicit ServerProcess(const std::vector<std::string>& options) : folder(uniqueName("http_server")) {
        mkdir(folder.c_str(), 0755);
        std::vector<std::string> args = {programPath(), folder};
        args.insert(args.end(), options.begin(), options.end());
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        started = posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) == 0;
    }
    ~ServerProcess() {
        if (started && !ended) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
    unsigned short port() {
        if (!waitForFile(folder + "/port", 10000)) return 0;
        return static_cast<unsigned short>(std::stoi(readFile(folder + "/port")));
    }
    int stop() {
        std::ofstream(folder + "/stop") << "";
        ended = true;
        return waitForExit(pid, 10000);
    }
    std::string folder;
    pid_t pid = 0;
    bool started = false;
    bool ended = false;
};

TEST(HttpTestServerProgramTest, WritesEachRequestAsReceivedAndStopsWhenAsked) {
    ServerProcess server({"--status", "404"});
    ASSERT_TRUE(server.started) << programPath();
    const unsigned short port = server.port();
    ASSERT_NE(port, 0);
    {
        HttpClient client(L"127.0.0.1", port);
        ASSERT_TRUE(client.connect());
        EXPECT_TRUE(client.get(PingPath));
        EXPECT_TRUE(client.insertVssCheckpoint({L"0a1b2c3d4e5f", L"a0b1c2d3e4f5"}, L"abc"));
    }
    const std::string headers = "Connection: Keep-Alive\r\nUser-Agent: TaLVO Agent/1.0\r\nHost: 127.0.0.1:" +
                                std::to_string(port) + "\r\n\r\n";
    ASSERT_TRUE(waitForFile(server.folder + "/request-2.http", 5000));
    EXPECT_EQ(readFile(server.folder + "/request-1.http"),
              "GET /KestrumService/AgentServer/ping HTTP/1.1\r\n" + headers);
    EXPECT_EQ(readFile(server.folder + "/request-2.http"),
              "GET /KestrumService/AgentServer/insertlicensed/0a1b2c3d4e5f%20a0b1c2d3e4f5/YQBiAGMA HTTP/1.1\r\n" +
                  headers);
    EXPECT_EQ(server.stop(), 0);
    EXPECT_FALSE(fileExists(server.folder + "/request-3.http"));
}

TEST(HttpTestServerProgramTest, MisbehavesAsToldAndEndsByItself) {
    ServerProcess server({"--mode", "close", "--lifetime-ms", "1500"});
    ASSERT_TRUE(server.started);
    const unsigned short port = server.port();
    ASSERT_NE(port, 0);
    HttpClient client(L"127.0.0.1", port);
    ASSERT_TRUE(client.connect());
    EXPECT_FALSE(client.get(PingPath));
    EXPECT_TRUE(waitForFile(server.folder + "/request-1.http", 5000));
    server.ended = true;
    EXPECT_EQ(waitForExit(server.pid, 10000), 0);
}

TEST(HttpTestServerProgramTest, RejectsABadCommandLine) {
    for (const std::vector<std::string>& options : std::vector<std::vector<std::string>>{
             {"--mode", "sideways"}, {"--status"}, {"--colour", "red"}}) {
        ServerProcess server(options);
        ASSERT_TRUE(server.started);
        server.ended = true;
        EXPECT_EQ(waitForExit(server.pid, 10000), 2);
    }
}

}  // namespace
