// WinHTTP over plain blocking-style sockets: one TCP connection per request handle (a new one for each redirect
// followed), no proxy, no TLS. Every limit is a deadline for the whole step it bounds, so a trickling server cannot
// stretch a call.
#include "internal.h"
#include "text_internal.h"

#include <platform/testing_winhttp.h>
#include <winhttp.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cctype>
#include <cstdlib>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#ifndef ERROR_WINHTTP_INCORRECT_HANDLE_TYPE
#define ERROR_WINHTTP_INCORRECT_HANDLE_TYPE 12018u
#endif

namespace {

using platform::detail::toUtf8;

constexpr size_t kMaxHeaderBlock = 64 * 1024;
constexpr int kMaxAutomaticRedirects = 10;  // WinHTTP's default

struct Timeouts {
    // WinHTTP's initial values: resolve unlimited, connect 60 s, send and receive 30 s.
    int resolve = 0;
    int connect = 60000;
    int send = 30000;
    int receive = 30000;
    // WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT: the whole wait for the response's headers, 90 s at first.
    int receiveResponse = 90000;
};

enum class Kind { Session, Connect, Request };

const char* kindName(Kind kind) {
    switch (kind) {
        case Kind::Session: return "session";
        case Kind::Connect: return "connect";
        case Kind::Request: return "request";
    }
    return "invalid";
}

struct Object {
    explicit Object(Kind k) : kind(k) {}
    virtual ~Object() = default;
    const Kind kind;
};

struct Session : Object {
    Session() : Object(Kind::Session) {}
    std::string agent;
    Timeouts timeouts;  // guarded by the handle table's lock
};

struct Connection : Object {
    Connection() : Object(Kind::Connect) {}
    std::string host;  // as given, for the Host header
    INTERNET_PORT port = INTERNET_DEFAULT_HTTP_PORT;
    std::shared_ptr<Session> session;  // stays usable when the session handle closes first
};

struct Request : Object {
    Request() : Object(Kind::Request) {}
    ~Request() override {
        if (fd >= 0) ::close(fd);
    }
    enum class State { Opened, Sending, Sent, Received, Failed };

    std::shared_ptr<Connection> connection;
    Timeouts timeouts;  // guarded by the handle table's lock
    // What goes on the wire, kept apart so that a redirect can send it again elsewhere.
    std::string verb, path, version;
    std::string host;  // where the request goes: the connection's target until a redirect moves it
    INTERNET_PORT port = INTERNET_DEFAULT_HTTP_PORT;
    std::string openHeaders;  // fixed at open, after Host
    std::string sendHeaders;  // added at send
    std::string body;
    State state = State::Opened;

    // The socket may be shut down by a close on another thread while a call waits on it.
    std::mutex fdLock;
    int fd = -1;
    bool closed = false;

