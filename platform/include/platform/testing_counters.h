// Test controls of the thread, process and processor counters.
#pragma once

namespace platform_test {
// The counters read "<root>/self/task/<tid>/stat", "<root>/self/status" and "<root>/stat" instead of the files
// under /proc; null goes back to /proc.
void setProcRoot(const char* root);
// The next call to OpenProcess fails with ERROR_ACCESS_DENIED.
void failNextOpenProcess();
}
