// test-traits: linux-only
// The stand-in's slim lock at its most delicate moment: an exclusive release that reads the waiter count while its
// own store of the free state still waits in the store buffer, and a waiter that has just counted itself in.
#include "TestSupport.h"

#include <sched.h>
#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#if defined(__x86_64__)
namespace {

using std::chrono::steady_clock;

void cpuRelax() { __builtin_ia32_pause(); }

int availableCpus() {
    cpu_set_t cpus;
    return sched_getaffinity(0, sizeof(cpus), &cpus) == 0 ? CPU_COUNT(&cpus) : 1;
}

// Waits, spinning a while and then yielding (so that one CPU serves every thread), until `done` or `until`.
template <class Done>
bool spinUntil(Done done, steady_clock::time_point until) {
    for (int spins = 0; !done(); ++spins) {
        if (spins < 2000) {
            cpuRelax();
            continue;
        }
        if (steady_clock::now() >= until) return false;
        std::this_thread::yield();
    }
    return true;
}

// Eight cache lines that one thread keeps taking with locked adds: a store to them waits for its line.
struct alignas(64) Line {
    uint64_t value;
    char pad[56];
};
Line g_contended[8];

// Written in assembly so that no build adds a check, a fence or a spill between the stores.
void takeContendedLines() {
    asm volatile(
        "mov $1024, %%ecx\n\t"
        "1:\n\t"
        "lock addq $1, 0(%0)\n\tlock addq $1, 64(%0)\n\tlock addq $1, 128(%0)\n\tlock addq $1, 192(%0)\n\t"
        "lock addq $1, 256(%0)\n\tlock addq $1, 320(%0)\n\tlock addq $1, 384(%0)\n\tlock addq $1, 448(%0)\n\t"
        "dec %%ecx\n\tjnz 1b\n\t"
        :
        : "r"(g_contended)
        : "rcx", "memory", "cc");
}

// 48 stores, six to each line: they fill the store buffer, and a store issued next drains only after them.
void storeToContendedLines() {
    asm volatile(
        "mov $6, %%ecx\n\t"
        "1:\n\t"
        "movq %%rcx, 0(%0)\n\tmovq %%rcx, 64(%0)\n\tmovq %%rcx, 128(%0)\n\tmovq %%rcx, 192(%0)\n\t"
        "movq %%rcx, 256(%0)\n\tmovq %%rcx, 320(%0)\n\tmovq %%rcx, 384(%0)\n\tmovq %%rcx, 448(%0)\n\t"
        "dec %%ecx\n\tjnz 1b\n\t"
        :
        : "r"(g_contended)
        : "rcx", "memory", "cc");
}

}  // namespace

// Each round the holder lets go at a random moment of the waiter's spinning and falling asleep on the held lock, its
// release queued behind stores that wait for contended lines. A release that read the waiter count before the
// waiter counted itself in, while the waiter read the lock as still held, leaves the waiter asleep with nobody to
// wake it. Progress is watched: a waiter not through within two seconds of the release is asleep on a lost wake-up,
// and this thread's own acquire and release wake it.
TEST(SrwLockStandinTest, AReleaseBehindSlowStoresWakesAWaiterArrivingAtIt) {
    SRWLOCK lock = SRWLOCK_INIT;
    std::atomic<uint64_t> go{0}, through{0};
    std::atomic<bool> stop{false};

    std::thread waiter([&] {
        for (uint64_t round = 1;; ++round) {
            spinUntil([&] { return go.load() >= round || stop.load(); }, steady_clock::time_point::max());
            if (stop.load()) return;
            AcquireSRWLockExclusive(&lock);
            ReleaseSRWLockExclusive(&lock);
            through.store(round);
        }
    });
    // On one CPU a store buffer drains at every switch: nothing to contend with there.
    std::thread contender;
    if (availableCpus() > 1) {
        contender = std::thread([&] {
            while (!stop.load(std::memory_order_relaxed)) takeContendedLines();
        });
    }

    const auto end = steady_clock::now() + std::chrono::seconds(8);
    uint64_t rounds = 0, lostAt = 0;
    uint64_t x = 0x9E3779B97F4A7C15ull;
    while (lostAt == 0 && steady_clock::now() < end) {
        const uint64_t round = ++rounds;
        AcquireSRWLockExclusive(&lock);
        go.store(round);
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        const auto hold = steady_clock::now() + std::chrono::nanoseconds(x % 60000);
        while (steady_clock::now() < hold) cpuRelax();
        storeToContendedLines();
        ReleaseSRWLockExclusive(&lock);
        if (!spinUntil([&] { return through.load() >= round; }, steady_clock::now() + std::chrono::seconds(2))) {
            lostAt = round;
            AcquireSRWLockExclusive(&lock);
            ReleaseSRWLockExclusive(&lock);
            spinUntil([&] { return through.load() >= round; }, steady_clock::now() + std::chrono::seconds(5));
        }
    }
    stop.store(true);
    waiter.join();
    if (contender.joinable()) contender.join();
    EXPECT_EQ(lostAt, 0u) << "the waiter slept on after the release of round " << lostAt << " of " << rounds;
    EXPECT_GT(rounds, 0u);
}
#else
TEST(SrwLockStandinTest, AReleaseBehindSlowStoresWakesAWaiterArrivingAtIt) {
    GTEST_SKIP() << "the store sequence is written for x86-64";
}
#endif
