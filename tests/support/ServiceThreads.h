#pragma once
#include "Types.h"

// Makes the tracked allocator and waits until its worker and the deadlock checker's watchdog are registered with
// the memory watcher. Each registration is a tracked allocation made on the starting thread, so a test that
// compares the allocator's byte count takes its baseline after them.
void waitForServiceThreads();
// Waits up to `ms` for the allocator's byte count to be `baseline` again: a wrapped thread frees its CPU monitor
// after its body has returned, which may be after its object let go of it.
bool allocatedBytesReturnTo(u64 baseline, int ms = 5000);