    std::string pending;  // bytes read past the header block
    std::string headers;  // the final header block
    DWORD status = 0;
    long long contentLength = -1;
    long long bodyRead = 0;
};

struct Table {
    std::mutex lock;
    platform::detail::HandleMap<std::shared_ptr<Object>> open{0x7A000, 8};
    std::vector<platform_test::WinHttpClose> closes;
};

Table& table() {
    static auto* t = new Table();  // outlives static destructors: a client may close handles at exit
    return *t;
}

HINTERNET publish(std::shared_ptr<Object> object) {
    Table& t = table();
    std::lock_guard<std::mutex> lock(t.lock);
    return reinterpret_cast<HINTERNET>(t.open.add(std::move(object)));
}

std::shared_ptr<Object> lookup(HINTERNET handle) {
    Table& t = table();
    std::lock_guard<std::mutex> lock(t.lock);
    const std::shared_ptr<Object>* found = t.open.find(reinterpret_cast<uintptr_t>(handle));
    return found ? *found : nullptr;
}

template <class T>
std::shared_ptr<T> lookupAs(HINTERNET handle, Kind kind) {
    std::shared_ptr<Object> object = lookup(handle);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (object->kind != kind) {
        SetLastError(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE);
        return nullptr;
    }
    return std::static_pointer_cast<T>(object);
}

BOOL fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

// WinHTTP's default escaping of the object name: blanks, control bytes, non-ASCII bytes and "<> become %XX;
// '%' is taken as an escape already made.
std::string escapePath(const std::string& path) {
    return platform::detail::percentEscaped(
        path, [](unsigned char c, size_t) { return c <= 0x20 || c >= 0x7F || c == '"' || c == '<' || c == '>'; });
}

class Deadline {
public:
    explicit Deadline(int ms)
        : m_infinite(ms <= 0), m_at(std::chrono::steady_clock::now() + std::chrono::milliseconds(ms > 0 ? ms : 0)) {}
    // For poll: -1 without a limit, else the milliseconds left (0 once passed).
    int remaining() const {
        if (m_infinite) return -1;
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(m_at - std::chrono::steady_clock::now()).count();
        return left > 0 ? static_cast<int>(left) : 0;
    }

private:
    bool m_infinite;
    std::chrono::steady_clock::time_point m_at;
};

// Waits until `fd` is ready for `events`: 0 ready, else the WinHTTP error.
DWORD waitFor(int fd, short events, const Deadline& deadline) {
    for (;;) {
        pollfd p{fd, events, 0};
        const int n = ::poll(&p, 1, deadline.remaining());
        if (n > 0) return 0;  // errors and hang-ups show in the following call
        if (n == 0) return ERROR_WINHTTP_TIMEOUT;
        if (errno != EINTR) return ERROR_WINHTTP_CONNECTION_ERROR;
    }
}

// Tries every address of the host in order; 0 and the socket, or the WinHTTP error.
DWORD connectTo(const std::string& host, INTERNET_PORT port, int timeoutMs, int& fdOut) {
    std::string name = host;
    if (name.size() > 2 && name.front() == '[' && name.back() == ']') name = name.substr(1, name.size() - 2);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* found = nullptr;
    if (::getaddrinfo(name.c_str(), std::to_string(port).c_str(), &hints, &found) != 0 || !found) {
        return ERROR_WINHTTP_NAME_NOT_RESOLVED;
    }
    const Deadline deadline(timeoutMs);
    DWORD error = ERROR_WINHTTP_CANNOT_CONNECT;
    for (addrinfo* a = found; a; a = a->ai_next) {
        const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) continue;
        int rc = ::connect(fd, a->ai_addr, a->ai_addrlen);
        if (rc != 0 && errno == EINPROGRESS) {
            const DWORD waited = waitFor(fd, POLLOUT, deadline);
            if (waited == ERROR_WINHTTP_TIMEOUT) {
                ::close(fd);
                error = ERROR_WINHTTP_TIMEOUT;
                break;  // the limit covers all addresses together
            }
            int soError = 0;
            socklen_t len = sizeof soError;
            rc = (waited == 0 && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len) == 0 && soError == 0) ? 0 : -1;
        }
        if (rc == 0) {
            ::freeaddrinfo(found);
            fdOut = fd;
            return 0;
        }
        ::close(fd);
    }
    ::freeaddrinfo(found);
    return error;
}

DWORD sendAll(int fd, const std::string& bytes, const Deadline& deadline) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (DWORD error = waitFor(fd, POLLOUT, deadline)) return error;
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            return ERROR_WINHTTP_CONNECTION_ERROR;
        }
    }
    return 0;
}

// Appends what arrives to `into`: 0 with `eof` false after some bytes, 0 with `eof` true at the end of the
// stream, else the WinHTTP error.
DWORD receiveSome(int fd, std::string& into, const Deadline& deadline, bool& eof) {
    eof = false;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n > 0) {
            into.append(buffer, static_cast<size_t>(n));
            return 0;
        }
        if (n == 0) {
            eof = true;
            return 0;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (DWORD error = waitFor(fd, POLLIN, deadline)) return error;
        } else if (errno != EINTR) {
            return ERROR_WINHTTP_CONNECTION_ERROR;
        }
    }
}

