#pragma once
#include "SequentialRequestsManager.h"
#include "Types.h"

// The memory accounting record of one module. Bytes charged to a record are charged to every record up its
// parent chain.
class ModuleMemoryInformation {
public:
    ModuleMemoryInformation() = default;
    ModuleMemoryInformation(const ModuleMemoryInformation&) = delete;
    ModuleMemoryInformation& operator=(const ModuleMemoryInformation&) = delete;
    virtual ~ModuleMemoryInformation() = default;
    virtual bool isHeapMemory() { return false; }

    u64 getCurrentlyUsedBytes() const { return m_currentlyUsedBytes; }
    // Charges (uncharges) the record and all its ancestors.
    static void addUsedBytes(ModuleMemoryInformation* mmi, u64 bytes);
    static void subUsedBytes(ModuleMemoryInformation* mmi, u64 bytes);

    // Makes `parent` the next record up the chain.
    void setParent(ModuleMemoryInformation* parent) {
        m_parent = parent;
        m_hasParent = parent != nullptr;
    }

    u64 m_currentlyUsedBytes = 0;
    SequentialRequestsManager_Internal::ModuleInformation m_moduleInformation;
    ModuleMemoryInformation* m_parent = nullptr;
    bool m_hasParent = false;
};
