#pragma once
#include "SequentialRequestsManager.h"
#include "Types.h"

#include <limits>
#include <string>

// The memory accounting record of one module. Bytes charged to a record are charged to every record up its
// parent chain. Its allocator's lock guards it.
class ModuleMemoryInformation {
public:
    static constexpr u64 kNoLimit = std::numeric_limits<u64>::max();

    ModuleMemoryInformation() = default;
    explicit ModuleMemoryInformation(const std::string& name) : m_name(name) {}
    ModuleMemoryInformation(const ModuleMemoryInformation&) = delete;
    ModuleMemoryInformation& operator=(const ModuleMemoryInformation&) = delete;
    virtual ~ModuleMemoryInformation() = default;
    virtual bool isHeapMemory() { return false; }

    u64 getCurrentlyUsedBytes() const { return m_currentlyUsedBytes; }
    // Charges (uncharges) the record and all its ancestors.
    static void addUsedBytes(ModuleMemoryInformation* mmi, u64 bytes) {
        for (;;) {
            mmi->m_currentlyUsedBytes += bytes;
            if (!mmi->m_hasParent) return;
            mmi = mmi->m_parent;
        }
    }
    static void subUsedBytes(ModuleMemoryInformation* mmi, u64 bytes) {
        for (;;) {
            mmi->m_currentlyUsedBytes -= bytes;
            if (!mmi->m_hasParent) return;
            mmi = mmi->m_parent;
        }
    }

    // Makes `parent` the next record up the chain.
    void setParent(ModuleMemoryInformation* parent) {
        m_parent = parent;
        m_hasParent = parent != nullptr;
    }

    // Bytes set aside for the module in the pool; the part it does not use is held in the pool's free pages.
    u64 m_reservedBytes = 0;
    u64 m_currentlyUsedBytes = 0;
    u64 m_limitBytes = kNoLimit;
    // Requests that had to wait in the queue, over the module's life.
    u32 m_nas = 0;
    std::string m_name;
    // Chunks the module may take beyond its limit.
    u64 m_extraChunks = 0;
    SequentialRequestsManager_Internal::ModuleInformation m_moduleInformation;
    ModuleMemoryInformation* m_parent = nullptr;
    bool m_hasParent = false;
};

// A record of the memory heap.
class HeapModuleMemoryInformation : public ModuleMemoryInformation {
public:
    using ModuleMemoryInformation::ModuleMemoryInformation;
    bool isHeapMemory() override { return true; }
};
