// The HTTP client's cost over a bare socket exchange: a ping and an insert through the client against a raw
// request of the same bytes (connect, send, read the headers, close), side by side against one loopback server,
// with a queued file logger registered as in an agent run. Median of 200 runs each.
#include "FileLogger.h"
#include "HttpClient.h"
#include "HttpTestServer.h"
#include "Logger.h"
#include "Tweaks.h"

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>

namespace {

struct Setup {
    Setup() {
        Tweaks::instance()->update("t_FileLoggerFlushEveryLine", "0");
        const std::string folder = "bench_http_logs_" + std::to_string(getpid());
        std::filesystem::remove_all(folder);
        logger = new FileLoggerClient(folder + "\\Vantrell.exe", 3, 0, "");
        Logger::instance()->registerClient(logger, 255);
        server = std::make_unique<HttpTestServer>(HttpTestServer::Behaviour(), 3600 * 1000);
        client = std::make_unique<HttpClient>(L"127.0.0.1", server->port());
        client->connect();
        client->get(PingPath);
        server->waitForRequests(1, 5000);
        pingBytes = server->requests().at(0).bytes;
    }
    FileLoggerClient* logger;
    std::unique_ptr<HttpTestServer> server;
    std::unique_ptr<HttpClient> client;
    std::string pingBytes;
};

Setup& setup() {
    static Setup* s = new Setup();
    return *s;
}

void BM_RawRequest(benchmark::State& state) {
    Setup& s = setup();
    for (auto _ : state) {
        if (rawHttpExchange(s.server->port(), s.pingBytes).empty()) state.SkipWithError("no response");
    }
}

void BM_Ping(benchmark::State& state) {
    Setup& s = setup();
    for (auto _ : state) {
        if (!s.client->get(PingPath)) state.SkipWithError("ping failed");
    }
}

void BM_Insert(benchmark::State& state) {
    Setup& s = setup();
    const std::vector<std::wstring> macs = {L"0a1b2c3d4e5f", L"a0b1c2d3e4f5"};
    for (auto _ : state) {
        if (!s.client->insertVssCheckpoint(macs, L"checkpoint 2026-12-10")) state.SkipWithError("insert failed");
    }
}

#define HTTP_BENCHMARK(name) \
    BENCHMARK(name)->Iterations(1)->Repetitions(200)->ReportAggregatesOnly(true)->UseRealTime()->Unit(benchmark::kMicrosecond)

HTTP_BENCHMARK(BM_RawRequest);
HTTP_BENCHMARK(BM_Ping);
HTTP_BENCHMARK(BM_Insert);

}  // namespace

BENCHMARK_MAIN();
