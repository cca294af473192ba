// Shared pieces of the stand-in's implementation.
#pragma once
#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>

namespace platform::detail {

// Windows error number for a failed POSIX call. `missingIsPath`: ENOENT means a missing folder, not a missing file.
DWORD win32FromErrno(int error, bool missingIsPath);

// Sets the thread's last error from errno and returns FALSE, for the BOOL-returning calls.
BOOL failFromErrno(bool missingIsPath);

// mkdir -p of a native path: true when it is a folder afterwards, else false with errno set (ENOTDIR when something
// else stands there).
bool makeFolders(const std::string& path);

// `text` with each byte that `escaped(byte, position)` picks written as %XX, in upper-case hexadecimal.
template <class Pick>
std::string percentEscaped(const std::string& text, Pick escaped) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (escaped(c, i)) {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

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

// The open handles of one kind and what each stands for. Values grow by `step` from `first` and are never reused,
// so a closed handle stays invalid. Not locked itself: its owner's lock guards it with whatever else that lock guards.
template <class T>
class HandleMap {
public:
    HandleMap(uintptr_t first, uintptr_t step) : m_first(first), m_step(step), m_next(first) {}
    uintptr_t add(T object) {
        const uintptr_t value = m_next;
        m_next += m_step;
        m_open.emplace(value, std::move(object));
        return value;
    }
    T* find(uintptr_t value) {
        auto it = m_open.find(value);
        return it == m_open.end() ? nullptr : &it->second;
    }
    std::optional<T> take(uintptr_t value) {
        auto it = m_open.find(value);
        if (it == m_open.end()) return std::nullopt;
        std::optional<T> object(std::move(it->second));
        m_open.erase(it);
        return object;
    }
    // A value that is not open now but was handed out before.
    bool closed(uintptr_t value) const {
        return value >= m_first && value < m_next && (value - m_first) % m_step == 0 && !m_open.count(value);
    }
    size_t size() const { return m_open.size(); }

private:
    const uintptr_t m_first;
    const uintptr_t m_step;
    uintptr_t m_next;
    std::unordered_map<uintptr_t, T> m_open;
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
