// Slim reader/writer locks on a futex. The lock's word holds two 32-bit halves: the state (the writer bit, or the
// number of readers) and the number of threads waiting. Every change goes through an atomic operation with acquire
// or release order, so the sanitizers see the lock's ordering as they see any other atomic's.
//
// An exclusive release is a plain store followed by a plain read of the waiter count: the full fence a release
// would need between the two (so that it cannot miss a waiter that missed its store) is paid instead by the thread
// about to sleep, which has the kernel put a barrier on every running thread of the process (membarrier).
// Uncontended locking then costs one atomic read-modify-write instead of two. Where the kernel refuses the
// registration, releases keep the fence.
#include <windows.h>

#include <linux/futex.h>
#include <linux/membarrier.h>
#include <sched.h>
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

// Whether exclusive releases leave out their fence.
std::atomic<bool> g_lightRelease{false};

// Reads of a held lock before its waiter sleeps; none when the process runs on one CPU, where the holder cannot
// go on while the waiter reads.
constexpr int kSpins = 64;
std::atomic<int> g_spins{0};

void cpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

void futexWait(uint32_t* word, uint32_t expected, const timespec* timeout) {
    syscall(SYS_futex, word, FUTEX_WAIT_PRIVATE, expected, timeout, nullptr, 0);
}

void futexWakeAll(uint32_t* word) { syscall(SYS_futex, word, FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0); }

long membarrier(int command) { return syscall(SYS_membarrier, command, 0, 0); }

bool lightRelease() { return g_lightRelease.load(std::memory_order_relaxed); }

// Runs before any static initialiser of the process (so before any thread exists); neither setting changes after.
[[gnu::constructor(101)]] void setUpLocks() {
    if (membarrier(MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED) == 0) {
        g_lightRelease.store(true, std::memory_order_relaxed);
    }
    cpu_set_t cpus;
    if (sched_getaffinity(0, sizeof(cpus), &cpus) == 0 && CPU_COUNT(&cpus) > 1) {
        g_spins.store(kSpins, std::memory_order_relaxed);
    }
}

// Sleeps while the state still is `seen`. The waiter count is raised first: a release that changes the state after
// this thread read it sees the count and wakes it, or the futex finds the state changed and returns at once.
void waitWhile(PSRWLOCK lock, uint32_t seen) {
    std::atomic_ref<uint32_t> waiters(*waitersOf(lock));
    std::atomic_ref<uint32_t> state(*stateOf(lock));
    waiters.fetch_add(1, std::memory_order_seq_cst);
    // With light releases the count is seen only once every other thread passed a barrier. Should the kernel refuse
    // that here (it accepted the registration), a release may have missed the count: read again every millisecond.
    static constexpr timespec kReread{0, 1000000};
    const bool seenByReleases = !lightRelease() || membarrier(MEMBARRIER_CMD_PRIVATE_EXPEDITED) == 0;
    if (state.load(std::memory_order_seq_cst) == seen) {
        futexWait(stateOf(lock), seen, seenByReleases ? nullptr : &kReread);
    }
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
    const int maxSpins = g_spins.load(std::memory_order_relaxed);
    for (int spins = 0;; ++spins) {
        uint32_t seen = 0;
        if (state.compare_exchange_weak(seen, kWriter, std::memory_order_acquire, std::memory_order_relaxed)) return;
        if (seen == 0) continue;
        // Most holds are short: a while of reading is cheaper than a sleep and its barrier.
        if (spins < maxSpins) {
            for (int i = 0; i < 8 && state.load(std::memory_order_relaxed) != 0; ++i) cpuRelax();
            continue;
        }
        waitWhile(lock, seen);
    }
}

void ReleaseSRWLockExclusive(PSRWLOCK lock) {
    if (lightRelease()) {
        // The builtin with its order as a constant: through atomic_ref an unoptimised build passes the order at run
        // time, and gcc then makes the store a full fence, so the debug builds would not run the release that ships.
        __atomic_store_n(stateOf(lock), 0u, __ATOMIC_RELEASE);
        // The store may still sit in this CPU's buffer when the count is read: a sleeping waiter's barrier drains it.
        std::atomic_signal_fence(std::memory_order_seq_cst);
        if (std::atomic_ref<uint32_t>(*waitersOf(lock)).load(std::memory_order_relaxed) != 0) {
            futexWakeAll(stateOf(lock));
        }
        return;
    }
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
