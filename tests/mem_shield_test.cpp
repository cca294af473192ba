// Count-only mode runs in this process (the shared main sets it). Registered mode, other margins and the history
// length are fixed when the guard is built, so each such case runs in a death-test child that sets them first.
#include "ActiveObject.h"
#include "ChildSupport.h"
#include "DeadLockChecker.h"
#include "FatalStop.h"
#include "FileLoggerSupport.h"
#include "MemShield.h"
#include "ServiceThreads.h"
#include "TestSupport.h"
#include "TrackedAllocation.h"
#include "Tweaks.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iomanip>
#include <sstream>
#include <string>

namespace {

// One file text for every site of this file: the report groups sites by the address of that text.
const char* const kFile = "mem_shield_test.cpp";

u64 allocatedBytes() { return MemShield::instance()->m_allocatedBytes.load(); }
const u32* headerOf(const void* p) { return static_cast<const u32*>(p) - 2; }

std::string hexOf(const void* p) {
    std::ostringstream text;
    text << std::hex << reinterpret_cast<uintptr_t>(p);
    return text.str();
}

template <size_t N>
struct Bytes {
    u8 bytes[N];
};

int g_destroyed = 0;

struct Probe {
    Probe() : text(40, 'p') {}
    ~Probe() {
        ++g_destroyed;
        LOG(Info) << "~Probe" << std::endl;
    }
    std::string text;  // a destructor run on a freed block would free garbage
};

struct First {
    virtual ~First() { ++g_destroyed; }
    u64 first = 1;
};
struct Second {
    virtual ~Second() { ++g_destroyed; }
    u64 second = 2;
};
struct Both : First, Second {
    ~Both() override { ++g_destroyed; }
    u64 both = 3;
};

// Starts a child in registered mode, with `tweaks` set before the guard is built, its lines kept in `logPath`.
void startRegistered(const std::string& logPath, std::initializer_list<std::pair<const char*, const char*>> tweaks = {}) {
    endChildAfter(30, kChildHung);
    for (const auto& [name, value] : tweaks) Tweaks::instance()->update(name, value);
    logLinesToFile(logPath);
    MemShield::s_enabled = true;
    // The guard's service threads register objects of their own as they start; a case that frees a block twice
    // must not see another thread's new object at the freed address, so they start before the case runs.
    waitForServiceThreads();
}

}  // namespace

TEST(MemShieldCountOnlyTest, LayoutHeaderAndCounter) {
    ASSERT_FALSE(MemShield::instance()->isEnabled());
    waitForServiceThreads();
    const u64 baseline = allocatedBytes();

    auto* object = trackedNew<Bytes<992>>("Bytes", kFile, __LINE__);
    EXPECT_EQ(headerOf(object)[0], 1000u);
    EXPECT_EQ(headerOf(object)[1], 0xFFFFFFFFu);
    EXPECT_EQ(allocatedBytes(), baseline + 1000);
    trackedDelete(object, kFile, __LINE__);
    EXPECT_EQ(allocatedBytes(), baseline);

    const struct {
        u64 items;
        u32 length, sanity;
    } arrays[] = {{5, 13, 5}, {1, 9, 1}, {0, 8, 0xFFFFFFFFu}, {100, 108, 100}};
    for (const auto& c : arrays) {
        s8* array = trackedArrayNew<s8>(c.items, "s8", kFile, __LINE__);
        EXPECT_EQ(headerOf(array)[0], c.length) << c.items;
        EXPECT_EQ(headerOf(array)[1], c.sanity) << c.items;
        EXPECT_EQ(allocatedBytes(), baseline + c.length) << c.items;
        // An empty array carries the single-object word, so only the single-object free takes it.
        if (c.items == 0) {
            MemShield::instance()->freeAndCount(array);
        } else {
            trackedArrayFree(array, kFile, __LINE__);
        }
        EXPECT_EQ(allocatedBytes(), baseline) << c.items;
    }
}

