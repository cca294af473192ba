// Slim reader/writer locks on a futex. The lock's word holds two 32-bit halves: the state (the writer bit, or the
// number of readers) and the number of threads waiting. Every change goes through an atomic operation with acquire
// or release order, so the sanitizers see the lock's ordering as they see any other atomic's.
#include <windows.h>

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdint>

static_assert(sizeof(SRWLOCK) == sizeof(void*), "an SRWLOCK is one pointer");

namespace {

constexpr uint32_t kWriter = 0x80000000u;

struct Halves {
    uint32_t state;
    uint32_t waiters;
};
static_assert(sizeof(Halves) == sizeof(SRWLOCK));

uint32_t* stateOf(PSRWLOCK lock) { return &reinterpret_cast<Halves*>(lock)->state; }
uint32_t* waitersOf(PSRWLOCK lock) { return &reinterpret_cast<Halves*>(lock)->waiters; }

void futexWait(uint32_t* word, uint32_t expected) {
    syscall(SYS_futex, word, FUTEX_WAIT_PRIVATE, expected, nullptr, nullptr, 0);
}

void futexWakeAll(uint32_t* word) { syscall(SYS_futex, word, FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0); }

// Sleeps while the state still is `seen`. The waiter count is raised first: a release that changes the state after
// this thread read it sees the count and wakes it, or the futex finds the state changed and returns at once.
void waitWhile(PSRWLOCK lock, uint32_t seen) {
    std::atomic_ref<uint32_t> waiters(*waitersOf(lock));
    std::atomic_ref<uint32_t> state(*stateOf(lock));
    waiters.fetch_add(1, std::memory_order_seq_cst);
    if (state.load(std::memory_order_seq_cst) == seen) futexWait(stateOf(lock), seen);
    waiters.fetch_sub(1, std::memory_order_relaxed);
}

void wakeWaiters(PSRWLOCK lock) {
    if (std::atomic_ref<uint32_t>(*waitersOf(lock)).load(std::memory_order_seq_cst) != 0) futexWakeAll(stateOf(lock));
}

}  // namespace

void InitializeSRWLock(PSRWLOCK lock) { lock->Ptr = nullptr; }

BOOLEAN TryAcquireSRWLockExclusive(PSRWLOCK lock) {
    uint32_t expected = 0;
    return std::atomic_ref<uint32_t>(*stateOf(lock))
               .compare_exchange_strong(expected, kWriter, std::memory_order_acquire, std::memory_order_relaxed)
               ? 1
               : 0;
}

void AcquireSRWLockExclusive(PSRWLOCK lock) {
    std::atomic_ref<uint32_t> state(*stateOf(lock));
    for (;;) {
        uint32_t seen = 0;
        if (state.compare_exchange_weak(seen, kWriter, std::memory_order_acquire, std::memory_order_relaxed)) return;
        if (seen != 0) waitWhile(lock, seen);
    }
}

void ReleaseSRWLockExclusive(PSRWLOCK lock) {
    std::atomic_ref<uint32_t>(*stateOf(lock)).store(0, std::memory_order_seq_cst);
    wakeWaiters(lock);
}

BOOLEAN TryAcquireSRWLockShared(PSRWLOCK lock) {
    std::atomic_ref<uint32_t> state(*stateOf(lock));
    uint32_t seen = state.load(std::memory_order_relaxed);
    while ((seen & kWriter) == 0) {
        if (state.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire, std::memory_order_relaxed)) return 1;
    }
    return 0;
}

void AcquireSRWLockShared(PSRWLOCK lock) {
    std::atomic_ref<uint32_t> state(*stateOf(lock));
    for (;;) {
        uint32_t seen = state.load(std::memory_order_relaxed);
        if ((seen & kWriter) == 0) {
            if (state.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire, std::memory_order_relaxed)) {
                return;
            }
            continue;
        }
        waitWhile(lock, seen);
    }
}

void ReleaseSRWLockShared(PSRWLOCK lock) {
    if (std::atomic_ref<uint32_t>(*stateOf(lock)).fetch_sub(1, std::memory_order_seq_cst) == 1) wakeWaiters(lock);
}
