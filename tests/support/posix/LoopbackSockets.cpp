#include "LoopbackSockets.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace loopback {

namespace {

int fdOf(Socket socket) { return static_cast<int>(socket); }

sockaddr_in loopbackAddress(unsigned short port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

}  // namespace

Socket bind(unsigned short& port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (fd < 0) return kNone;
    sockaddr_in address = loopbackAddress(port);
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(fd);
        return kNone;
    }
    port = ntohs(address.sin_port);
    return fd;
}

bool listen(Socket socket) { return ::listen(fdOf(socket), 64) == 0; }

Socket accept(Socket listener) {
    const int fd = ::accept(fdOf(listener), nullptr, nullptr);
    if (fd < 0) return kNone;
    const int noDelay = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
    return fd;
}

Socket connect(unsigned short port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (fd < 0) return kNone;
    const sockaddr_in address = loopbackAddress(port);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return kNone;
    }
    return fd;
}

bool readable(Socket socket, int ms) {
    pollfd p{};
    p.fd = fdOf(socket);
    p.events = POLLIN;
    return ::poll(&p, 1, ms) > 0;
}

int receive(Socket socket, char* buffer, std::size_t size) {
    return static_cast<int>(::recv(fdOf(socket), buffer, size, 0));
}

void sendAll(Socket socket, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fdOf(socket), bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

void resetOnClose(Socket socket) {
    linger hard{};
    hard.l_onoff = 1;
    hard.l_linger = 0;
    ::setsockopt(fdOf(socket), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
}

void close(Socket socket) { ::close(fdOf(socket)); }

}  // namespace loopback
