#include "MemoryHeap.h"

void MemoryHeap::printMemoryUsage() {}
