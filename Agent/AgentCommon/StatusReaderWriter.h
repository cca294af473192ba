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

// The status block "Global\ProcessSharedMemory": a 32-bit status at offset 0.
class SharedMemoryHandler : public IInterProcessCommunicationHandler {
public:
    u32 read() override;
    void write(u32 value) override;

private:
    HANDLE m_mapping = nullptr;
    u32* m_view = nullptr;
};

// The agent's status channel; users write through its handler.
class StatusReaderWriter {
public:
    StatusReaderWriter();

    IInterProcessCommunicationHandler* m_handler;
};
