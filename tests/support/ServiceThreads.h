#pragma once
#include "Types.h"

// Makes the tracked allocator and waits until its worker and the deadlock checker's watchdog are registered with
// the memory watcher. Each registration is a tracked allocation made on the starting thread, so a test that
// compares the allocator's byte count takes its baseline after them.
void waitForServiceThreads();
// Waits up to `ms` for the allocator's byte count to be `baseline` again: a wrapped thread frees its CPU monitor
// after its body has returned, which may be after its object let go of it.
bool allocatedBytesReturnTo(u64 baseline, int ms = 5000);
// The allocator's byte count once the process's loggers hold no line copy and no thread is registering: the
// service threads registered, every client flushed, and the count the same over two flushes 50 ms apart (at most
// 5 s). A thread that starts logs its registration, so a count taken right after a start may still change.
u64 settledAllocatedBytes();
