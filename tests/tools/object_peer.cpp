// A second process for the named-object and status-channel tests: each command does one thing to named objects
// and tells the result by its exit code (0 done, 2 the object was absent, 3 a wait timed out, 4 other failure).
//   read-block <mapping> <value-file>      reads offset 0 of a 200-byte block into the file, checks bytes 4-199
//   hold-block <mapping> <value> <ready> <quit>   creates the block, writes value, sets ready, waits for quit
//   write-status <value>... <ready> <quit> writes each value through the status channel, sets ready, waits quit
//   set-event <event>                      opens the event and sets it
//   wait-event <event> <ms>                opens or creates the event and waits on it
//   hold-mutex <mutex> <ready>             takes the mutex, sets ready and ends without releasing it
//   hold-mutex-until <mutex> <ready> <quit>   takes the mutex, sets ready, waits for quit, then releases it
//   signal <quit>                          sets the runner's freeze event, then waits for quit (or 20 s)
#include "RunnerAgentSynchronizer.h"
#include "StatusReaderWriter.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

namespace {

constexpr DWORD kHoldMs = 20000;  // a forgotten peer ends by itself

std::wstring wide(const char* text) { return std::wstring(text, text + std::strlen(text)); }

HANDLE openEvent(const char* name) { return OpenEventA(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, name); }

int setEvent(const char* name) {
    HANDLE event = openEvent(name);
    if (!event) return GetLastError() == ERROR_FILE_NOT_FOUND ? 2 : 4;
    const BOOL ok = SetEvent(event);
    CloseHandle(event);
    return ok ? 0 : 4;
}

int waitResult(DWORD r) { return r == WAIT_OBJECT_0 ? 0 : r == WAIT_TIMEOUT ? 3 : 4; }

int waitFor(const char* name, DWORD ms) {
    HANDLE event = CreateEventA(NULL, FALSE, FALSE, name);
    if (!event) return 4;
    const int rc = waitResult(WaitForSingleObject(event, ms));
    CloseHandle(event);
    return rc;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 4;
    const std::string command = argv[1];
    if (command == "read-block" && argc == 4) {
        HANDLE mapping = OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, wide(argv[2]).c_str());
        if (!mapping) return GetLastError() == ERROR_FILE_NOT_FOUND ? 2 : 4;
        auto* view = static_cast<unsigned char*>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 200));
        if (!view) return 4;
        int32_t value;
        std::memcpy(&value, view, 4);
        bool restZero = true;
        for (int i = 4; i < 200; ++i) restZero = restZero && view[i] == 0;
        std::ofstream(argv[3], std::ios::binary) << value << " " << (restZero ? "zero" : "dirty") << "\n";
        UnmapViewOfFile(view);
        CloseHandle(mapping);
        return 0;
    }
    if (command == "hold-block" && argc == 6) {
        HANDLE mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0, 200, wide(argv[2]).c_str());
        if (!mapping) return 4;
        auto* view = static_cast<int32_t*>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 200));
        if (!view) return 4;
        *view = std::atoi(argv[3]);
        if (setEvent(argv[4]) != 0) return 4;
        return waitFor(argv[5], kHoldMs);
    }
    if (command == "write-status" && argc >= 5) {
        static StatusReaderWriter* status = new StatusReaderWriter();  // never freed, as in the agent
        for (int i = 2; i < argc - 2; ++i) status->m_handler->write(static_cast<u32>(std::atoi(argv[i])));
        if (setEvent(argv[argc - 2]) != 0) return 4;
        return waitFor(argv[argc - 1], kHoldMs);
    }
    if (command == "set-event" && argc == 3) return setEvent(argv[2]);
    if (command == "wait-event" && argc == 4) return waitFor(argv[2], static_cast<DWORD>(std::atol(argv[3])));
    if (command == "hold-mutex" && argc == 4) {
        HANDLE mutex = OpenMutexA(SYNCHRONIZE, FALSE, argv[2]);
        if (!mutex) return GetLastError() == ERROR_FILE_NOT_FOUND ? 2 : 4;
        if (WaitForSingleObject(mutex, kHoldMs) != WAIT_OBJECT_0) return 4;
        if (setEvent(argv[3]) != 0) return 4;
        return 0;  // ends owning it: the mutex is abandoned
    }
    if (command == "hold-mutex-until" && argc == 5) {
        HANDLE mutex = OpenMutexA(SYNCHRONIZE, FALSE, argv[2]);
        if (!mutex) return GetLastError() == ERROR_FILE_NOT_FOUND ? 2 : 4;
        if (WaitForSingleObject(mutex, kHoldMs) != WAIT_OBJECT_0) return 4;
        if (setEvent(argv[3]) != 0) return 4;
        const int waited = waitFor(argv[4], kHoldMs);
        ReleaseMutex(mutex);
        CloseHandle(mutex);
        return waited;
    }
    if (command == "signal" && argc == 3) {
        RunnerAgentSynchronizer::signal();
        return waitFor(argv[2], kHoldMs);
    }
    return 4;
}
