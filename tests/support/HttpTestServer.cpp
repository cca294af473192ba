#include "HttpTestServer.h"

#include "LoopbackSockets.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>

namespace {

using loopback::kNone;
using loopback::readable;
using loopback::sendAll;

constexpr int kSliceMs = 20;

// The length of the first complete request in `bytes` (headers and Content-Length body), or 0.
size_t completeRequest(const std::string& bytes) {
    const size_t end = bytes.find("\r\n\r\n");
    if (end == std::string::npos) return 0;
    HttpTestServer::Request probe{bytes.substr(0, end + 4), {}, 0};
    bool found = false;
    const std::string length = probe.header("Content-Length", &found);
    const size_t body = found ? static_cast<size_t>(std::strtoull(length.c_str(), nullptr, 10)) : 0;
    return bytes.size() >= end + 4 + body ? end + 4 + body : 0;
}

std::string lower(std::string text) {
    for (auto& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

}  // namespace

std::string HttpTestServer::Request::target() const {
    const size_t first = bytes.find(' ');
    if (first == std::string::npos) return "";
    const size_t second = bytes.find(' ', first + 1);
    const size_t lineEnd = bytes.find("\r\n");
    if (second == std::string::npos || second > lineEnd) return "";
    return bytes.substr(first + 1, second - first - 1);
}

std::string HttpTestServer::Request::header(const std::string& name, bool* found) const {
    if (found) *found = false;
    const size_t headersEnd = bytes.find("\r\n\r\n");
    size_t start = bytes.find("\r\n");
    while (start != std::string::npos && start < headersEnd) {
        start += 2;
        const size_t end = bytes.find("\r\n", start);
        const std::string line = bytes.substr(start, end - start);
        const size_t colon = line.find(':');
        if (colon != std::string::npos && lower(line.substr(0, colon)) == lower(name)) {
            if (found) *found = true;
            size_t value = colon + 1;
            while (value < line.size() && line[value] == ' ') ++value;
            return line.substr(value);
        }
        start = end;
    }
    return "";
}

std::string HttpTestServer::reasonPhrase(int status) {
    switch (status) {
        case 200: return "OK";
        case 204: return "No Content";
        case 301: return "Moved Permanently";
        case 302: return "Found";
        case 400: return "Bad Request";
        case 404: return "Not Found";
        case 500: return "Internal Server Error";
        case 503: return "Service Unavailable";
        default: return "Status";
    }
}

HttpTestServer::HttpTestServer(Behaviour behaviour, int lifetimeMs, unsigned short port)
    : m_listener(kNone),
      m_port(port),
      m_until(std::chrono::steady_clock::now() + std::chrono::milliseconds(lifetimeMs)),
      m_behaviour(std::move(behaviour)) {
    loopback::Socket fd = loopback::bind(m_port);
    if (fd != kNone && !loopback::listen(fd)) {
        loopback::close(fd);
        fd = kNone;
    }
    m_listener = fd;
    if (fd == kNone) {
        m_port = 0;
        return;
    }
    m_acceptor = std::thread([this] { acceptLoop(); });
}

HttpTestServer::HttpTestServer() : HttpTestServer(Behaviour()) {}

HttpTestServer::~HttpTestServer() { stop(); }

bool HttpTestServer::running() const { return !m_stopping && std::chrono::steady_clock::now() < m_until; }

void HttpTestServer::setBehaviour(const Behaviour& behaviour) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_behaviour = behaviour;
}

std::vector<HttpTestServer::Request> HttpTestServer::requests() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_requests;
}

std::vector<HttpTestServer::Connection> HttpTestServer::connections() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_connections;
}

bool HttpTestServer::waitForRequests(size_t count, int ms) {
    std::unique_lock<std::mutex> lock(m_lock);
    return m_changed.wait_for(lock, std::chrono::milliseconds(ms), [&] { return m_requests.size() >= count; });
}

bool HttpTestServer::waitForClientCloses(size_t count, int ms) {
    std::unique_lock<std::mutex> lock(m_lock);
    return m_changed.wait_for(lock, std::chrono::milliseconds(ms), [&] {
        return static_cast<size_t>(std::count_if(m_connections.begin(), m_connections.end(),
                                                 [](const Connection& c) { return c.closedByClient; })) >= count;
    });
}

void HttpTestServer::acceptLoop() {
    const loopback::Socket listener = m_listener;
    while (running()) {
        if (!readable(listener, kSliceMs)) continue;
        const loopback::Socket fd = loopback::accept(listener);
        if (fd == kNone) continue;
        std::lock_guard<std::mutex> lock(m_lock);
        const int index = static_cast<int>(m_connections.size());
        m_connections.push_back(Connection());
        m_threads.emplace_back([this, fd, index] { serve(fd, index); });
    }
}

