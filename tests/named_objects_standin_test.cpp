// test-traits: linux-only threaded
// Linux-only: the stand-in's own guarantees, read through its test controls and its files: stale handles are
// counted, an object of another layout version is refused, a null DACL opens the object to every user, and the
// objects follow the stand-in's root.
#include "ChildProcess.h"
#include "TestSupport.h"

#include <platform/paths.h>
#include <platform/testing.h>
#include <windows.h>

#include <sys/stat.h>

#include <chrono>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace {

class StandinObjectsTest : public ::testing::Test {
protected:
    void SetUp() override { useOwnStandinRoot(); }
    static std::string name(const char* what) { return "Global\\" + uniqueName(what); }
};

}  // namespace

TEST_F(StandinObjectsTest, AClosedHandleStaysInvalidAndIsCounted) {
    const std::string n = name("event");
    HANDLE event = CreateEventA(NULL, FALSE, FALSE, n.c_str());
    ASSERT_NE(event, nullptr);
    ASSERT_TRUE(CloseHandle(event));
    std::set<HANDLE> later;
    for (int i = 0; i < 200; ++i) {
        HANDLE h = CreateEventA(NULL, FALSE, FALSE, i % 2 ? n.c_str() : nullptr);
        later.insert(h);
        CloseHandle(h);
    }
    EXPECT_EQ(later.count(event), 0u);  // the value is not handed out again
    const unsigned long before = platform_test::staleHandleUses();
    SetLastError(0);
    EXPECT_FALSE(SetEvent(event));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_FAILED);
    EXPECT_EQ(platform_test::staleHandleUses(), before + 2);
    EXPECT_FALSE(SetEvent(reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x7FFFFFF0))));  // never handed out
    EXPECT_EQ(platform_test::staleHandleUses(), before + 2);
}

TEST_F(StandinObjectsTest, AnObjectOfAnotherLayoutIsRefusedNeverMisread) {
    const std::string n = name("old");
    const std::wstring w(n.begin(), n.end());
    ASSERT_TRUE(platform_test::plantForeignLayoutObject(n.c_str()));
    SetLastError(0);
    EXPECT_EQ(CreateFileMappingW(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0, 200, w.c_str()), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    SetLastError(0);
    EXPECT_EQ(OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, w.c_str()), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    SetLastError(0);
    EXPECT_EQ(CreateEventA(NULL, FALSE, FALSE, n.c_str()), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    platform_test::releaseForeignLayoutObjects();
    // Once its holder is gone, the name is free for a new object.
    HANDLE fresh = CreateFileMappingW(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0, 200, w.c_str());
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    CloseHandle(fresh);
}

TEST_F(StandinObjectsTest, NullDaclOpensTheObjectToEveryUser) {
    SECURITY_DESCRIPTOR descriptor;
    ASSERT_TRUE(InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION));
    ASSERT_TRUE(SetSecurityDescriptorDacl(&descriptor, TRUE, NULL, FALSE));
    SECURITY_ATTRIBUTES everyone{sizeof(SECURITY_ATTRIBUTES), &descriptor, FALSE};
    SetLastError(0);
    EXPECT_FALSE(InitializeSecurityDescriptor(&descriptor, 2));
    EXPECT_EQ(GetLastError(), ERROR_UNKNOWN_REVISION);
    ASSERT_TRUE(InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION));
    ASSERT_TRUE(SetSecurityDescriptorDacl(&descriptor, TRUE, NULL, FALSE));

    struct Row {
        const char* what;
        LPSECURITY_ATTRIBUTES attributes;
        mode_t mode;
    };
    for (const Row& row : {Row{"null dacl", &everyone, 0666}, Row{"default", nullptr, 0600}}) {
        SCOPED_TRACE(row.what);
        const std::string unique = uniqueName("dacl");
        HANDLE event = CreateEventA(row.attributes, FALSE, FALSE, ("Global\\" + unique).c_str());
        ASSERT_NE(event, nullptr);
        struct stat st;
        ASSERT_EQ(stat((platform::standinRoot() + "/objects/Global%5c" + unique).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, row.mode);
        CloseHandle(event);
    }
}

TEST_F(StandinObjectsTest, ObjectsFollowTheStandinRoot) {
    const std::string n = name("rooted");
    HANDLE here = CreateEventA(NULL, FALSE, FALSE, n.c_str());
    ASSERT_NE(here, nullptr);
    const std::string first = platform::standinRoot();
    const std::string other = first + "/other-machine";
    platform_test::setStandinRoot(other.c_str());
    SetLastError(0);
    EXPECT_EQ(OpenEventA(SYNCHRONIZE, FALSE, n.c_str()), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    platform_test::setStandinRoot(first.c_str());
    HANDLE again = OpenEventA(SYNCHRONIZE, FALSE, n.c_str());
    EXPECT_NE(again, nullptr);
    CloseHandle(again);
    CloseHandle(here);
}

// The trace of named-event waits and sets: each one with its name and result, in order, on the steady clock;
// unnamed events and the calls outside the trace are left out.
TEST_F(StandinObjectsTest, EventTraceRecordsNamedWaitsAndSetsInOrder) {
    const std::string n = name("traced");
    HANDLE named = CreateEventA(NULL, FALSE, FALSE, n.c_str());
    HANDLE unnamed = CreateEventA(NULL, FALSE, FALSE, nullptr);
    ASSERT_TRUE(named && unnamed);
    SetEvent(named);  // before the trace
    const long long before = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                 std::chrono::steady_clock::now().time_since_epoch())
                                 .count();
    platform_test::startEventTrace();
    EXPECT_EQ(WaitForSingleObject(named, 0), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(WaitForSingleObject(named, 10), static_cast<DWORD>(WAIT_TIMEOUT));
    SetEvent(unnamed);
    WaitForSingleObject(unnamed, 0);
    SetEvent(named);
    const auto trace = platform_test::stopEventTrace();
    SetEvent(named);  // after the trace
    ASSERT_EQ(trace.size(), 3u);
    const std::vector<std::pair<bool, DWORD>> expected = {{false, WAIT_OBJECT_0}, {false, WAIT_TIMEOUT}, {true, 0}};
    long long last = before;
    for (size_t i = 0; i < trace.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(trace[i].name, n);
        EXPECT_EQ(trace[i].isSet, expected[i].first);
        EXPECT_EQ(trace[i].result, expected[i].second);
        EXPECT_GE(trace[i].steadyNs, last);
        last = trace[i].steadyNs;
    }
    EXPECT_GE(trace[2].steadyNs - trace[0].steadyNs, 10000000) << "the time-out lies between";
    EXPECT_TRUE(platform_test::stopEventTrace().empty());
    CloseHandle(named);
    CloseHandle(unnamed);
}
