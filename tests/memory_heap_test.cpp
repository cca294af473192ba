#include "ChildSupport.h"
#include "FatalStop.h"
#include "MemShield.h"
#include "MemoryHeap.h"
#include "MemoryPool.h"
#include "ServiceThreads.h"
#include "TestSupport.h"
#include "TrackedAllocation.h"

#include <regex>
#include <string>
#include <vector>

namespace {

constexpr u32 kChunk = 4096;

std::vector<std::string> reportOf(MemoryHeap& heap) {
    sharedClient().clear();
    heap.printMemoryUsage();
    const std::string columns = ",NON,MemoryHeap,printMemoryUsage,";
    std::vector<std::string> messages;
    for (const std::string& line : sharedClient().linesWith(columns)) {
        EXPECT_TRUE(std::regex_search(line, std::regex("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d,Info,"))) << line;
        messages.push_back(line.substr(line.find(columns) + columns.size()));
    }
    return messages;
}

// Service threads register with the memory watcher through tracked allocations of their own: counts are compared
// only once they have.
u64 allocatedBytes() {
    static const bool servicesReady = (waitForServiceThreads(), true);
    (void)servicesReady;
    return MemShield::instance()->m_allocatedBytes.load();
}

}  // namespace

TEST(MemoryHeapTest, FreshHeapReportsZerosAndNoModule) {
    MemoryHeap heap;
    EXPECT_EQ(reportOf(heap), std::vector<std::string>{"Memory HEAP:  m_usedMemoryGross=0  m_usedMemoryNet=0 \n"});
    EXPECT_EQ(heap.getChunkSize(), kChunk);
    EXPECT_EQ(MemoryHeap::instance(), MemoryHeap::instance());
}

TEST(MemoryHeapTest, FreeGivesBackTheChunkAlongTheParentChain) {
    MemoryHeap heap;
    HeapModuleMemoryInformation* parent = heap.registerModule("parent", nullptr);
    HeapModuleMemoryInformation* modH = heap.registerModule("modH", parent);
    EXPECT_TRUE(modH->isHeapMemory());
    const u64 counter = allocatedBytes();
    MemorySegment first = heap.allocateSegment(modH, 100);
    MemorySegment second = heap.allocateSegment(modH, kChunk);
    // Tracked arrays of a chunk each.
    EXPECT_EQ(allocatedBytes(), counter + 2 * (kChunk + 8));
    EXPECT_EQ(heap.getUsedMemoryGross(), 2 * u64{kChunk});
    EXPECT_EQ(heap.getUsedMemoryNet(), kChunk + 100u);
    EXPECT_EQ(reportOf(heap), (std::vector<std::string>{"Memory HEAP:  m_usedMemoryGross=8192  m_usedMemoryNet=4196 \n",
                                                        "modH: used=8192\n", "parent: used=8192\n"}));

    heap.freeSegment(first);
    EXPECT_EQ(first.getMemory(), nullptr);
    EXPECT_EQ(heap.getUsedMemoryGross(), u64{kChunk});
    EXPECT_EQ(heap.getUsedMemoryNet(), u64{kChunk});
    EXPECT_EQ(modH->getCurrentlyUsedBytes(), u64{kChunk});
    EXPECT_EQ(parent->getCurrentlyUsedBytes(), u64{kChunk});
    EXPECT_EQ(allocatedBytes(), counter + kChunk + 8);

    // A second free of the same segment changes nothing.
    heap.freeSegment(first);
    EXPECT_EQ(heap.getUsedMemoryGross(), u64{kChunk});
    EXPECT_EQ(modH->getCurrentlyUsedBytes(), u64{kChunk});

    std::vector<MemorySegment> segments{first, second};
    heap.freeSegments(segments, 0);
    heap.freeSegments(segments, 0);
    EXPECT_EQ(segments[1].getMemory(), nullptr);
    EXPECT_EQ(heap.getUsedMemoryGross(), 0u);
    EXPECT_EQ(heap.getUsedMemoryNet(), 0u);
    EXPECT_EQ(parent->getCurrentlyUsedBytes(), 0u);
    EXPECT_EQ(allocatedBytes(), counter);

    heap.adjustUsage(-5);
    EXPECT_EQ(heap.getUsedMemoryNet(), static_cast<u64>(-5));
    heap.adjustUsage(5);
    EXPECT_EQ(heap.getUsedMemoryNet(), 0u);
}

TEST(MemoryHeapTest, FreeFromAnIndexOutOfRangeFreesNothing) {
    MemoryHeap heap;
    HeapModuleMemoryInformation* modH = heap.registerModule("modH", nullptr);
    std::vector<MemorySegment> segments{heap.allocateSegment(modH, 10), heap.allocateSegment(modH, 20)};
    for (int index : {-1, 3}) {
        sharedClient().clear();
        heap.freeSegments(segments, index);
        EXPECT_EQ(heap.getUsedMemoryGross(), 2 * u64{kChunk}) << index;
        const auto lines = sharedClient().linesWith(",Error,");
        ASSERT_EQ(lines.size(), 1u) << index;
        EXPECT_NE(lines[0].find(",NON,MemoryHeap,freeSegments,fromIndex out of range, nothing freed fromIndex=" +
                                std::to_string(index) + "  segments.size()=2 \n"),
                  std::string::npos)
            << lines[0];
    }
    heap.freeSegments(segments, 1);
    EXPECT_EQ(heap.getUsedMemoryNet(), 10u);
    heap.freeSegments(segments, 0);
    EXPECT_EQ(heap.getUsedMemoryGross(), 0u);
}