void HttpTestServer::serve(intptr_t socket, int index) {
    const loopback::Socket fd = socket;
    std::string unread;
    bool open = true;
    bool answering = true;  // false once the behaviour says to stay silent
    while (open && running()) {
        if (!readable(fd, kSliceMs)) continue;
        char buffer[4096];
        const int n = loopback::receive(fd, buffer, sizeof buffer);
        if (n <= 0) {  // end of stream or reset: the client is gone
            std::lock_guard<std::mutex> lock(m_lock);
            m_connections[index].closedByClient = true;
            m_changed.notify_all();
            break;
        }
        Behaviour behaviour;
        std::vector<size_t> complete;
        size_t firstComplete = 0;
        {
            std::lock_guard<std::mutex> lock(m_lock);
            m_connections[index].bytes.append(buffer, static_cast<size_t>(n));
            unread.append(buffer, static_cast<size_t>(n));
            firstComplete = m_requests.size();
            while (size_t length = completeRequest(unread)) {
                const auto now = std::chrono::steady_clock::now();
                m_requests.push_back({unread.substr(0, length), now, index, now});
                unread.erase(0, length);
                complete.push_back(length);
            }
            behaviour = m_behaviour;
            m_changed.notify_all();
        }
        for (size_t i = 0; i < complete.size() && open && answering; ++i) {
            switch (behaviour.mode) {
                case Mode::Answer: {
                    const auto due = std::chrono::steady_clock::now() + std::chrono::milliseconds(behaviour.delayMs);
                    while (running() && std::chrono::steady_clock::now() < due) {
                        std::this_thread::sleep_for(std::chrono::milliseconds(std::min(kSliceMs, behaviour.delayMs)));
                    }
                    std::string target;
                    {
                        std::lock_guard<std::mutex> lock(m_lock);
                        target = m_requests[firstComplete + i].target();
                    }
                    int status = behaviour.status;
                    std::string location;
                    for (const auto& redirect : behaviour.redirects) {
                        if (redirect.first != target) continue;
                        status = 302;
                        location = "\r\nLocation: " + redirect.second;
                        break;
                    }
                    sendAll(fd, "HTTP/1.1 " + std::to_string(status) + " " + reasonPhrase(status) + location +
                                    "\r\nContent-Type: text/plain\r\nContent-Length: 2\r\n\r\nok");
                    std::lock_guard<std::mutex> lock(m_lock);
                    m_requests[firstComplete + i].answered = std::chrono::steady_clock::now();
                    break;
                }
                case Mode::AcceptAndClose: open = false; break;
                case Mode::Reset:
                    loopback::resetOnClose(fd);
                    open = false;
                    break;
                case Mode::Silent: answering = false; break;
                case Mode::HalfHeaders:
                    sendAll(fd, "HTTP/1.1 " + std::to_string(behaviour.status) + " " +
                                    reasonPhrase(behaviour.status) + "\r\nContent-Type: te");
                    answering = false;
                    break;
                case Mode::Raw:
                    sendAll(fd, behaviour.raw);
                    answering = false;
                    break;
            }
        }
    }
    loopback::close(fd);
}

void HttpTestServer::stop() {
    std::lock_guard<std::mutex> stopLock(m_stopLock);
    m_stopping = true;
    if (m_acceptor.joinable()) m_acceptor.join();
    std::vector<std::thread> threads;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        threads.swap(m_threads);
    }
    for (auto& t : threads) t.join();
    if (m_listener != kNone) {
        loopback::close(m_listener);
        m_listener = kNone;
    }
}

RefusingPort::RefusingPort() : m_socket(kNone) { m_socket = loopback::bind(m_port); }

RefusingPort::~RefusingPort() {
    if (m_socket != kNone) loopback::close(m_socket);
}

std::string rawHttpExchange(unsigned short port, const std::string& bytes, int timeoutMs) {
    const loopback::Socket fd = loopback::connect(port);
    if (fd == kNone) return "";
    std::string received;
    sendAll(fd, bytes);
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (received.find("\r\n\r\n") == std::string::npos && std::chrono::steady_clock::now() < until) {
        if (!readable(fd, kSliceMs)) continue;
        char buffer[4096];
        const int n = loopback::receive(fd, buffer, sizeof buffer);
        if (n <= 0) break;
        received.append(buffer, static_cast<size_t>(n));
    }
    loopback::close(fd);
    return received;
}
