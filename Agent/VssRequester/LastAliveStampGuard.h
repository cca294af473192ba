#pragma once
#include <windows.h>

// The reliability stamp, set aside for the frozen period: read and deleted (and the deletion flushed), then written
// back. Written back only when it was read and deleted.
class LastAliveStampCache {
public:
    HKEY openKey();
    bool save();
    bool restore();

private:
    BYTE m_data[16] = {};
    DWORD m_size = 0;
    bool m_saved = false;
};

class LastAliveStampGuard {
public:
    LastAliveStampGuard();
    ~LastAliveStampGuard();
    LastAliveStampGuard(const LastAliveStampGuard&) = delete;
    LastAliveStampGuard& operator=(const LastAliveStampGuard&) = delete;

private:
    LastAliveStampCache m_cache;
};
