#pragma once
#include "Singleton.h"

// The process-wide memory heap. Only its usage report exists so far; the tracked allocator's failure report calls it.
class MemoryHeap : public Singleton<MemoryHeap> {
public:
    MemoryHeap() = default;
    void printMemoryUsage();
};
