#pragma once
#include "Types.h"

// The agent's result codes: its exit codes, and the values it writes to the status block. There is no -1003.
struct AgentStatus {
    static constexpr i32 Ok = 0;
    static constexpr i32 UsageError = 1;
    static constexpr i32 QuiescedWaitAbandoned = -1000;
    static constexpr i32 QuiescedWaitTimeout = -1001;
    static constexpr i32 QuiescedWaitFailed = -1002;
    static constexpr i32 UnhandledException = -1004;
    static constexpr i32 RequesterThreadNotStarted = -1005;
    static constexpr i32 ProviderServiceMissing = -1006;
    static constexpr i32 ProviderServiceNotStarted = -1007;
    // The requester thread's result when the requester threw; never an exit code, never written to the block.
    static constexpr i32 RequesterException = -1008;
};
