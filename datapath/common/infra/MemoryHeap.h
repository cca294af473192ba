#pragma once
#include "CountedWatchedContainer.h"
#include "MemoryAllocatorInterface.h"
#include "ModuleMemoryInformation.h"
#include "Mutex.h"
#include "Singleton.h"
#include "Types.h"

#include <map>
#include <string>
#include <vector>

// Chunks of 4096 bytes taken from the tracked heap one at a time, accounted per module.
class MemoryHeap : public Singleton<MemoryHeap, MemoryHeap>, public MemoryAllocatorInterface {
public:
    static constexpr u32 kChunkSize = 4096;

    MemoryHeap();
    // Frees the records it made.
    ~MemoryHeap() override;
    MemoryHeap(const MemoryHeap&) = delete;
    MemoryHeap& operator=(const MemoryHeap&) = delete;

    void freeSegments(std::vector<MemorySegment>& segments, int fromIndex) override;
    void freeSegment(MemorySegment& segment) override;
    void adjustUsage(int delta) override;
    u32 getChunkSize() override { return kChunkSize; }
    void printMemoryUsage();

    // A record named `name` (unique), charged up to `parent` when given.
    HeapModuleMemoryInformation* registerModule(const std::string& name, ModuleMemoryInformation* parent);
    // One chunk taken from the tracked heap for the module, of which sizeBytes (at most a chunk) are used.
    MemorySegment allocateSegment(HeapModuleMemoryInformation* mmi, u32 sizeBytes);

    u64 getUsedMemoryGross();
    u64 getUsedMemoryNet();

private:
    // Checks and uncharges; the memory goes to `released`, for the tracked free once the lock is released: a
    // failing free starts the memory report, which takes this lock.
    void freeSegmentContentLocked(MemorySegment* segment, std::vector<u8*>& released);
    static void releaseMemory(const std::vector<u8*>& released);

    Mutex m_mutex;
    CountedWatchedContainer<std::map<std::string, HeapModuleMemoryInformation*>> m_mmis;
    u64 m_usedMemoryGross = 0;
    u64 m_usedMemoryNet = 0;
};
