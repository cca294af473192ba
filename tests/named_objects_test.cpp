// test-traits: threaded
// Named events, mutexes and file mappings as the agent, the provider and a runner share them: against the
// stand-in on Linux and against Wine's own objects on Windows, with a second process where one is needed.
#include "ChildProcess.h"
#include "TestSupport.h"

#include <windows.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

using namespace std::chrono;

namespace {

class NamedObjectsTest : public ::testing::Test {
protected:
    void SetUp() override { useOwnStandinRoot(); }
    static std::string name(const char* what) { return "Global\\" + uniqueName(what); }
    static std::wstring wide(const std::string& s) { return std::wstring(s.begin(), s.end()); }
    static std::string peer() { return ChildProcess::toolPath("object_peer"); }
};

SECURITY_ATTRIBUTES* openToEveryone() {
    static SECURITY_DESCRIPTOR descriptor;
    static SECURITY_ATTRIBUTES attributes;
    InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&descriptor, TRUE, NULL, FALSE);
    attributes = {sizeof(SECURITY_ATTRIBUTES), &descriptor, FALSE};
    return &attributes;
}

struct Kind {
    const char* what;
    std::function<HANDLE(const std::string&)> create;
    std::function<HANDLE(const std::string&)> open;
};

const Kind kKinds[] = {
    {"event", [](const std::string& n) { return CreateEventA(openToEveryone(), FALSE, FALSE, n.c_str()); },
     [](const std::string& n) { return OpenEventA(EVENT_ALL_ACCESS, FALSE, n.c_str()); }},
    {"mutex", [](const std::string& n) { return CreateMutexA(openToEveryone(), FALSE, n.c_str()); },
     [](const std::string& n) { return OpenMutexA(MUTEX_ALL_ACCESS, FALSE, n.c_str()); }},
    {"mapping",
     [](const std::string& n) {
         return CreateFileMappingW(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0, 200,
                                   std::wstring(n.begin(), n.end()).c_str());
     },
     [](const std::string& n) {
         return OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, std::wstring(n.begin(), n.end()).c_str());
     }},
};

}  // namespace

TEST_F(NamedObjectsTest, CreateOpensAnExistingObjectAndKindsShareOneNamespace) {
    for (const Kind& kind : kKinds) {
        SCOPED_TRACE(kind.what);
        const std::string n = name(kind.what);
        SetLastError(77);
        EXPECT_EQ(kind.open(n), nullptr);
        EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

        SetLastError(77);
        HANDLE first = kind.create(n);
        ASSERT_NE(first, nullptr);
        EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
        SetLastError(77);
        HANDLE second = kind.create(n);
        ASSERT_NE(second, nullptr);
        EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
        EXPECT_NE(second, first);
        HANDLE opened = kind.open(n);
        EXPECT_NE(opened, nullptr);

        for (const Kind& other : kKinds) {
            if (&other == &kind) continue;
            SCOPED_TRACE(other.what);
            SetLastError(77);
            EXPECT_EQ(other.create(n), nullptr);
            EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
            SetLastError(77);
            EXPECT_EQ(other.open(n), nullptr);
            EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        }
        // Names are exact: another case is another object, and a namespace other than Global and Local is a
        // missing path.
        std::string otherCase = n;
        otherCase[7] = static_cast<char>(std::toupper(static_cast<unsigned char>(otherCase[7])));
        HANDLE distinct = kind.create(otherCase);
        EXPECT_NE(distinct, nullptr);
        EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
        CloseHandle(distinct);
        SetLastError(0);
        EXPECT_EQ(kind.create("Nowhere\\" + n.substr(7)), nullptr);
        EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);

        CloseHandle(opened);
        CloseHandle(second);
        CloseHandle(first);
        // The last handle gone, so is the object.
        SetLastError(77);
        EXPECT_EQ(kind.open(n), nullptr);
        EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    }
}

