#pragma once
#include "Types.h"

#include <windows.h>

#include <string>

// The live log file, opened for appending data only: each write lands whole at the end of the file, wherever other
// writers (another agent appending to the same log, a copy-and-truncate) have left that end. Paths are the
// program's own (Windows) paths.
class LiveFile {
public:
    // The open file's size, which file it is (as identityOf gives it) and whether no name is left to it.
    struct State {
        u64 size = 0;
        u64 identity = 0;
        bool removed = false;
    };

    LiveFile() = default;
    ~LiveFile() { close(); }
    LiveFile(const LiveFile&) = delete;
    LiveFile& operator=(const LiveFile&) = delete;

    // Opens the file, creating it when missing.
    bool open(const std::string& path);
    bool isOpen() const { return m_handle != INVALID_HANDLE_VALUE; }
    void close();
    // Writes up to `size` bytes at the end of the file: how many were written, or -1.
    long long write(const char* data, size_t size);
    // Where the last write ended: the file's offset after it.
    bool offsetAfterWrite(u64& offset) const;
    bool state(State& out) const;
    // Cuts the file to `size` bytes through a handle of its own (the live one may only append), provided the path
    // still names the open file.
    bool cut(u64 size);
    // Reads `size` bytes from `from`; false when fewer could be read.
    bool readAt(u64 from, size_t size, std::string& out) const;

    // Which file `path` names now; 0 when none.
    static u64 identityOf(const std::string& path);

private:
    friend struct LiveFileProbe;  // tests

    HANDLE m_handle = INVALID_HANDLE_VALUE;
    std::string m_path;
};
