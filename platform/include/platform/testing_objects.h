// Test controls of the stand-in's handles and named objects.
#pragma once
#include <windows.h>

namespace platform_test {
// Uses of a handle value after it was closed (each one failed with ERROR_INVALID_HANDLE), since the process began.
unsigned long staleHandleUses();
// Puts under `name` a live object of another layout version, as a process of an older or newer build would hold
// it, and keeps it held until releaseForeignLayoutObjects(). False when it cannot be written.
bool plantForeignLayoutObject(const char* name);
void releaseForeignLayoutObjects();
}