bool isValidHost(const std::string& host) {
    if (host.empty()) return false;
    for (unsigned char c : host) {
        if (c <= 0x20 || c == 0x7F) return false;
    }
    return true;
}

std::string hostHeader(const std::string& host, INTERNET_PORT port) {
    std::string text = (host.find(':') != std::string::npos && host.front() != '[') ? "[" + host + "]" : host;
    if (port != INTERNET_DEFAULT_HTTP_PORT) text += ":" + std::to_string(port);
    return text;
}

bool startsWithHttp(const std::string& bytes) {
    static const char prefix[] = "HTTP/";
    const size_t n = std::min(bytes.size(), sizeof prefix - 1);
    return bytes.compare(0, n, prefix, n) == 0;
}

// The status code of a status line "HTTP/x.y ddd ...", or 0 when it is not one.
DWORD parseStatus(const std::string& block) {
    const size_t space = block.find(' ');
    const size_t lineEnd = block.find_first_of("\r\n");
    if (space == std::string::npos || space > lineEnd || space + 4 > block.size()) return 0;
    DWORD code = 0;
    for (size_t i = space + 1; i < space + 4; ++i) {
        if (block[i] < '0' || block[i] > '9') return 0;
        code = code * 10 + static_cast<DWORD>(block[i] - '0');
    }
    const char after = space + 4 < block.size() ? block[space + 4] : '\r';
    if (after != ' ' && after != '\r' && after != '\n') return 0;
    return code >= 100 ? code : 0;
}

std::string lowered(std::string text) {
    for (auto& ch : text) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    return text;
}

// The value of the first header `lowerName` of the block, blanks around it trimmed; false when there is none.
bool headerValue(const std::string& block, const std::string& lowerName, std::string& value) {
    size_t start = block.find('\n');
    while (start != std::string::npos && start + 1 < block.size()) {
        const size_t end = block.find('\n', start + 1);
        std::string line = block.substr(start + 1, end == std::string::npos ? std::string::npos : end - start - 1);
        const size_t colon = line.find(':');
        if (colon != std::string::npos && lowered(line.substr(0, colon)) == lowerName) {
            const size_t first = line.find_first_not_of(" \t", colon + 1);
            const size_t last = line.find_last_not_of(" \t\r");
            value = first == std::string::npos || last < first ? std::string() : line.substr(first, last - first + 1);
            return true;
        }
        start = end;
    }
    return false;
}

long long parseContentLength(const std::string& block) {
    std::string text;
    if (!headerValue(block, "content-length", text)) return -1;
    const long long value = std::strtoll(text.c_str(), nullptr, 10);
    return value >= 0 ? value : -1;
}

