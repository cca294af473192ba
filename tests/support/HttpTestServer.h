#pragma once
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

// A real HTTP server on 127.0.0.1 (port chosen by the system) for tests. Each connection is served on a thread of
// its own and its bytes are recorded exactly as they arrived; how it answers is set by its behaviour. It stops by
// itself when its lifetime runs out, so a test that forgets it never hangs.
class HttpTestServer {
public:
    enum class Mode {
        Answer,          // after `delayMs`, a response with `status` and a two-byte body, in one send
        AcceptAndClose,  // reads the request, then closes the connection without a word
        Reset,           // reads the request, then resets the connection
        Silent,          // reads the request and never answers
        HalfHeaders,     // sends the start of a header block, then stays silent
        Raw,             // sends `raw` in one send after the request, then stays silent
    };
    struct Behaviour {
        Behaviour(Mode mode = Mode::Answer, int status = 200, int delayMs = 0, std::string raw = "")
            : mode(mode), status(status), delayMs(delayMs), raw(std::move(raw)) {}
        Mode mode = Mode::Answer;
        int status = 200;
        int delayMs = 0;
        std::string raw;
        // Answer: a request whose target is the first of a pair gets a 302 Found to the second (its Location).
        std::vector<std::pair<std::string, std::string>> redirects;
    };
    struct Request {
        std::string bytes;  // request line, headers and body as received
        std::chrono::steady_clock::time_point received;
        int connection;  // 0 for the first connection accepted
        // When its answer was sent (Answer mode); the time of receipt until then.
        std::chrono::steady_clock::time_point answered = received;
        // The request target of the request line.
        std::string target() const;
        // The value of the first header of that name (case-insensitive), or "" with `found` false.
        std::string header(const std::string& name, bool* found = nullptr) const;
    };
    struct Connection {
        std::string bytes;  // everything received, requests run together
        bool closedByClient = false;
    };

    // `port` 0: any free port. port() is 0 when the server could not listen.
    HttpTestServer();
    explicit HttpTestServer(Behaviour behaviour, int lifetimeMs = 60000, unsigned short port = 0);
    ~HttpTestServer();
    HttpTestServer(const HttpTestServer&) = delete;
    HttpTestServer& operator=(const HttpTestServer&) = delete;

    unsigned short port() const { return m_port; }
    // For requests completed from now on.
    void setBehaviour(const Behaviour& behaviour);

    std::vector<Request> requests();
    std::vector<Connection> connections();
    // Wait at most `ms`; true once the count is reached.
    bool waitForRequests(size_t count, int ms);
    bool waitForClientCloses(size_t count, int ms);
    // Closes the listener and every connection, and joins the threads.
    void stop();

    static std::string reasonPhrase(int status);

private:
    void acceptLoop();
    void serve(intptr_t socket, int index);
    bool running() const;

    intptr_t m_listener;
    unsigned short m_port = 0;
    const std::chrono::steady_clock::time_point m_until;
    std::atomic<bool> m_stopping{false};
    std::mutex m_lock;
    std::condition_variable m_changed;
    Behaviour m_behaviour;
    std::vector<Request> m_requests;
    std::vector<Connection> m_connections;
    std::vector<std::thread> m_threads;  // connection threads, joined at stop
    std::thread m_acceptor;
    std::mutex m_stopLock;
};

// A port of 127.0.0.1 that is bound but not listening: every connection to it is refused, and no other program
// can take the port while this object lives.
class RefusingPort {
public:
    RefusingPort();
    ~RefusingPort();
    RefusingPort(const RefusingPort&) = delete;
    RefusingPort& operator=(const RefusingPort&) = delete;
    unsigned short port() const { return m_port; }

private:
    intptr_t m_socket;
    unsigned short m_port = 0;
};

// Sends `bytes` to 127.0.0.1:`port` on a fresh connection, reads up to the end of the response's headers and
// closes. Returns the bytes read; empty on any failure.
std::string rawHttpExchange(unsigned short port, const std::string& bytes, int timeoutMs = 5000);
