#include "internal.h"

#include <platform/testing.h>

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace platform::detail {
namespace {

// A thread handle is signalled once the thread's routine has returned.
class Thread final : public KernelObject {
public:
    Thread(LPTHREAD_START_ROUTINE start, LPVOID parameter) : m_start(start), m_parameter(parameter) {}

    DWORD wait(DWORD milliseconds) override {
        Deadline deadline(milliseconds);
        std::unique_lock<std::mutex> lock(m_mutex);
        auto done = [this] { return m_done; };
        if (deadline.infinite) {
            m_cv.wait(lock, done);
        } else if (!m_cv.wait_until(lock, deadline.at, done)) {
            return WAIT_TIMEOUT;
        }
        return WAIT_OBJECT_0;
    }

    static void* entry(void* self) {
        auto* thread = static_cast<Thread*>(self);
        {
            std::lock_guard<std::mutex> lock(thread->m_mutex);
            thread->m_id = GetCurrentThreadId();
        }
        thread->m_cv.notify_all();
        thread->m_start(thread->m_parameter);
        {
            std::lock_guard<std::mutex> lock(thread->m_mutex);
            thread->m_done = true;
        }
        thread->m_cv.notify_all();
        release(thread);  // the running thread's reference
        return nullptr;
    }

    // The new thread's id, once it runs.
    DWORD id() {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_cv.wait(lock, [this] { return m_id != 0; });
        return m_id;
    }

private:
    LPTHREAD_START_ROUTINE m_start;
    LPVOID m_parameter;
    DWORD m_id = 0;
    bool m_done = false;
    std::mutex m_mutex;
    std::condition_variable m_cv;
};

std::atomic<unsigned> g_failCreateThread{0};
std::atomic<DWORD> g_failCreateThreadError{0};

}  // namespace
}  // namespace platform::detail

using namespace platform::detail;

void platform_test::failCreateThread(unsigned count, DWORD error) {
    g_failCreateThreadError = error;
    g_failCreateThread = count;
}

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T stackSize, LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD,
                    LPDWORD threadId) {
    for (unsigned n = g_failCreateThread.load(); n > 0;) {
        if (g_failCreateThread.compare_exchange_weak(n, n - 1)) {
            SetLastError(g_failCreateThreadError.load());
            return nullptr;
        }
    }
    auto* thread = new Thread(start, parameter);
    thread->refs = 2;  // the handle and the running thread
    HANDLE handle = publish(thread);

    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (stackSize) {
        const SIZE_T minimum = static_cast<SIZE_T>(PTHREAD_STACK_MIN);
        pthread_attr_setstacksize(&attr, stackSize < minimum ? minimum : stackSize);
    }
    pthread_t id;
    int rc = pthread_create(&id, &attr, &Thread::entry, thread);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        closeHandle(handle);
        release(thread);  // the reference the thread would have had
        SetLastError(win32FromErrno(rc, false));
        return nullptr;
    }
    if (threadId) *threadId = thread->id();
    return handle;
}

DWORD GetCurrentThreadId() {
    thread_local const DWORD t_id = static_cast<DWORD>(syscall(SYS_gettid));  // every log line asks
    return t_id;
}

DWORD GetCurrentProcessId() { return static_cast<DWORD>(getpid()); }

void Sleep(DWORD milliseconds) {
    if (fakeSleep(milliseconds)) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

HANDLE GetCurrentThread() { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-2)); }

HANDLE GetCurrentProcess() { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)); }

// Linux gives an unprivileged process no way to raise a thread above the others: the call checks its arguments
// and succeeds, and the thread keeps the ordinary scheduling.
BOOL SetThreadPriority(HANDLE thread, int priority) {
    switch (priority) {
        case THREAD_PRIORITY_IDLE:
        case THREAD_PRIORITY_LOWEST:
        case THREAD_PRIORITY_BELOW_NORMAL:
        case THREAD_PRIORITY_NORMAL:
        case THREAD_PRIORITY_ABOVE_NORMAL:
        case THREAD_PRIORITY_HIGHEST:
        case THREAD_PRIORITY_TIME_CRITICAL: break;
        default: SetLastError(ERROR_INVALID_PARAMETER); return FALSE;
    }
    if (thread == GetCurrentThread()) return TRUE;
    KernelObject* object = acquire(thread);
    if (!object) return FALSE;
    const bool isThread = dynamic_cast<Thread*>(object) != nullptr;
    release(object);
    if (!isThread) SetLastError(ERROR_INVALID_HANDLE);
    return isThread ? TRUE : FALSE;
}

// Linux counts no cycles per thread; the thread's CPU time in nanoseconds stands in for them (a 1 GHz count).
// Only the calling thread can be asked.
BOOL QueryThreadCycleTime(HANDLE thread, PULONG64 cycleTime) {
    if (thread != GetCurrentThread()) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    timespec ts;
    if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts) != 0) return failFromErrno(false);
    *cycleTime = static_cast<ULONG64>(ts.tv_sec) * 1000000000 + static_cast<ULONG64>(ts.tv_nsec);
    return TRUE;
}
