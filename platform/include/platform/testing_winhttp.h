// Test controls of the WinHTTP stand-in.
#pragma once
#include <winhttp.h>

#include <string>
#include <vector>

namespace platform_test {
// One WinHttpCloseHandle call: the handle, what it was ("session", "connect", "request", or "invalid" when it was
// not open) and whether the call succeeded.
struct WinHttpClose {
    HINTERNET handle;
    std::string kind;
    bool closed;
};
// Every WinHttpCloseHandle call of this process since the last clear, in order.
std::vector<WinHttpClose> winHttpCloses();
void clearWinHttpCloses();
// WinHTTP handles open now.
unsigned winHttpOpenHandles();
}
