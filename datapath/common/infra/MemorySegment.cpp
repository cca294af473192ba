#include "MemoryAllocatorInterface.h"

#include "Logger.h"

MemorySegment::MemorySegment(u32 a_sizeBytes, u8* a_ptr, ModuleMemoryInformation* owner)
    : m_sizeBytes(a_sizeBytes), m_memory(a_ptr), m_owner(owner) {
    ASSERT_MSG_TEXT(Assert, a_sizeBytes == 0 || a_ptr != 0, "a_ptr != 0", " a_sizeBytes=" << a_sizeBytes << " ");
}
