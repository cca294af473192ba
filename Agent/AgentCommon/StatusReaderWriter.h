#pragma once
#include "Types.h"

#include <windows.h>

// The status channel towards parties outside the process.
class IInterProcessCommunicationHandler {
public:
    virtual ~IInterProcessCommunicationHandler() = default;
    virtual u32 read() = 0;
    virtual void write(u32 value) = 0;
};

// The status block "Global\ProcessSharedMemory" (200 bytes): a 32-bit status at offset 0. Each write creates (or
// opens) the block and maps it anew, leaving the handle and the view open, so the block lives as long as the
// process (or a reader that holds it).
class SharedMemoryHandler : public IInterProcessCommunicationHandler {
public:
    // The reader's side: the value at offset 0, or 0 when there is no block.
    u32 read() override;
    void write(u32 value) override;

    static constexpr DWORD kBlockSize = 200;

private:
    bool createMapping();
    bool openMapping();
    bool setHandleToMapObject();

    HANDLE m_mapping = nullptr;
    u32* m_view = nullptr;
};

// The agent's status channel; users write through its handler.
class StatusReaderWriter {
public:
    StatusReaderWriter();

    IInterProcessCommunicationHandler* m_handler;
};
