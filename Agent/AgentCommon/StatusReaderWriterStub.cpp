// Stand-in until the status channel is built: the handler exists, but no block is created and nothing is written.
#include "StatusReaderWriter.h"

#include "Logger.h"
#include "TrackedAllocation.h"

StatusReaderWriter::StatusReaderWriter()
    : m_handler(trackedNew<SharedMemoryHandler>("SharedMemoryHandler", "Agent\\AgentCommon\\StatusReaderWriter", 5)) {}

u32 SharedMemoryHandler::read() {
    LOG(Warn) << "status channel is not built: nothing to read" << std::endl;
    return 0;
}

void SharedMemoryHandler::write(u32 value) {
    (void)m_mapping;
    (void)m_view;
    LOG(Warn) << "status channel is not built: " << static_cast<i32>(value) << " is not written" << std::endl;
}
