// Shared pieces of the stand-in's implementation.
#pragma once
#include <windows.h>

#include <atomic>
#include <chrono>

namespace platform::detail {

// Windows error number for a failed POSIX call. `missingIsPath`: ENOENT means a missing folder, not a missing file.
DWORD win32FromErrno(int error, bool missingIsPath);

// Sets the thread's last error from errno and returns FALSE, for the BOOL-returning calls.
BOOL failFromErrno(bool missingIsPath);

// A kernel object behind one or more HANDLEs. Handles are entries of a table of open handles, so a closed, stale
// or bogus handle fails with ERROR_INVALID_HANDLE instead of touching freed memory.
class KernelObject {
public:
    virtual ~KernelObject() = default;
    // WAIT_OBJECT_0, WAIT_ABANDONED or WAIT_TIMEOUT.
    virtual DWORD wait(DWORD milliseconds) = 0;
    // SetEvent / ResetEvent; false when the object is no event.
    virtual bool setEvent() { return false; }
    virtual bool resetEvent() { return false; }
    std::atomic<int> refs{1};
};

// Opens a handle on the object; the object's reference passes to the handle.
HANDLE publish(KernelObject* object);
// Takes a reference on the object behind the handle, or returns null with ERROR_INVALID_HANDLE set.
KernelObject* acquire(HANDLE handle);
void release(KernelObject* object);
// Closes the handle; false when it is not open.
bool closeHandle(HANDLE handle);

// Named objects: CreateEventA with a name.
HANDLE createNamedEvent(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState, LPCSTR name);
// The fake tick clock: true when it is on and `milliseconds` were added to it instead of sleeping.
bool fakeSleep(DWORD milliseconds);

// Deadline on the steady clock; INFINITE gives none.
struct Deadline {
    explicit Deadline(DWORD milliseconds);
    bool infinite;
    std::chrono::steady_clock::time_point at;
};

}  // namespace platform::detail
