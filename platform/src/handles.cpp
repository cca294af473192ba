// Handle table, unnamed events and waits.
#include "internal.h"

#include <platform/testing.h>

#include <condition_variable>
#include <mutex>

namespace platform::detail {
namespace {

// Open handles. A handle is valid from its creation to its CloseHandle, whatever else still holds the object.
struct HandleTable {
    std::mutex lock;
    HandleMap<KernelObject*> open{0x100, 4};  // handle values are multiples of 4, as on Windows
    std::atomic<unsigned long> staleUses{0};
};

HandleTable& handles() {
    static auto* table = new HandleTable();  // outlives every static destructor: threads run on at exit
    return *table;
}

class Event final : public KernelObject {
public:
    Event(bool manualReset, bool initialState) : m_manualReset(manualReset), m_signalled(initialState) {}

    DWORD wait(DWORD milliseconds) override {
        Deadline deadline(milliseconds);
        std::unique_lock<std::mutex> lock(m_mutex);
        auto ready = [this] { return m_releases > 0 || m_signalled; };
        ++m_waiters;
        bool woken = true;
        if (deadline.infinite) {
            m_cv.wait(lock, ready);
        } else {
            woken = m_cv.wait_until(lock, deadline.at, ready);
        }
        --m_waiters;
        if (!woken) return WAIT_TIMEOUT;
        if (m_releases > 0) {
            --m_releases;
        } else if (!m_manualReset) {
            m_signalled = false;  // an auto-reset event releases exactly one waiter
        }
        return WAIT_OBJECT_0;
    }
    bool setEvent() override {
        set();
        return true;
    }
    bool resetEvent() override {
        reset();
        return true;
    }
    void set() {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_manualReset) {
            m_signalled = true;
            m_cv.notify_all();
        } else if (m_waiters > m_releases) {
            // Each set releases one thread that is waiting now; a second set before it runs releases another.
            ++m_releases;
            m_cv.notify_all();
        } else {
            m_signalled = true;
            m_cv.notify_one();
        }
    }
    void reset() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_signalled = false;
    }

private:
    const bool m_manualReset;
    bool m_signalled;
    unsigned m_waiters = 0;
    unsigned m_releases = 0;
    std::mutex m_mutex;
    std::condition_variable m_cv;
};

bool isPseudoHandle(HANDLE handle) {
    const intptr_t value = reinterpret_cast<intptr_t>(handle);
    return value == -1 || value == -2;  // the current process and thread
}

}  // namespace

Deadline::Deadline(DWORD milliseconds)
    : infinite(milliseconds == INFINITE),
      at(std::chrono::steady_clock::now() + std::chrono::milliseconds(infinite ? 0 : milliseconds)) {}

HANDLE publish(KernelObject* object) {
    HandleTable& table = handles();
    std::lock_guard<std::mutex> lock(table.lock);
    return reinterpret_cast<HANDLE>(table.open.add(object));
}

KernelObject* acquire(HANDLE handle) {
    HandleTable& table = handles();
    std::lock_guard<std::mutex> lock(table.lock);
    const uintptr_t value = reinterpret_cast<uintptr_t>(handle);
    KernelObject** found = table.open.find(value);
    if (!found) {
        if (table.open.closed(value)) table.staleUses.fetch_add(1);
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    (*found)->refs.fetch_add(1);
    return *found;
}

void release(KernelObject* object) {
    if (object->refs.fetch_sub(1) == 1) delete object;
}

bool closeHandle(HANDLE handle) {
    std::optional<KernelObject*> object;
    {
        HandleTable& table = handles();
        std::lock_guard<std::mutex> lock(table.lock);
        object = table.open.take(reinterpret_cast<uintptr_t>(handle));
    }
    if (!object) return false;
    release(*object);  // the handle's reference
    return true;
}

}  // namespace platform::detail

unsigned long platform_test::staleHandleUses() { return platform::detail::handles().staleUses.load(); }

using namespace platform::detail;

BOOL CloseHandle(HANDLE handle) {
    if (isPseudoHandle(handle)) return TRUE;  // closing them has no effect
    if (!closeHandle(handle)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState, LPCSTR name) {
    if (name && *name) return createNamedEvent(attributes, manualReset, initialState, name);
    SetLastError(ERROR_SUCCESS);
    return publish(new Event(manualReset != FALSE, initialState != FALSE));
}

template <class Fn>
static BOOL withEvent(HANDLE handle, Fn fn) {
    KernelObject* object = acquire(handle);
    if (!object) return FALSE;
    const bool isEvent = fn(*object);
    release(object);
    if (!isEvent) SetLastError(ERROR_INVALID_HANDLE);
    return isEvent ? TRUE : FALSE;
}

BOOL SetEvent(HANDLE handle) {
    return withEvent(handle, [](KernelObject& e) { return e.setEvent(); });
}

BOOL ResetEvent(HANDLE handle) {
    return withEvent(handle, [](KernelObject& e) { return e.resetEvent(); });
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    KernelObject* object = acquire(handle);
    if (!object) return WAIT_FAILED;
    DWORD result = object->wait(milliseconds);
    release(object);
    return result;
}
