#include "StatusReaderWriter.h"

#include "Logger.h"
#include "TrackedAllocation.h"

namespace {
const wchar_t* const kBlockName = L"Global\\ProcessSharedMemory";
}

StatusReaderWriter::StatusReaderWriter()
    : m_handler(trackedNew<SharedMemoryHandler>("SharedMemoryHandler", "Agent\\AgentCommon\\StatusReaderWriter", 5)) {}

bool SharedMemoryHandler::createMapping() {
    // The handle replaces the last one, which stays open: the block must outlive nothing less than the process.
    m_mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0, kBlockSize, kBlockName);
    if (!m_mapping) {
        LOG(Warn) << "Could not create file mapping object due to " << " GetLastError()=" << GetLastError() << " "
                  << std::endl;
        return false;
    }
    return true;
}

bool SharedMemoryHandler::openMapping() {
    m_mapping = OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, kBlockName);
    if (!m_mapping) {
        LOG(Warn) << "Could not create file mapping object due to " << " GetLastError()=" << GetLastError() << " "
                  << std::endl;
        return false;
    }
    return true;
}

bool SharedMemoryHandler::setHandleToMapObject() {
    m_view = static_cast<u32*>(MapViewOfFile(m_mapping, FILE_MAP_ALL_ACCESS, 0, 0, kBlockSize));
    if (!m_view) {
        LOG(Warn) << "Could not map view of file " << " GetLastError()=" << GetLastError() << " " << std::endl;
        CloseHandle(m_mapping);
        m_mapping = nullptr;
        return false;
    }
    return true;
}

void SharedMemoryHandler::write(u32 value) {
    if (!createMapping() || !setHandleToMapObject()) return;
    // One aligned store: a reader polling the block sees the old value or the new one, never a mix.
    __atomic_store_n(m_view, value, __ATOMIC_SEQ_CST);
    LOG(Info) << "writing " << static_cast<int>(value) << " to shared memory buffer" << std::endl;
}

u32 SharedMemoryHandler::read() {
    if (!openMapping()) {
        LOG(Info) << "failed to read data from buffer" << std::endl;
        return 0;
    }
    if (!setHandleToMapObject()) return 0;
    return __atomic_load_n(m_view, __ATOMIC_SEQ_CST);
}