// Each check of the heap's free names what is wrong.
TEST(MemoryHeapDeathTest, FreeChecksEndTheProcess) {
    const struct {
        const char* what;
        void (*run)();
        const char* text;
    } cases[] = {
        {"mixed owners",
         [] {
             u8 page[kChunk];
             MemorySegment segment(100, page, MemorySegment::NoOwner);
             MemoryHeap().freeSegment(segment);
         },
         ": mmi != MemorySegment::NoOwner failed. \n"},
        {"no owner",
         [] {
             u8 page[kChunk];
             MemorySegment segment(100, page, nullptr);
             MemoryHeap().freeSegment(segment);
         },
         ": mmi != 0 failed. \n"},
        {"a pool record",
         [] {
             u8 page[kChunk];
             ModuleMemoryInformation poolRecord("pool");
             MemorySegment segment(100, page, &poolRecord);
             MemoryHeap().freeSegment(segment);
         },
         ": mmi->isHeapMemory() failed. \n"},
        {"nothing handed out",
         [] {
             u8 page[kChunk];
             MemoryHeap heap;
             MemorySegment segment(100, page, heap.registerModule("modH", nullptr));
             heap.freeSegment(segment);
         },
         ": m_usedMemoryGross >= getChunkSize() failed. \n"},
        {"another module's chunk",
         [] {
             MemoryHeap heap;
             heap.allocateSegment(heap.registerModule("modH", nullptr), 100);
             u8 page[kChunk];
             MemorySegment segment(100, page, heap.registerModule("idle", nullptr));
             heap.freeSegment(segment);
         },
         ": mmi->getCurrentlyUsedBytes() >= getChunkSize() failed. \n"},
        {"net lowered under the segment",
         [] {
             MemoryHeap heap;
             MemorySegment segment = heap.allocateSegment(heap.registerModule("modH", nullptr), 100);
             heap.adjustUsage(-50);
             heap.freeSegment(segment);
         },
         ": m_usedMemoryNet >= segment->getSizeBytes() failed. \n"},
    };
    int index = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string printed = printedByFatalStop("heap_death_" + std::to_string(index++) + ".txt", c.run);
        EXPECT_NE(printed.find(",Assert,"), std::string::npos) << c.what << "\n" << printed;
        EXPECT_NE(printed.find(",NON,MemoryHeap,freeSegmentContentLocked,"), std::string::npos) << c.what << "\n"
                                                                                                << printed;
        EXPECT_NE(printed.find(c.text), std::string::npos) << c.what << "\n" << printed;
    }
}

// In registered mode a bad free inside the heap's or the pool's free starts the memory report, which prints the
// usage of both: their locks are released by then.
TEST(MemoryAllocatorsDeathTest, RegisteredModeMisuseEndsWithTheReport) {
    const struct {
        const char* what;
        void (*run)();
    } cases[] = {
        {"the heap",
         [] {
             MemoryHeap* heap = MemoryHeap::instance();
             MemorySegment segment = heap->allocateSegment(heap->registerModule("modR", nullptr), 100);
             trackedArrayFree(segment.getMemory(), __FILE__, __LINE__);  // freed behind the heap's back
             heap->freeSegment(segment);
         }},
        {"the pool",
         [] {
             MemorySegment segment(100, trackedArrayNew<u8>(100, "u8", __FILE__, __LINE__), nullptr);
             trackedArrayFree(segment.getMemory(), __FILE__, __LINE__);
             MemoryPoolImpl::instance()->freeSegment(segment);
         }},
    };
    int index = 0;
    for (const auto& c : cases) {
        const std::string path = "registered_" + std::to_string(index++) + ".txt";
        EXPECT_EXIT(
            {
                endChildAfter(20, kChildHung);
                logLinesToFile(path);
                MemShield::s_enabled = true;
                c.run();
                std::_Exit(1);
            },
            ::testing::ExitedWithCode(kFatalStopExitCode), "Assertion \\(false\\) failed")
            << c.what;
        const std::string text = readFile(path);
        EXPECT_NE(text.find("trying to free un-allocated memory"), std::string::npos) << c.what << "\n" << text;
        EXPECT_NE(text.find("Memory POOL:  m_usedMemoryGross=0  m_usedMemoryNet=0  free=0"), std::string::npos)
            << c.what << "\n" << text;
        EXPECT_NE(text.find("Memory HEAP:  m_usedMemoryGross=0  m_usedMemoryNet=0 "), std::string::npos)
            << c.what << "\n" << text;
    }
}
