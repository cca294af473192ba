// Stand-in for the shell's path helpers.
#pragma once
#include <windows.h>

// Appends `more` to `path` (a MAX_PATH buffer) with one '\' between them. FALSE, the buffer unchanged, when the
// result would not fit.
BOOL PathAppendA(LPSTR path, LPCSTR more);