TEST(MemShieldCountOnlyTest, DeleteThroughASecondBaseFreesTheCompleteObject) {
    waitForServiceThreads();
    const u64 baseline = allocatedBytes();
    g_destroyed = 0;
    Both* both = trackedNew<Both>("Both", kFile, __LINE__);
    Second* second = both;
    ASSERT_NE(static_cast<void*>(second), static_cast<void*>(both));
    trackedDelete(second, kFile, __LINE__);
    EXPECT_EQ(g_destroyed, 3);
    EXPECT_EQ(allocatedBytes(), baseline);
}

TEST(MemShieldCountOnlyTest, NullIsNeverFreed) {
    waitForServiceThreads();
    const u64 baseline = allocatedBytes();
    trackedDelete(static_cast<Probe*>(nullptr), kFile, __LINE__);
    trackedDelete(static_cast<Second*>(nullptr), kFile, __LINE__);
    trackedArrayFree(static_cast<s8*>(nullptr), kFile, __LINE__);
    EXPECT_EQ(allocatedBytes(), baseline);
}

TEST(MemShieldCountOnlyDeathTest, WrongFreesAndOversizedRequestsEndTheProcess) {
    const struct {
        const char* what;
        void (*run)();
        const char* pattern;
    } cases[] = {
        {"single object freed as an array",
         [] { trackedArrayFree(reinterpret_cast<s8*>(trackedNew<u64>("u64", kFile, __LINE__)), kFile, __LINE__); },
         "Assertion \\(\\*\\(--sanityPtr\\) < std::numeric_limits<u32>::max\\(\\)\\) failed"},
        {"array freed as a single object",
         [] { trackedDelete(reinterpret_cast<u64*>(trackedArrayNew<s8>(8, "s8", kFile, __LINE__)), kFile, __LINE__); },
         "Assertion \\(\\*\\(--sanityPtr\\) == std::numeric_limits<u32>::max\\(\\)\\) failed"},
        {"array whose length passes 32 bits",
         [] { trackedArrayNew<s8>(0xFFFFFFF8u, "s8", kFile, __LINE__); },
         "Assertion \\(size <= std::numeric_limits<u32>::max\\(\\) - 8\\) failed"},
        {"object whose length passes 32 bits",
         [] { tracked_detail::allocate(MemShield::instance(), 0xFFFFFFF8u, "Huge", kFile, __LINE__); },
         "Assertion \\(size <= std::numeric_limits<u32>::max\\(\\) - 8\\) failed"},
        {"too many items",
         [] { MemShield::instance()->internalAllocAndCountOnlyArray(8, 0xFFFFFFFFu, "s8", kFile, __LINE__); },
         "Assertion \\(numItems < std::numeric_limits<u32>::max\\(\\)\\) failed"},
    };
    for (const auto& c : cases) {
        EXPECT_EXIT(c.run(), ::testing::ExitedWithCode(kFatalStopExitCode), c.pattern) << c.what;
    }
}

TEST(MemShieldDeathTest, FirstUseStartsTheWorkerAndItsLeaseInBothModes) {
    for (const bool registered : {false, true}) {
        const std::string log = std::string("first_use_") + (registered ? "registered" : "count") + ".txt";
        EXPECT_EXIT(
            {
                endChildAfter(30, kChildHung);
                logLinesToFile(log);
                MemShield::s_enabled = registered;
                trackedArrayFree(trackedArrayNew<s8>(4, "s8", kFile, __LINE__), kFile, __LINE__);
                const bool started = waitUntil(
                    [] {
                        ScopedLock lock(&DeadLockCheckerManager::instance()->m_mutex);
                        return !DeadLockCheckerManager::instance()->m_lockSet.empty();
                    },
                    10000);
                std::_Exit(started && MemShield::instance()->isEnabled() == registered ? 0 : 1);
            },
            ::testing::ExitedWithCode(0), "")
            << registered;
        const std::string text = readFile(log);
        EXPECT_NE(text.find(",AO<MemShieldAO>  m_name=MemShieldAO  m_forceVerbose=0  "
                            "DynamicTweaks::instance()->t_ActiveObjectVerboseLogs=0 \n"),
                  std::string::npos)
            << text;
        EXPECT_NE(text.find("Starting ThreadWrapper of type MemShieldAO internalId="), std::string::npos) << text;
    }
}

