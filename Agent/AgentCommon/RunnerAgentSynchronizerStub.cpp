// Stand-in until the runner events are built: no event is created, set or waited for.
#include "RunnerAgentSynchronizer.h"

#include "Logger.h"

HANDLE RunnerAgentSynchronizer::createEvent(const std::string& name) {
    LOG(Warn) << "runner events are not built: no event " << name << std::endl;
    return nullptr;
}

void RunnerAgentSynchronizer::signal() { LOG(Warn) << "runner events are not built: nothing is set" << std::endl; }

void RunnerAgentSynchronizer::waitForSignal(u32 timeoutMs) {
    LOG(Warn) << "runner events are not built: no wait for the read notification (" << timeoutMs << "ms)"
              << std::endl;
}
