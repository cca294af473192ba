#pragma once
#include "Types.h"

#include <cstdint>
#include <vector>

class ModuleMemoryInformation;

// A chunk (or the used part of one) handed to a module; a plain value, copied freely.
class MemorySegment {
public:
    // The owner of a segment of mixed or no ownership.
    static inline ModuleMemoryInformation* const NoOwner = reinterpret_cast<ModuleMemoryInformation*>(UINTPTR_MAX);

    MemorySegment() = default;
    // A non-zero size needs memory: a check.
    MemorySegment(u32 a_sizeBytes, u8* a_ptr, ModuleMemoryInformation* owner)
        : m_sizeBytes(a_sizeBytes), m_memory(a_ptr), m_owner(owner) {
        if (a_sizeBytes != 0 && a_ptr == nullptr) [[unlikely]] nullMemoryFailed(a_sizeBytes, __FILE__, __LINE__);
    }

    u32 getSizeBytes() const { return m_sizeBytes; }
    u8* getMemory() const { return m_memory; }
    // Null: the memory is a single allocation of its own rather than a page.
    ModuleMemoryInformation* getOwner() const { return m_owner; }
    void clearMemory() { m_memory = nullptr; }

    u32 m_sizeBytes = 0;

private:
    [[gnu::cold, gnu::noinline]] static void nullMemoryFailed(u32 a_sizeBytes, const char* file, int line);

    u8* m_memory = nullptr;  // null once freed
    ModuleMemoryInformation* m_owner = nullptr;
};

// A chunk-based allocator with per-module accounting.
class MemoryAllocatorInterface {
public:
    virtual ~MemoryAllocatorInterface() = default;
    // Frees the segments from fromIndex to the end; the caller's segments lose their memory.
    virtual void freeSegments(std::vector<MemorySegment>& segments, int fromIndex) = 0;
    virtual void freeSegment(MemorySegment& segment) = 0;
    // Adds delta to the bytes used within the handed-out chunks.
    virtual void adjustUsage(int delta) = 0;
    virtual u32 getChunkSize() = 0;
};
