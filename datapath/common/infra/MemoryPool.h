#pragma once
#include "Singleton.h"

// The process-wide memory pool. Only its usage report exists so far; the tracked allocator's failure report calls it.
class MemoryPoolImpl : public Singleton<MemoryPoolImpl> {
public:
    MemoryPoolImpl() = default;
    virtual ~MemoryPoolImpl() = default;
    virtual void printMemoryUsage();
};
