// The test HTTP server as a program of its own, for tests that drive the agent as another process:
//   http_test_server <folder> [--status N] [--mode answer|close|reset|silent|half] [--delay-ms N] [--lifetime-ms N]
// Once it listens on 127.0.0.1 it writes its port to <folder>/port. Each request it receives is written, byte for
// byte, to <folder>/request-<n>.http (n from 1, in order of receipt), the monotonic nanoseconds of its receipt and
// of its answer to <folder>/request-<n>.time, and its target is printed on standard output,
// an insert's checkpoint name decoded. It ends when the file <folder>/stop appears or its lifetime (60 s unless
// given) runs out.
#include "CheckpointRequest.h"
#include "HttpTestServer.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

namespace {

bool exists(const std::string& path) {
    std::ifstream in(path);
    return static_cast<bool>(in);
}

void writeFile(const std::string& path, const std::string& bytes) {
    // Written aside and renamed, so a reader never sees half a file.
    const std::string partial = path + ".partial";
    {
        std::ofstream out(partial, std::ios::binary | std::ios::trunc);
        out << bytes;
    }
    std::remove(path.c_str());
    std::rename(partial.c_str(), path.c_str());
}

void printRequest(size_t n, const std::string& bytes) {
    const std::string target = requestTarget(bytes);
    std::printf("request %zu: GET %s\n", n, target.c_str());
    const CheckpointRequest request = parseCheckpointRequest(target);
    if (request.kind == CheckpointRequest::Kind::Insert) {
        std::printf("  MAC addresses: %s\n  checkpoint name: %s%s\n", request.macs.c_str(), request.name.c_str(),
                    request.nameValid ? "" : " (not well formed)");
    }
    std::fflush(stdout);
}

std::string nanoseconds(std::chrono::steady_clock::time_point t) {
    return std::to_string(std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count());
}

int usage() {
    std::fprintf(stderr,
                 "usage: http_test_server <folder> [--status N] [--mode answer|close|reset|silent|half] [--delay-ms N] "
                 "[--lifetime-ms N]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return usage();
    const std::string folder = argv[1];
    HttpTestServer::Behaviour behaviour;
    int lifetimeMs = 60000;
    if (argc % 2 != 0) return usage();  // an option without its value
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        const std::string value = argv[i + 1];
        if (option == "--status") {
            behaviour.status = std::atoi(value.c_str());
        } else if (option == "--delay-ms") {
            behaviour.delayMs = std::atoi(value.c_str());
        } else if (option == "--lifetime-ms") {
            lifetimeMs = std::atoi(value.c_str());
        } else if (option == "--mode") {
            if (value == "answer") {
                behaviour.mode = HttpTestServer::Mode::Answer;
            } else if (value == "close") {
                behaviour.mode = HttpTestServer::Mode::AcceptAndClose;
            } else if (value == "reset") {
                behaviour.mode = HttpTestServer::Mode::Reset;
            } else if (value == "silent") {
                behaviour.mode = HttpTestServer::Mode::Silent;
            } else if (value == "half") {
                behaviour.mode = HttpTestServer::Mode::HalfHeaders;
            } else {
                return usage();
            }
        } else {
            return usage();
        }
    }
    HttpTestServer server(behaviour, lifetimeMs);
    if (server.port() == 0) {
        std::fprintf(stderr, "http_test_server: cannot listen on 127.0.0.1\n");
        return 1;
    }
    writeFile(folder + "/port", std::to_string(server.port()));
    std::printf("%u\n", static_cast<unsigned>(server.port()));
    std::fflush(stdout);

    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(lifetimeMs);
    size_t written = 0;
    size_t timed = 0;
    for (;;) {
        const auto requests = server.requests();
        for (; written < requests.size(); ++written) {
            writeFile(folder + "/request-" + std::to_string(written + 1) + ".http", requests[written].bytes);
            printRequest(written + 1, requests[written].bytes);
        }
        // Monotonic nanoseconds of its receipt and of its answer, once answered, for timing a flow from outside.
        for (; timed < requests.size(); ++timed) {
            const auto& request = requests[timed];
            if (behaviour.mode == HttpTestServer::Mode::Answer && request.answered == request.received) break;
            writeFile(folder + "/request-" + std::to_string(timed + 1) + ".time",
                      nanoseconds(request.received) + " " + nanoseconds(request.answered) + "\n");
        }
        if (exists(folder + "/stop") || std::chrono::steady_clock::now() >= until) break;
        server.waitForRequests(written + 1, 10);
    }
    server.stop();
    return 0;
}
