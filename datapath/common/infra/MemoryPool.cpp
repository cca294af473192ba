#include "MemoryPool.h"

void MemoryPoolImpl::printMemoryUsage() {}
