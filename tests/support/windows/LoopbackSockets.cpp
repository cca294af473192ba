#include "LoopbackSockets.h"

#include <winsock2.h>
#include <ws2tcpip.h>

namespace loopback {

namespace {

SOCKET socketOf(Socket socket) { return static_cast<SOCKET>(socket); }
Socket heldAs(SOCKET socket) { return socket == INVALID_SOCKET ? kNone : static_cast<Socket>(socket); }

void startSockets() {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    (void)started;
}

sockaddr_in loopbackAddress(unsigned short port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

}  // namespace

Socket bind(unsigned short& port) {
    startSockets();
    const SOCKET fd = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (fd == INVALID_SOCKET) return kNone;
    sockaddr_in address = loopbackAddress(port);
    int length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        closesocket(fd);
        return kNone;
    }
    port = ntohs(address.sin_port);
    return heldAs(fd);
}

bool listen(Socket socket) { return ::listen(socketOf(socket), 64) == 0; }

Socket accept(Socket listener) {
    const SOCKET fd = ::accept(socketOf(listener), nullptr, nullptr);
    if (fd == INVALID_SOCKET) return kNone;
    const int noDelay = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof noDelay);
    return heldAs(fd);
}

Socket connect(unsigned short port) {
    startSockets();
    const SOCKET fd = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (fd == INVALID_SOCKET) return kNone;
    const sockaddr_in address = loopbackAddress(port);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        closesocket(fd);
        return kNone;
    }
    return heldAs(fd);
}

bool readable(Socket socket, int ms) {
    WSAPOLLFD p{};
    p.fd = socketOf(socket);
    p.events = POLLIN;
    return WSAPoll(&p, 1, ms) > 0;
}

int receive(Socket socket, char* buffer, std::size_t size) {
    return ::recv(socketOf(socket), buffer, static_cast<int>(size), 0);
}

void sendAll(Socket socket, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const int n = ::send(socketOf(socket), bytes.data() + done, static_cast<int>(bytes.size() - done), 0);
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

void resetOnClose(Socket socket) {
    linger hard{};
    hard.l_onoff = 1;
    hard.l_linger = 0;
    ::setsockopt(socketOf(socket), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&hard), sizeof hard);
}

void close(Socket socket) { closesocket(socketOf(socket)); }

}  // namespace loopback