TEST(MemShieldRegisteredDeathTest, LayoutsFollowTheMargins) {
    const struct {
        const char* pre;
        const char* post;
        u32 preBytes, postBytes;
    } cases[] = {{nullptr, nullptr, 16, 64}, {"32", "8", 32, 8}};
    int index = 0;
    for (const auto& c : cases) {
        const std::string log = "layout_" + std::to_string(index++) + ".txt";
        EXPECT_EXIT(
            {
                if (c.pre) {
                    startRegistered(log, {{"t_memshield_pre_margin_size", c.pre}, {"t_memshield_post_margin_size", c.post}});
                } else {
                    startRegistered(log);
                }
                MemShield* shield = MemShield::instance();
                waitForServiceThreads();
                const u64 baseline = shield->m_allocatedBytes.load();
                u8* p = trackedArrayNew<u8>(100, "u8", kFile, __LINE__);
                if (shield->m_allocatedBytes.load() != baseline + 100 + c.preBytes + c.postBytes) std::_Exit(1);
                for (i64 i = -static_cast<i64>(c.preBytes); i < 100 + static_cast<i64>(c.postBytes); ++i) {
                    if (p[i] != 0xFF) std::_Exit(2);
                }
                p[-1] = 0;  // the margin before the area is never checked
                trackedArrayFree(p, kFile, __LINE__);
                if (shield->m_allocatedBytes.load() != baseline) std::_Exit(3);
                Probe* probe = trackedNew<Probe>("Probe", kFile, __LINE__);
                trackedDelete(probe, kFile, __LINE__);
                trackedDelete(static_cast<Probe*>(nullptr), kFile, __LINE__);
                trackedArrayFree(static_cast<u8*>(nullptr), kFile, __LINE__);
                Both* both = trackedNew<Both>("Both", kFile, __LINE__);
                trackedDelete(static_cast<Second*>(both), kFile, __LINE__);
                std::_Exit(shield->m_allocatedBytes.load() == baseline ? 0 : 4);
            },
            ::testing::ExitedWithCode(0), "")
            << c.preBytes << "/" << c.postBytes << "\n" << readFile(log);
    }
}

namespace {
std::string g_expectedPath;
// The child's pointers are its own: it writes the line it must log where the parent reads it.
void expectLine(const std::string& text) {
    std::FILE* file = std::fopen(g_expectedPath.c_str(), "wb");
    std::fwrite(text.data(), 1, text.size(), file);
    std::fclose(file);
}
}  // namespace