bool isRedirect(DWORD status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// Points `request` at the redirect's `location`: an absolute http URL, one without a scheme ("//host/path"), an
// absolute path or a path relative to the current one. 0, or the WinHTTP error.
DWORD moveTo(Request& request, std::string location) {
    location = location.substr(0, location.find('#'));
    if (location.empty()) return ERROR_WINHTTP_INVALID_URL;
    const size_t schemeEnd = location.find(':');
    const size_t firstSlash = location.find_first_of("/?");
    if (schemeEnd != std::string::npos && schemeEnd < firstSlash) {
        const std::string scheme = lowered(location.substr(0, schemeEnd));
        if (scheme == "https") return ERROR_NOT_SUPPORTED;
        if (scheme != "http") return ERROR_WINHTTP_UNRECOGNIZED_SCHEME;
        location.erase(0, schemeEnd + 1);
        if (location.compare(0, 2, "//") != 0) return ERROR_WINHTTP_INVALID_URL;
    }
    if (location.compare(0, 2, "//") == 0) {
        const size_t pathStart = location.find_first_of("/?", 2);
        std::string authority = location.substr(2, pathStart == std::string::npos ? std::string::npos : pathStart - 2);
        authority.erase(0, authority.rfind('@') + 1);  // credentials in the URL are not sent
        std::string host = authority;
        INTERNET_PORT port = INTERNET_DEFAULT_HTTP_PORT;
        const size_t colon = authority.rfind(':');
        if (colon != std::string::npos && authority.find(']', colon) == std::string::npos) {
            host = authority.substr(0, colon);
            const std::string digits = authority.substr(colon + 1);
            if (!digits.empty()) {
                if (digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos) {
                    return ERROR_WINHTTP_INVALID_URL;
                }
                const unsigned long value = std::stoul(digits);
                if (value == 0 || value > 65535) return ERROR_WINHTTP_INVALID_URL;
                port = static_cast<INTERNET_PORT>(value);
            }
        }
        if (!isValidHost(host)) return ERROR_WINHTTP_INVALID_URL;
        request.host = host;
        request.port = port;
        location = pathStart == std::string::npos ? std::string("/") : location.substr(pathStart);
        if (location.front() == '?') location.insert(0, "/");
    } else if (location.front() != '/') {
        const std::string current = request.path.substr(0, request.path.find('?'));
        location = current.substr(0, current.rfind('/') + 1) + location;
    }
    request.path = escapePath(location);
    return 0;
}

// The request as it goes on the wire to its present target.
std::string wireBytes(const Request& request) {
    std::string bytes = request.verb + " " + request.path + " " + request.version + "\r\n";
    bytes += "Connection: Keep-Alive\r\n";
    const std::string& agent = request.connection->session->agent;
    if (!agent.empty()) bytes += "User-Agent: " + agent + "\r\n";
    bytes += "Host: " + hostHeader(request.host, request.port) + "\r\n";
    bytes += request.openHeaders + request.sendHeaders;
    if (!request.body.empty()) bytes += "Content-Length: " + std::to_string(request.body.size()) + "\r\n";
    bytes += "\r\n";
    return bytes + request.body;
}

// Connects to the request's target on a new connection (the one before, if any, is closed) and sends it.
DWORD connectAndSend(Request& request, const Timeouts& timeouts) {
    int fd = -1;
    if (DWORD error = connectTo(request.host, request.port, timeouts.connect, fd)) return error;
    {
        std::lock_guard<std::mutex> lock(request.fdLock);
        if (request.fd >= 0) ::close(request.fd);
        request.fd = fd;
        if (request.closed) ::shutdown(fd, SHUT_RDWR);
    }
    return sendAll(fd, wireBytes(request), Deadline(timeouts.send));
}

void recordClose(HINTERNET handle, const char* kind, bool closed) {
    Table& t = table();
    std::lock_guard<std::mutex> lock(t.lock);
    t.closes.push_back({handle, kind, closed});
}

BOOL copyWide(const std::string& text, LPVOID buffer, LPDWORD bufferLength) {
    const DWORD needed = static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t));
    if (!buffer || *bufferLength < needed) {
        *bufferLength = needed;
        return fail(ERROR_INSUFFICIENT_BUFFER);
    }
    auto* out = static_cast<wchar_t*>(buffer);
    for (size_t i = 0; i < text.size(); ++i) out[i] = static_cast<unsigned char>(text[i]);
    out[text.size()] = L'\0';
    *bufferLength = needed - sizeof(wchar_t);
    return TRUE;
}

}  // namespace

