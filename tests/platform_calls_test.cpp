// The Windows calls the programs use, as the programs rely on them: run against the stand-in on Linux and against
// the real system under Wine, so both are held to the same behaviour.
#include "NativePath.h"
#include "TestSupport.h"

#include <windows.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <set>
#include <thread>
#include <vector>

using namespace std::chrono;

namespace {

int wokenWithin(std::atomic<int>& woken, int expected, int ms) {
    const auto until = steady_clock::now() + milliseconds(ms);
    while (woken < expected && steady_clock::now() < until) std::this_thread::sleep_for(milliseconds(1));
    return woken;
}

DWORD WINAPI recordOwnId(LPVOID out) {
    *static_cast<DWORD*>(out) = GetCurrentThreadId();
    return 0;
}

}  // namespace

TEST(PlatformEventTest, EachSetOfAnAutoResetEventReleasesOneWaiter) {
    HANDLE event = CreateEventA(NULL, FALSE, FALSE, NULL);
    ASSERT_NE(event, nullptr);
    std::atomic<int> woken{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i) waiters.emplace_back([&] {
        EXPECT_EQ(WaitForSingleObject(event, 10000), WAIT_OBJECT_0);
        ++woken;
    });
    std::this_thread::sleep_for(milliseconds(100));  // all three are waiting
    SetEvent(event);
    SetEvent(event);  // before the first released thread runs
    EXPECT_EQ(wokenWithin(woken, 2, 5000), 2);
    std::this_thread::sleep_for(milliseconds(50));
    EXPECT_EQ(woken, 2);
    SetEvent(event);
    for (auto& t : waiters) t.join();
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);  // nothing left signalled
    CloseHandle(event);
}

TEST(PlatformEventTest, ManualResetEventReleasesEveryWaiterUntilReset) {
    HANDLE event = CreateEventA(NULL, TRUE, FALSE, NULL);
    std::atomic<int> woken{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i) waiters.emplace_back([&] {
        WaitForSingleObject(event, INFINITE);
        ++woken;
    });
    SetEvent(event);
    for (auto& t : waiters) t.join();
    EXPECT_EQ(woken, 3);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    ResetEvent(event);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    CloseHandle(event);
}

TEST(PlatformHandleTest, ClosedHandleIsInvalid) {
    HANDLE event = CreateEventA(NULL, FALSE, TRUE, NULL);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event, 20), WAIT_TIMEOUT);
    EXPECT_TRUE(CloseHandle(event));
    SetLastError(0);
    EXPECT_FALSE(CloseHandle(event));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    SetLastError(0);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_TRUE(CloseHandle(GetCurrentProcess()));  // a pseudo-handle: closing it does nothing
}

TEST(PlatformThreadTest, ThreadHandleIsSignalledWhenTheThreadEnds) {
    DWORD seenInside = 0;
    DWORD reported = 0;
    HANDLE thread = CreateThread(NULL, 0, &recordOwnId, &seenInside, 0, &reported);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(reported, seenInside);
    EXPECT_NE(reported, GetCurrentThreadId());
    EXPECT_TRUE(CloseHandle(thread));
}

TEST(PlatformFilesTest, DirectoriesAndListing) {
    const std::string folder = uniqueName("listing");
    ASSERT_TRUE(CreateDirectoryA(folder.c_str(), NULL));
    SetLastError(0);
    EXPECT_FALSE(CreateDirectoryA(folder.c_str(), NULL));
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    SetLastError(0);
    EXPECT_FALSE(CreateDirectoryA((uniqueName("missing") + "\\child").c_str(), NULL));
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);

    ASSERT_TRUE(CreateDirectoryA((folder + "\\sub").c_str(), NULL));
    std::ofstream(nativePath(folder + "\\a.txt")) << "a";
    std::ofstream(nativePath(folder + "\\b.txt")) << "b";
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA((folder + "\\*").c_str(), &data);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    std::set<std::string> files, folders;
    do {
        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY ? folders : files).insert(data.cFileName);
    } while (FindNextFileA(find, &data));
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
    EXPECT_TRUE(FindClose(find));
    EXPECT_EQ(files, (std::set<std::string>{"a.txt", "b.txt"}));
    EXPECT_EQ(folders, (std::set<std::string>{".", "..", "sub"}));

    SetLastError(0);
    EXPECT_EQ(FindFirstFileA((uniqueName("missing") + "\\*").c_str(), &data), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
}