TEST_F(NamedObjectsTest, AutoResetEventKeepsASetForOneWaitAndKeepsItsStateWhenCreatedAgain) {
    const std::string n = name("event");
    HANDLE a = CreateEventA(NULL, FALSE, FALSE, n.c_str());
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(WaitForSingleObject(a, 0), WAIT_TIMEOUT);
    EXPECT_TRUE(SetEvent(a));
    EXPECT_TRUE(SetEvent(a));  // not a counter
    HANDLE b = CreateEventA(NULL, TRUE, FALSE, n.c_str());  // opens it: set, auto-reset
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(WaitForSingleObject(b, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(a, 0), WAIT_TIMEOUT);
    const auto before = steady_clock::now();
    EXPECT_EQ(WaitForSingleObject(a, 100), WAIT_TIMEOUT);
    EXPECT_GE(steady_clock::now() - before, milliseconds(90));
    EXPECT_TRUE(SetEvent(a));
    EXPECT_TRUE(ResetEvent(b));
    EXPECT_EQ(WaitForSingleObject(a, 0), WAIT_TIMEOUT);
    CloseHandle(a);
    CloseHandle(b);
    // A closed handle and an object that cannot be waited on fail the wait.
    SetLastError(0);
    EXPECT_EQ(WaitForSingleObject(a, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    SetLastError(0);
    EXPECT_FALSE(SetEvent(a));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    HANDLE mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0, 200, NULL);
    ASSERT_NE(mapping, nullptr);
    EXPECT_EQ(WaitForSingleObject(mapping, 0), WAIT_FAILED);
    SetLastError(0);
    EXPECT_FALSE(SetEvent(mapping));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    CloseHandle(mapping);
}

TEST_F(NamedObjectsTest, EachSetReleasesOneWaiterOfAnotherHandle) {
    const std::string n = name("event");
    HANDLE setter = CreateEventA(NULL, FALSE, FALSE, n.c_str());
    std::atomic<int> woken{0};
    std::atomic<int> waiting{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i) waiters.emplace_back([&] {
        HANDLE own = OpenEventA(SYNCHRONIZE, FALSE, n.c_str());
        ++waiting;
        EXPECT_EQ(WaitForSingleObject(own, INFINITE), WAIT_OBJECT_0);
        ++woken;
        CloseHandle(own);
    });
    while (waiting < 3) std::this_thread::sleep_for(milliseconds(1));
    std::this_thread::sleep_for(milliseconds(100));  // all three are inside the wait
    SetEvent(setter);
    SetEvent(setter);
    const auto until = steady_clock::now() + seconds(5);
    while (woken < 2 && steady_clock::now() < until) std::this_thread::sleep_for(milliseconds(1));
    std::this_thread::sleep_for(milliseconds(50));
    EXPECT_EQ(woken, 2);
    SetEvent(setter);
    for (auto& t : waiters) t.join();
    EXPECT_EQ(WaitForSingleObject(setter, 0), WAIT_TIMEOUT);
    CloseHandle(setter);
}

TEST_F(NamedObjectsTest, EventsWakeAcrossProcesses) {
    const std::string n = name("event");
    HANDLE event = CreateEventA(openToEveryone(), FALSE, FALSE, n.c_str());
    ASSERT_NE(event, nullptr);
    {
        ChildProcess setter;
        ASSERT_TRUE(setter.start(peer(), {"set-event", n}));
        EXPECT_EQ(WaitForSingleObject(event, 10000), WAIT_OBJECT_0);
        EXPECT_EQ(setter.wait(10000), 0);
    }
    {
        ChildProcess waiter;  // a set before the other process waits is kept for it
        SetEvent(event);
        ASSERT_TRUE(waiter.start(peer(), {"wait-event", n, "10000"}));
        EXPECT_EQ(waiter.wait(15000), 0);
        EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);  // the other process consumed it
    }
    {
        ChildProcess waiter;
        ASSERT_TRUE(waiter.start(peer(), {"wait-event", n, "50"}));
        EXPECT_EQ(waiter.wait(15000), 3);
    }
    CloseHandle(event);
}

TEST_F(NamedObjectsTest, MutexIsRecursiveAndOwnedByItsThread) {
    const std::string n = name("mutex");
    HANDLE mutex = CreateMutexA(openToEveryone(), TRUE, n.c_str());
    ASSERT_NE(mutex, nullptr);
    EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);  // twice now
    std::thread([&] {
        HANDLE other = OpenMutexA(MUTEX_ALL_ACCESS, FALSE, n.c_str());
        EXPECT_EQ(WaitForSingleObject(other, 0), WAIT_TIMEOUT);
        EXPECT_EQ(WaitForSingleObject(other, 50), WAIT_TIMEOUT);
        SetLastError(0);
        EXPECT_FALSE(ReleaseMutex(other));
        EXPECT_EQ(GetLastError(), ERROR_NOT_OWNER);
        CloseHandle(other);
    }).join();
    EXPECT_TRUE(ReleaseMutex(mutex));
    std::thread([&] { EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_TIMEOUT); }).join();  // still held once
    EXPECT_TRUE(ReleaseMutex(mutex));
    SetLastError(0);
    EXPECT_FALSE(ReleaseMutex(mutex));
    EXPECT_EQ(GetLastError(), ERROR_NOT_OWNER);
    std::thread([&] {
        EXPECT_EQ(WaitForSingleObject(mutex, 1000), WAIT_OBJECT_0);
        EXPECT_TRUE(ReleaseMutex(mutex));
    }).join();
    CloseHandle(mutex);
}

TEST_F(NamedObjectsTest, MutexOfAnEndedOwnerIsAbandonedOnceThenOwnedByTheWaiter) {
#if defined(__SANITIZE_THREAD__)
    // Its model keeps the dead thread as the owner of a robust mutex taken over after the owner's death.
    GTEST_SKIP() << "ThreadSanitizer does not follow the hand-over of an abandoned robust mutex";
#endif
    const std::string n = name("mutex");
    HANDLE mutex = CreateMutexA(NULL, FALSE, n.c_str());
    ASSERT_NE(mutex, nullptr);
    std::thread([&] { EXPECT_EQ(WaitForSingleObject(mutex, 1000), WAIT_OBJECT_0); }).join();  // ends owning it
    EXPECT_EQ(WaitForSingleObject(mutex, 1000), WAIT_ABANDONED);
    std::thread([&] { EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_TIMEOUT); }).join();
    EXPECT_TRUE(ReleaseMutex(mutex));

    ChildProcess owner;
    const std::string ready = name("ready");
    HANDLE readyEvent = CreateEventA(NULL, FALSE, FALSE, ready.c_str());
    ASSERT_TRUE(owner.start(peer(), {"hold-mutex", n, ready}));
    EXPECT_EQ(WaitForSingleObject(readyEvent, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(owner.wait(10000), 0);
    EXPECT_EQ(WaitForSingleObject(mutex, 5000), WAIT_ABANDONED);
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);  // an ordinary mutex again
    EXPECT_TRUE(ReleaseMutex(mutex));
    CloseHandle(readyEvent);
    CloseHandle(mutex);
}

