// Handle table, unnamed events and waits.
#include "internal.h"

#include <condition_variable>
#include <mutex>
#include <unordered_set>

namespace platform::detail {
namespace {

std::mutex& tableLock() {
    static std::mutex m;
    return m;
}
std::unordered_set<KernelObject*>& liveObjects() {
    static auto* s = new std::unordered_set<KernelObject*>();  // outlives every static destructor
    return *s;
}

class Event final : public KernelObject {
public:
    Event(bool manualReset, bool initialState) : m_manualReset(manualReset), m_signalled(initialState) {}

    DWORD wait(DWORD milliseconds) override {
        Deadline deadline(milliseconds);
        std::unique_lock<std::mutex> lock(m_mutex);
        auto ready = [this] { return m_signalled; };
        if (deadline.infinite) {
            m_cv.wait(lock, ready);
        } else if (!m_cv.wait_until(lock, deadline.at, ready)) {
            return WAIT_TIMEOUT;
        }
        if (!m_manualReset) m_signalled = false;  // an auto-reset event releases exactly one waiter
        return WAIT_OBJECT_0;
    }
    void set() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_signalled = true;
        if (m_manualReset) {
            m_cv.notify_all();
        } else {
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
    std::mutex m_mutex;
    std::condition_variable m_cv;
};

}  // namespace

Deadline::Deadline(DWORD milliseconds)
    : infinite(milliseconds == INFINITE),
      at(std::chrono::steady_clock::now() + std::chrono::milliseconds(infinite ? 0 : milliseconds)) {}

HANDLE publish(KernelObject* object) {
    std::lock_guard<std::mutex> lock(tableLock());
    liveObjects().insert(object);
    return object;
}

KernelObject* acquire(HANDLE handle) {
    auto* object = static_cast<KernelObject*>(handle);
    std::lock_guard<std::mutex> lock(tableLock());
    if (!handle || !liveObjects().count(object)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    object->refs.fetch_add(1);
    return object;
}

void release(KernelObject* object) {
    {
        std::lock_guard<std::mutex> lock(tableLock());
        if (object->refs.fetch_sub(1) != 1) return;
        liveObjects().erase(object);
    }
    delete object;
}

}  // namespace platform::detail

using namespace platform::detail;

BOOL CloseHandle(HANDLE handle) {
    KernelObject* object = acquire(handle);
    if (!object) return FALSE;
    release(object);  // the reference just taken
    release(object);  // the handle's own
    return TRUE;
}

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCSTR name) {
    if (name && *name) {
        SetLastError(ERROR_INVALID_PARAMETER);  // named objects are not needed by this build yet
        return nullptr;
    }
    SetLastError(ERROR_SUCCESS);
    return publish(new Event(manualReset != FALSE, initialState != FALSE));
}

template <class Fn>
static BOOL withEvent(HANDLE handle, Fn fn) {
    KernelObject* object = acquire(handle);
    if (!object) return FALSE;
    auto* event = dynamic_cast<Event*>(object);
    if (event) fn(*event);
    release(object);
    if (!event) SetLastError(ERROR_INVALID_HANDLE);
    return event ? TRUE : FALSE;
}

BOOL SetEvent(HANDLE handle) {
    return withEvent(handle, [](Event& e) { e.set(); });
}

BOOL ResetEvent(HANDLE handle) {
    return withEvent(handle, [](Event& e) { e.reset(); });
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    KernelObject* object = acquire(handle);
    if (!object) return WAIT_FAILED;
    DWORD result = object->wait(milliseconds);
    release(object);
    return result;
}