TEST(MemShieldRegisteredDeathTest, MisuseLogsItsLineAndTheReportThenEnds) {
    const struct {
        const char* what;
        void (*run)();  // returns only when the guard let the misuse pass
        const char* notExpected;
    } cases[] = {
        {"overrun past the area",
         [] {
             u8* p = trackedArrayNew<u8>(100, "u8", kFile, 1234);
             p[100] = 0xAB;
             expectLine("memory overrun (during free)!memory corruption (post) : " + hexOf(p) + " " + kFile +
                        " 1234! [0->171,] it->second.m_allocTime=");
             trackedArrayFree(p, kFile, 99);
         },
         nullptr},
        {"verifyPtr inside a block",
         [] {
             u8* p = trackedArrayNew<u8>(100, "u8", kFile, 1234);
             expectLine("trying to access (verifyPtr) un-allocated memory file=" + std::string(kFile) +
                        "  line=99  mem=" + hexOf(p + 1) + " \n");
             MemShield::instance()->verifyPtr(p + 1, kFile, 99);
         },
         nullptr},
        {"second tracked delete",
         [] {
             Probe* probe = trackedNew<Probe>("Probe", kFile, 1234);
             trackedDelete(probe, kFile, 98);
             expectLine("trying to access (verifyPtr) un-allocated memory file=" + std::string(kFile) +
                        "  line=99  mem=" + hexOf(probe) + " \n");
             trackedDelete(probe, kFile, 99);
         },
         "trying to free un-allocated memory"},
        {"second array free",
         [] {
             u8* p = trackedArrayNew<u8>(100, "u8", kFile, 1234);
             trackedArrayFree(p, kFile, 98);
             expectLine("trying to free un-allocated memory file=" + std::string(kFile) + "  line=99 \n");
             trackedArrayFree(p, kFile, 99);
         },
         "verifyPtr"},
    };
    int index = 0;
    for (const auto& c : cases) {
        const std::string log = "misuse_" + std::to_string(index) + ".txt";
        g_expectedPath = "misuse_expected_" + std::to_string(index) + ".txt";
        ++index;
        std::remove(g_expectedPath.c_str());
        EXPECT_EXIT(
            {
                startRegistered(log);
                c.run();
                std::_Exit(1);
            },
            ::testing::ExitedWithCode(kFatalStopExitCode), "Assertion \\(false\\) failed")
            << c.what;
        const std::string text = readFile(log);
        const std::string expected = readFile(g_expectedPath);
        EXPECT_FALSE(expected.empty()) << c.what;  // no ASSERT: a child runs this for the cases before its own
        EXPECT_NE(text.find(expected), std::string::npos) << c.what << "\nexpected: " << expected << "\n" << text;
        // The report, in its order, after the line.
        const size_t line = text.find(expected);
        const size_t allocated = text.find("Allocated from system heap: ");
        const size_t total = text.find("Total memory allocation: ");
        const size_t freed = text.find(" Timer::instance()->getLastTimestampMs_Inaccurate(true)=");
        EXPECT_LT(line, allocated) << c.what << "\n" << text;
        EXPECT_LT(allocated, total) << c.what << "\n" << text;
        EXPECT_LT(total, freed) << c.what << "\n" << text;
        EXPECT_NE(freed, std::string::npos) << c.what << "\n" << text;
        EXPECT_NE(text.find(",MemShield,printAllocations,Allocated from system heap: "), std::string::npos) << text;
        if (c.notExpected) {
            EXPECT_EQ(text.find(c.notExpected), std::string::npos) << c.what << "\n" << text;
        }
        // The destructor never runs on a block that is not live.
        EXPECT_LE(countOf(text, ",~Probe\n"), 1u) << c.what << "\n" << text;
    }
}

TEST(MemShieldRegisteredDeathTest, ReportGroupsLiveBlocksBySite) {
    EXPECT_EXIT(
        {
            startRegistered("report_sites.txt", {{"t_MemShieldMaxAllocationInCodeLine", "2"}});
            for (int i = 0; i < 2; ++i) trackedArrayNew<u8>(10, "u8", kFile, 555);
            trackedArrayNew<u8>(7, "u8", kFile, 556);
            MemShield::instance()->printAllocations();
            std::_Exit(1);
        },
        ::testing::ExitedWithCode(kFatalStopExitCode), "");
    const std::string text = readFile("report_sites.txt");
    for (const std::string& expected :
         {std::string("allocation ") + kFile + " 555 -> 2 allocations 20 bytes\n",
          std::string("allocation ") + kFile + " 556 -> 1 allocations 7 bytes\n",
          std::string(": false failed. Too many allocations from as single log line.  maxAllocationInCodeLine=2  "
                      "maxAllocationsFound=2 \n")}) {
        EXPECT_NE(text.find(expected), std::string::npos) << expected << "\n" << text;
    }
    EXPECT_LT(text.find(" 555 -> "), text.find(" 556 -> "));
}

