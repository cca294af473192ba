#include "MemoryAllocatorInterface.h"

#include "Logger.h"

void MemorySegment::nullMemoryFailed(u32 a_sizeBytes, const char* file, int line) {
    LogItem(LogComponent::Non, LogLevel::Assert, "MemorySegment::MemorySegment").stream()
        << " " << file << " " << line << ": " << "a_ptr != 0" << " failed. " << " a_sizeBytes=" << a_sizeBytes << " "
        << std::endl;
}
