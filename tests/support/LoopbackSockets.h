#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

// Plain TCP sockets of 127.0.0.1 (Winsock in the Windows build), so that the tests see the bytes exactly and can
// misbehave at will. A socket is held as an integer on every build.
namespace loopback {

using Socket = std::intptr_t;
constexpr Socket kNone = -1;

// A socket bound to `port` (in: the port wanted, 0 for any; out: the port bound), not listening; kNone on failure.
Socket bind(unsigned short& port);
bool listen(Socket socket);
// The next connection, with Nagle's delay off; kNone on failure.
Socket accept(Socket listener);
// A connection to 127.0.0.1:`port`; kNone when it is refused or fails.
Socket connect(unsigned short port);
// True once there is something to read (or the peer has gone) within `ms`.
bool readable(Socket socket, int ms);
// What one receive returns: the bytes read, 0 at the end of the stream, negative on an error.
int receive(Socket socket, char* buffer, std::size_t size);
// Sends every byte, stopping at the first failure.
void sendAll(Socket socket, const std::string& bytes);
// The close that follows resets the connection instead of ending it.
void resetOnClose(Socket socket);
void close(Socket socket);

}  // namespace loopback
