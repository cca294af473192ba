// Test controls of the stand-in. Only tests include this header.
#pragma once
#include <windows.h>

namespace platform_test {
// The next `count` calls to CreateThread fail with `error`.
void failCreateThread(unsigned count, DWORD error);
}