TEST_F(NamedObjectsTest, MappingStartsZeroedAndItsViewsShareTheBytes) {
    const std::wstring n = wide(name("block"));
    HANDLE first = CreateFileMappingW(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0, 200, n.c_str());
    ASSERT_NE(first, nullptr);
    auto* a = static_cast<unsigned char*>(MapViewOfFile(first, FILE_MAP_ALL_ACCESS, 0, 0, 200));
    ASSERT_NE(a, nullptr);
    for (int i = 0; i < 200; ++i) ASSERT_EQ(a[i], 0) << i;
    HANDLE second = OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, n.c_str());
    auto* b = static_cast<unsigned char*>(MapViewOfFile(second, FILE_MAP_ALL_ACCESS, 0, 0, 0));
    ASSERT_NE(b, nullptr);
    a[0] = 0x5A;
    a[199] = 0xA5;
    EXPECT_EQ(b[0], 0x5A);
    EXPECT_EQ(b[199], 0xA5);

    // A view is refused past the end of an object that someone else created smaller.
    SetLastError(0);
    EXPECT_EQ(MapViewOfFile(second, FILE_MAP_ALL_ACCESS, 0, 0, 1 << 20), nullptr);
    EXPECT_NE(GetLastError(), ERROR_SUCCESS);
    // Created again larger, it is the same 200-byte object.
    HANDLE again = CreateFileMappingW(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0, 1 << 20, n.c_str());
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    auto* c = static_cast<unsigned char*>(MapViewOfFile(again, FILE_MAP_READ, 0, 0, 200));
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c[199], 0xA5);

    // Once every handle is closed the name is gone; the views keep their bytes, and a new object of the name
    // is another one.
    CloseHandle(first);
    CloseHandle(second);
    CloseHandle(again);
    SetLastError(0);
    EXPECT_EQ(OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, n.c_str()), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(b[199], 0xA5);
    HANDLE fresh = CreateFileMappingW(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0, 200, n.c_str());
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    auto* d = static_cast<unsigned char*>(MapViewOfFile(fresh, FILE_MAP_ALL_ACCESS, 0, 0, 200));
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d[199], 0);
    d[0] = 1;
    EXPECT_EQ(a[0], 0x5A);
    EXPECT_TRUE(UnmapViewOfFile(a));
    EXPECT_TRUE(UnmapViewOfFile(b));
    EXPECT_TRUE(UnmapViewOfFile(c));
    EXPECT_TRUE(UnmapViewOfFile(d));
    CloseHandle(fresh);
}

TEST_F(NamedObjectsTest, AnotherProcessSeesTheBlockWhileItsHolderLives) {
    const std::string n = name("block");
    const std::string ready = name("ready"), quit = name("quit");
    HANDLE readyEvent = CreateEventA(NULL, FALSE, FALSE, ready.c_str());
    HANDLE quitEvent = CreateEventA(NULL, FALSE, FALSE, quit.c_str());
    const std::string valueFile = uniqueName("value") + ".txt";

    ChildProcess holder;
    ASSERT_TRUE(holder.start(peer(), {"hold-block", n, "-1006", ready, quit}));
    ASSERT_EQ(WaitForSingleObject(readyEvent, 10000), WAIT_OBJECT_0);
    HANDLE mine = OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, wide(n).c_str());
    ASSERT_NE(mine, nullptr);
    auto* view = static_cast<int32_t*>(MapViewOfFile(mine, FILE_MAP_ALL_ACCESS, 0, 0, 200));
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(*view, -1006);
    *view = 7;
    {
        ChildProcess reader;
        ASSERT_TRUE(reader.start(peer(), {"read-block", n, valueFile}));
        EXPECT_EQ(reader.wait(10000), 0);
        EXPECT_EQ(readFile(valueFile), "7 zero\n");
    }
    UnmapViewOfFile(view);
    CloseHandle(mine);

    holder.kill();  // a killed holder lets go as one that ends
    EXPECT_NE(holder.wait(10000), -1);
    SetLastError(0);
    EXPECT_EQ(OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, wide(n).c_str()), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    ChildProcess late;
    ASSERT_TRUE(late.start(peer(), {"read-block", n, valueFile}));
    EXPECT_EQ(late.wait(10000), 2);
    std::remove(valueFile.c_str());
    CloseHandle(readyEvent);
    CloseHandle(quitEvent);
}
