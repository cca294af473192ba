#pragma once
#include "StatusReaderWriter.h"
#include "Types.h"

#include <mutex>
#include <vector>

// Stands in for the status block: keeps every value written to it, in order, for the test to read.
class RecordingHandler : public IInterProcessCommunicationHandler {
public:
    u32 read() override { return 0; }
    void write(u32 value) override {
        std::lock_guard<std::mutex> hold(m_lock);
        m_writes.push_back(static_cast<i32>(value));
    }
    std::vector<i32> writes() {
        std::lock_guard<std::mutex> hold(m_lock);
        return m_writes;
    }

private:
    std::mutex m_lock;
    std::vector<i32> m_writes;
};