HINTERNET WinHttpOpen(LPCWSTR agent, DWORD /*accessType*/, LPCWSTR /*proxyName*/, LPCWSTR /*proxyBypass*/,
                      DWORD flags) {
    if (flags != 0) {  // no asynchronous mode: there are no callbacks
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    auto session = std::make_shared<Session>();
    session->agent = toUtf8(agent);
    return publish(std::move(session));
}

BOOL WinHttpSetTimeouts(HINTERNET handle, int resolveTimeout, int connectTimeout, int sendTimeout,
                        int receiveTimeout) {
    std::shared_ptr<Object> object = lookup(handle);
    if (!object) return fail(ERROR_INVALID_HANDLE);
    if (resolveTimeout < -1 || connectTimeout < -1 || sendTimeout < -1 || receiveTimeout < -1) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    Timeouts* target = nullptr;
    if (object->kind == Kind::Session) target = &static_cast<Session&>(*object).timeouts;
    if (object->kind == Kind::Request) target = &static_cast<Request&>(*object).timeouts;
    if (!target) return fail(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE);
    std::lock_guard<std::mutex> lock(table().lock);
    *target = Timeouts{resolveTimeout, connectTimeout, sendTimeout, receiveTimeout, target->receiveResponse};
    return TRUE;
}

BOOL WinHttpSetOption(HINTERNET handle, DWORD option, LPVOID buffer, DWORD bufferLength) {
    std::shared_ptr<Object> object = lookup(handle);
    if (!object) return fail(ERROR_INVALID_HANDLE);
    if (option != WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT) return fail(ERROR_WINHTTP_INVALID_OPTION);
    if (!buffer || bufferLength != sizeof(DWORD)) return fail(ERROR_INVALID_PARAMETER);
    Timeouts* target = nullptr;
    if (object->kind == Kind::Session) target = &static_cast<Session&>(*object).timeouts;
    if (object->kind == Kind::Request) target = &static_cast<Request&>(*object).timeouts;
    if (!target) return fail(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE);
    std::lock_guard<std::mutex> lock(table().lock);
    target->receiveResponse = static_cast<int>(*static_cast<const DWORD*>(buffer));
    return TRUE;
}

HINTERNET WinHttpConnect(HINTERNET sessionHandle, LPCWSTR serverName, INTERNET_PORT serverPort, DWORD /*reserved*/) {
    auto session = lookupAs<Session>(sessionHandle, Kind::Session);
    if (!session) return nullptr;
    const std::string host = toUtf8(serverName);
    if (!serverName || !isValidHost(host)) {
        SetLastError(ERROR_WINHTTP_INVALID_URL);
        return nullptr;
    }
    auto connection = std::make_shared<Connection>();
    connection->session = session;
    connection->host = host;
    connection->port = serverPort == INTERNET_DEFAULT_PORT ? INTERNET_DEFAULT_HTTP_PORT : serverPort;
    return publish(std::move(connection));
}

HINTERNET WinHttpOpenRequest(HINTERNET connectHandle, LPCWSTR verb, LPCWSTR objectName, LPCWSTR version,
                             LPCWSTR referrer, LPCWSTR* acceptTypes, DWORD flags) {
    auto connection = lookupAs<Connection>(connectHandle, Kind::Connect);
    if (!connection) return nullptr;
    if (flags & WINHTTP_FLAG_SECURE) {  // no TLS here
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    std::string path = toUtf8(objectName);
    if (path.empty()) path = "/";
    if (!(flags & WINHTTP_FLAG_ESCAPE_DISABLE)) path = escapePath(path);

    auto request = std::make_shared<Request>();
    request->connection = connection;
    request->verb = verb && *verb ? toUtf8(verb) : std::string("GET");
    request->path = path;
    request->version = version && *version ? toUtf8(version) : std::string("HTTP/1.1");
    request->host = connection->host;
    request->port = connection->port;
    if (referrer && *referrer) request->openHeaders += "Referer: " + toUtf8(referrer) + "\r\n";
    if (acceptTypes && *acceptTypes) {
        std::string accept;
        for (LPCWSTR* type = acceptTypes; *type; ++type) accept += (accept.empty() ? "" : ", ") + toUtf8(*type);
        request->openHeaders += "Accept: " + accept + "\r\n";
    }
    {
        std::lock_guard<std::mutex> lock(table().lock);
        request->timeouts = connection->session->timeouts;
    }
    return publish(std::move(request));
}

BOOL WinHttpSendRequest(HINTERNET requestHandle, LPCWSTR headers, DWORD headersLength, LPVOID optional,
                        DWORD optionalLength, DWORD totalLength, DWORD_PTR /*context*/) {
    auto request = lookupAs<Request>(requestHandle, Kind::Request);
    if (!request) return FALSE;
    if (totalLength > optionalLength) return fail(ERROR_NOT_SUPPORTED);  // no WinHttpWriteData
    if (request->state != Request::State::Opened) return fail(ERROR_WINHTTP_INCORRECT_HANDLE_STATE);
    request->state = Request::State::Sending;

    if (headers && headersLength != 0) {
        const size_t length = headersLength == static_cast<DWORD>(-1) ? std::wcslen(headers) : headersLength;
        std::string extra = toUtf8(headers, length);
        size_t start = 0;
        while (start < extra.size()) {
            size_t end = extra.find('\n', start);
            if (end == std::string::npos) end = extra.size();
            std::string line = extra.substr(start, end - start);
            while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
            if (!line.empty()) request->sendHeaders += line + "\r\n";
            start = end + 1;
        }
    }
    if (optional && optionalLength) request->body.assign(static_cast<const char*>(optional), optionalLength);

    Timeouts timeouts;
    {
        std::lock_guard<std::mutex> lock(table().lock);
        timeouts = request->timeouts;
    }
    if (DWORD error = connectAndSend(*request, timeouts)) {
        request->state = Request::State::Failed;
        return fail(error);
    }
    request->state = Request::State::Sent;
    return TRUE;
}

BOOL WinHttpReceiveResponse(HINTERNET requestHandle, LPVOID /*reserved*/) {
    auto request = lookupAs<Request>(requestHandle, Kind::Request);
    if (!request) return FALSE;
    if (request->state != Request::State::Sent) return fail(ERROR_WINHTTP_INCORRECT_HANDLE_STATE);
    Timeouts timeouts;
    {
        std::lock_guard<std::mutex> lock(table().lock);
        timeouts = request->timeouts;
    }
    // The headers are waited for within both limits, 0 and -1 lifting one; redirects followed included.
    const int receive = timeouts.receive, response = timeouts.receiveResponse;
    const int receiveLimit = receive <= 0 ? response : response <= 0 ? receive : std::min(receive, response);
    const Deadline deadline(receiveLimit);
    std::string& buffer = request->pending;
    request->state = Request::State::Failed;  // until a final response is in
    int redirects = 0;
    for (;;) {
        if (!startsWithHttp(buffer)) return fail(ERROR_WINHTTP_INVALID_SERVER_RESPONSE);
        size_t end = buffer.find("\r\n\r\n");
        size_t endLength = 4;
        const size_t bare = buffer.find("\n\n");
        if (bare != std::string::npos && (end == std::string::npos || bare < end)) {
            end = bare;
            endLength = 2;
        }
        if (end == std::string::npos) {
            if (buffer.size() > kMaxHeaderBlock) return fail(ERROR_WINHTTP_HEADER_SIZE_OVERFLOW);
            bool eof = false;
            if (DWORD error = receiveSome(request->fd, buffer, deadline, eof)) return fail(error);
            if (eof) return fail(ERROR_WINHTTP_INVALID_SERVER_RESPONSE);
            continue;
        }
        if (end + endLength > kMaxHeaderBlock) return fail(ERROR_WINHTTP_HEADER_SIZE_OVERFLOW);
        std::string block = buffer.substr(0, end + endLength);
        buffer.erase(0, end + endLength);
        const DWORD status = parseStatus(block);
        if (status == 0) return fail(ERROR_WINHTTP_INVALID_SERVER_RESPONSE);
        if (status < 200) continue;  // an interim response: the final one follows
        std::string location;
        if (isRedirect(status) && headerValue(block, "location", location) && !location.empty()) {
            if (++redirects > kMaxAutomaticRedirects) return fail(ERROR_WINHTTP_REDIRECT_FAILED);
            if (DWORD error = moveTo(*request, location)) return fail(error);
            const bool toGet = (status == 303 && request->verb != "HEAD") ||
                               ((status == 301 || status == 302) && request->verb == "POST");
            if (toGet) {
                request->verb = "GET";
                request->body.clear();
            }
            buffer.clear();  // the redirect's own body is not read
            if (DWORD error = connectAndSend(*request, timeouts)) return fail(error);
            continue;
        }
        request->status = status;
        request->headers = block;
        request->contentLength = parseContentLength(block);
        request->state = Request::State::Received;
        return TRUE;
    }
}

BOOL WinHttpQueryHeaders(HINTERNET requestHandle, DWORD infoLevel, LPCWSTR /*name*/, LPVOID buffer,
                         LPDWORD bufferLength, LPDWORD /*index*/) {
    auto request = lookupAs<Request>(requestHandle, Kind::Request);
    if (!request) return FALSE;
    if (request->state != Request::State::Received) return fail(ERROR_WINHTTP_INCORRECT_HANDLE_STATE);
    if (!bufferLength) return fail(ERROR_INVALID_PARAMETER);
    const DWORD level = infoLevel & 0xFFFF;
    if (level == WINHTTP_QUERY_STATUS_CODE && (infoLevel & WINHTTP_QUERY_FLAG_NUMBER)) {
        if (!buffer || *bufferLength < sizeof(DWORD)) {
            *bufferLength = sizeof(DWORD);
            return fail(ERROR_INSUFFICIENT_BUFFER);
        }
        *static_cast<DWORD*>(buffer) = request->status;
        *bufferLength = sizeof(DWORD);
        return TRUE;
    }
    if (infoLevel == WINHTTP_QUERY_STATUS_CODE) return copyWide(std::to_string(request->status), buffer, bufferLength);
    if (infoLevel == WINHTTP_QUERY_RAW_HEADERS_CRLF) return copyWide(request->headers, buffer, bufferLength);
    return fail(ERROR_NOT_SUPPORTED);
}

BOOL WinHttpReadData(HINTERNET requestHandle, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead) {
    auto request = lookupAs<Request>(requestHandle, Kind::Request);
    if (!request) return FALSE;
    if (request->state != Request::State::Received) return fail(ERROR_WINHTTP_INCORRECT_HANDLE_STATE);
    if (!bytesRead || (!buffer && bytesToRead)) return fail(ERROR_INVALID_PARAMETER);
    *bytesRead = 0;
    long long wanted = bytesToRead;
    if (request->contentLength >= 0) wanted = std::min(wanted, request->contentLength - request->bodyRead);
    if (wanted <= 0) return TRUE;
    if (request->pending.empty()) {
        int receiveLimit;
        {
            std::lock_guard<std::mutex> lock(table().lock);
            receiveLimit = request->timeouts.receive;
        }
        bool eof = false;
        if (DWORD error = receiveSome(request->fd, request->pending, Deadline(receiveLimit), eof)) return fail(error);
        if (eof) return TRUE;  // the body ends with the connection
    }
    const size_t n = std::min(request->pending.size(), static_cast<size_t>(wanted));
    std::memcpy(buffer, request->pending.data(), n);
    request->pending.erase(0, n);
    request->bodyRead += static_cast<long long>(n);
    *bytesRead = static_cast<DWORD>(n);
    return TRUE;
}

BOOL WinHttpCloseHandle(HINTERNET handle) {
    std::shared_ptr<Object> object;
    {
        Table& t = table();
        std::lock_guard<std::mutex> lock(t.lock);
        object = t.open.take(reinterpret_cast<uintptr_t>(handle)).value_or(nullptr);
    }
    if (!object) {
        recordClose(handle, "invalid", false);
        return fail(ERROR_INVALID_HANDLE);
    }
    recordClose(handle, kindName(object->kind), true);
    if (object->kind == Kind::Request) {
        auto& request = static_cast<Request&>(*object);
        std::lock_guard<std::mutex> lock(request.fdLock);
        request.closed = true;
        // Wakes a call still waiting on the socket in another thread; the socket closes with its last user.
        if (request.fd >= 0) ::shutdown(request.fd, SHUT_RDWR);
    }
    return TRUE;
}

namespace platform_test {

std::vector<WinHttpClose> winHttpCloses() {
    Table& t = table();
    std::lock_guard<std::mutex> lock(t.lock);
    return t.closes;
}

void clearWinHttpCloses() {
    Table& t = table();
    std::lock_guard<std::mutex> lock(t.lock);
    t.closes.clear();
}

unsigned winHttpOpenHandles() {
    Table& t = table();
    std::lock_guard<std::mutex> lock(t.lock);
    return static_cast<unsigned>(t.open.size());
}

}  // namespace platform_test