TEST(MemShieldRegisteredDeathTest, SizeChecksComeBeforeTheHeap) {
    const struct {
        u64 size;
        const char* pattern;
    } cases[] = {{0, "Assertion \\(size > 0\\) failed"},
                 {314572800 - 80, "Assertion \\(allocationLength < MAX_SINGLE_ALLOCATION_LENGTH\\) failed"}};
    for (const auto& c : cases) {
        EXPECT_EXIT(
            {
                startRegistered("size_checks.txt");
                MemShield::instance()->internalAllocAndRegister(c.size, 0, "u8", kFile, __LINE__);
                std::_Exit(0);
            },
            ::testing::ExitedWithCode(kFatalStopExitCode), c.pattern)
            << c.size;
    }
}

TEST(MemShieldRegisteredDeathTest, HistoryKeepsFreedBlocksCounted) {
    g_expectedPath = "history_expected.txt";
    std::remove(g_expectedPath.c_str());
    EXPECT_EXIT(
        {
            startRegistered("history.txt", {{"t_allocationHistoryLengthMs", "1000"}});
            MemShield* shield = MemShield::instance();
            waitForServiceThreads();
            u8* p = trackedArrayNew<u8>(100, "u8", kFile, 777);
            std::memset(p, 0x5A, 100);
            const u64 before = shield->m_allocatedBytes.load();
            trackedArrayFree(p, kFile, 778);
            if (shield->m_allocatedBytes.load() != before) std::_Exit(1);
            // The kept block is refilled, so a read through a stale pointer shows the free.
            for (int i = 0; i < 100; ++i) {
                if (p[i] != 0xFF) std::_Exit(2);
            }
            expectLine("Freed item mem =" + hexOf(p) + " info= info.m_size=100  info.m_file=" + kFile +
                       "  info.m_line=777  it->second.m_freeTime=");
            shield->printRecentlyFreed();
            std::_Exit(0);
        },
        ::testing::ExitedWithCode(0), "");
    const std::string expected = readFile(g_expectedPath);
    const std::string text = readFile("history.txt");
    ASSERT_FALSE(expected.empty());
    EXPECT_NE(text.find(expected), std::string::npos) << expected << "\n" << text;
}

// A failure report whose lines go into a queued file log: each line's copy is itself a tracked allocation.
TEST(MemShieldDeathTest, FailuresUnderTheFileLogEndTheProcessWithoutHanging) {
    EXPECT_EXIT(
        {
            endChildAfter(60, kChildHung);
            MemShield::s_enabled = true;
            std::filesystem::remove_all("registered_logs");
            auto* client = new FileLoggerClient("registered_logs\\log", 3, 0, "");
            Logger::instance()->registerClient(client, 255);
            u8* p = trackedArrayNew<u8>(100, "u8", kFile, 4321);
            trackedArrayFree(p, kFile, 4322);
            trackedArrayFree(p, kFile, 4323);
            std::_Exit(1);
        },
        ::testing::ExitedWithCode(kFatalStopExitCode), "Assertion \\(false\\) failed");
    const std::string text = fileText("registered_logs\\log.txt");
    EXPECT_NE(text.find("trying to free un-allocated memory file=" + std::string(kFile) + "  line=4323 \n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("Allocated from system heap: "), std::string::npos) << text;
    EXPECT_NE(text.find("Assertion (false) failed"), std::string::npos) << text;

    // Count-only: a single object freed through the log's own budget fails its sanity word.
    EXPECT_EXIT(
        {
            endChildAfter(60, kChildHung);
            std::filesystem::remove_all("count_logs");
            auto* client = new FileLoggerClient("count_logs\\log", 3, 0, "");
            Logger::instance()->registerClient(client, 255);
            HeapMemoryAllocationTracker& tracker = trackerOf(client);
            tracker.allocate(8);
            tracker.free(reinterpret_cast<s8*>(trackedNew<u64>("u64", kFile, __LINE__)), 8);
            std::_Exit(1);
        },
        ::testing::ExitedWithCode(kFatalStopExitCode),
        "Assertion \\(\\*\\(--sanityPtr\\) < std::numeric_limits<u32>::max\\(\\)\\) failed");
}
