#include "MemoryHeap.h"

#include "Logger.h"
#include "TrackedAllocation.h"

MemoryHeap::MemoryHeap() : m_mmis("mmis") {}

MemoryHeap::~MemoryHeap() {
    for (auto& entry : m_mmis) trackedDelete(entry.second, __FILE__, __LINE__);
}

void MemoryHeap::freeSegments(std::vector<MemorySegment>& segments, int fromIndex) {
    if (fromIndex < 0 || static_cast<size_t>(fromIndex) > segments.size()) {
        LOG(Error) << "fromIndex out of range, nothing freed" << " fromIndex=" << fromIndex << " "
                   << " segments.size()=" << segments.size() << " " << std::endl;
        return;
    }
    std::vector<u8*> released;
    {
        ScopedLock lock(m_mutex);
        for (size_t i = static_cast<size_t>(fromIndex); i < segments.size(); ++i) {
            freeSegmentContentLocked(&segments[i], released);
        }
    }
    releaseMemory(released);
}

void MemoryHeap::freeSegment(MemorySegment& segment) {
    std::vector<u8*> released;
    {
        ScopedLock lock(m_mutex);
        freeSegmentContentLocked(&segment, released);
    }
    releaseMemory(released);
}

void MemoryHeap::releaseMemory(const std::vector<u8*>& released) {
    for (u8* memory : released) trackedArrayFree(memory, __FILE__, __LINE__);
}

void MemoryHeap::freeSegmentContentLocked(MemorySegment* segment, std::vector<u8*>& released) {
    // A segment freed before: its page must not be released twice.
    if (segment->getMemory() == nullptr) return;
    ModuleMemoryInformation* mmi = segment->getOwner();
    ASSERT_MSG(Assert, mmi != MemorySegment::NoOwner, "");
    ASSERT_MSG(Assert, mmi != 0, "");
    if (mmi == MemorySegment::NoOwner || mmi == nullptr) return;
    ASSERT_MSG(Assert, mmi->isHeapMemory(), "");
    ASSERT_MSG(Assert, m_usedMemoryGross >= getChunkSize(), "");
    m_usedMemoryGross -= getChunkSize();
    ASSERT_MSG(Assert, mmi->getCurrentlyUsedBytes() >= getChunkSize(), "");
    ModuleMemoryInformation::subUsedBytes(mmi, getChunkSize());
    ASSERT_MSG(Assert, m_usedMemoryNet >= segment->getSizeBytes(), "");
    m_usedMemoryNet -= segment->getSizeBytes();
    released.push_back(segment->getMemory());
    segment->clearMemory();
}

void MemoryHeap::adjustUsage(int delta) {
    ScopedLock lock(m_mutex);
    m_usedMemoryNet += static_cast<u64>(static_cast<i64>(delta));
}

void MemoryHeap::printMemoryUsage() {
    ScopedLock lock(m_mutex);
    LOG_D(Info, 0) << "Memory HEAP: " << " m_usedMemoryGross=" << m_usedMemoryGross << " " << " m_usedMemoryNet="
                   << m_usedMemoryNet << " " << std::endl;
    for (const auto& [name, mmi] : m_mmis) {
        LOG_D(Info, 0) << name << ":" << " used=" << mmi->getCurrentlyUsedBytes() << std::endl;
    }
}

HeapModuleMemoryInformation* MemoryHeap::registerModule(const std::string& name, ModuleMemoryInformation* parent) {
    auto* mmi = trackedNew<HeapModuleMemoryInformation>("HeapModuleMemoryInformation", __FILE__, __LINE__, name);
    mmi->setParent(parent);
    bool inserted = false;
    {
        ScopedLock lock(m_mutex);
        inserted = m_mmis.emplace(name, mmi).second;
        m_mmis.noteSize();
    }
    ASSERT_MSG(Assert, inserted, "a module of this name exists already" << " name=" << name << " ");
    if (inserted) return mmi;
    trackedDelete(mmi, __FILE__, __LINE__);
    return nullptr;
}

MemorySegment MemoryHeap::allocateSegment(HeapModuleMemoryInformation* mmi, u32 sizeBytes) {
    ASSERT_MSG(Assert, mmi != nullptr, "");
    ASSERT_MSG(Assert, sizeBytes <= kChunkSize, "more than a chunk" << " sizeBytes=" << sizeBytes << " ");
    if (mmi == nullptr || sizeBytes > kChunkSize) return MemorySegment();
    u8* memory = trackedArrayNew<u8>(kChunkSize, "u8", __FILE__, __LINE__);
    ScopedLock lock(m_mutex);
    m_usedMemoryGross += kChunkSize;
    m_usedMemoryNet += sizeBytes;
    ModuleMemoryInformation::addUsedBytes(mmi, kChunkSize);
    return MemorySegment(sizeBytes, memory, mmi);
}

u64 MemoryHeap::getUsedMemoryGross() {
    ScopedLock lock(m_mutex);
    return m_usedMemoryGross;
}

u64 MemoryHeap::getUsedMemoryNet() {
    ScopedLock lock(m_mutex);
    return m_usedMemoryNet;
}