TEST(PlatformFilesTest, RuntimeRenameNeverReplacesAFile) {
    const std::string from = uniqueName("from") + ".txt", to = uniqueName("to") + ".txt";
    std::ofstream(nativePath(from)) << "source";
    std::ofstream(nativePath(to)) << "target";
    EXPECT_NE(runtimeRename(from, to), 0);
    EXPECT_EQ(readFile(nativePath(to)), "target");
    EXPECT_EQ(readFile(nativePath(from)), "source");
    runtimeRemove(to);
    EXPECT_EQ(runtimeRename(from, to), 0);
    EXPECT_EQ(readFile(nativePath(to)), "source");
    EXPECT_FALSE(pathExists(from));
}

// A static slim reader/writer lock needs no constructor: all zero is free.
constinit SRWLOCK g_staticLock = SRWLOCK_INIT;

TEST(PlatformSrwLockTest, ExclusiveHoldersNeverOverlap) {
    SRWLOCK* lock = &g_staticLock;
    constexpr int kThreads = 4, kRounds = 20000;
    long long counter = 0;  // unprotected but for the lock: a lost update shows an overlap
    int inside = 0, overlaps = 0;
    finishWithin(30000, "contended holders", [&] {
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&] {
                for (int i = 0; i < kRounds; ++i) {
                    AcquireSRWLockExclusive(lock);
                    overlaps += ++inside != 1;
                    ++counter;
                    --inside;
                    ReleaseSRWLockExclusive(lock);
                    if (i % 64 == 0) std::this_thread::yield();
                }
            });
        }
        for (auto& thread : threads) thread.join();
    });
    EXPECT_EQ(counter, static_cast<long long>(kThreads) * kRounds);
    EXPECT_EQ(overlaps, 0);
}

// A waiter that sleeps while nobody else releases the lock depends on that one release to wake it: a wake-up lost
// leaves it asleep for good. The holder lets go as the waiter arrives, just before it, or long after it fell asleep.
TEST(PlatformSrwLockTest, AReleaseWakesTheWaiterArrivingAroundIt) {
    SRWLOCK lock = SRWLOCK_INIT;
    constexpr int kRounds = 3000;
    std::atomic<int> round{-1}, acquired{-1};
    finishWithin(20000, "a waiter woken by each release", [&] {
        std::thread waiter([&] {
            for (int r = 0; r < kRounds; ++r) {
                while (round.load() < r) std::this_thread::yield();
                AcquireSRWLockExclusive(&lock);
                acquired = r;
                ReleaseSRWLockExclusive(&lock);
            }
        });
        for (int r = 0; r < kRounds; ++r) {
            AcquireSRWLockExclusive(&lock);
            round = r;
            if (r % 3 == 0) {
                std::this_thread::sleep_for(microseconds(200));  // the waiter is asleep by now
            } else {
                const auto until = steady_clock::now() + nanoseconds((r % 97) * 300);
                while (steady_clock::now() < until) {
                }
            }
            ReleaseSRWLockExclusive(&lock);
            while (acquired.load() < r) std::this_thread::yield();
        }
        waiter.join();
    });
    EXPECT_EQ(acquired.load(), kRounds - 1);
}

TEST(PlatformSrwLockTest, TryAcquireAndSharedHolders) {
    SRWLOCK lock;
    InitializeSRWLock(&lock);
    ASSERT_TRUE(TryAcquireSRWLockExclusive(&lock));
    std::atomic<int> result{-1};
    // Another thread: a held lock cannot be taken, in either mode.
    std::thread([&] { result = TryAcquireSRWLockExclusive(&lock) + 2 * TryAcquireSRWLockShared(&lock); }).join();
    EXPECT_EQ(result, 0);

    // A waiter blocks until the release.
    std::atomic<bool> taken{false};
    std::thread waiter([&] {
        AcquireSRWLockExclusive(&lock);
        taken = true;
        ReleaseSRWLockExclusive(&lock);
    });
    std::this_thread::sleep_for(milliseconds(50));
    EXPECT_FALSE(taken);
    ReleaseSRWLockExclusive(&lock);
    waiter.join();
    EXPECT_TRUE(taken);

    // Readers share the lock and keep a writer out until the last one leaves.
    AcquireSRWLockShared(&lock);
    std::thread([&] { result = TryAcquireSRWLockShared(&lock) + 2 * TryAcquireSRWLockExclusive(&lock); }).join();
    EXPECT_EQ(result, 1);
    ReleaseSRWLockShared(&lock);  // the other thread's hold
    std::atomic<bool> written{false};
    std::thread writer([&] {
        AcquireSRWLockExclusive(&lock);
        written = true;
        ReleaseSRWLockExclusive(&lock);
    });
    std::this_thread::sleep_for(milliseconds(50));
    EXPECT_FALSE(written);
    ReleaseSRWLockShared(&lock);
    writer.join();
    EXPECT_TRUE(written);
    EXPECT_TRUE(TryAcquireSRWLockExclusive(&lock));
    ReleaseSRWLockExclusive(&lock);
}
