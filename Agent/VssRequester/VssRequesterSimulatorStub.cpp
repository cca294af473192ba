// Stand-in until the requester simulator is built: every backup sequence fails at once.
#include "VssRequesterSimulator.h"

#include "Logger.h"

int VssRequesterSimulator::DoSnapshot(const RequesterArgs&) {
    LOG(Warn) << "VSS requester simulator is not built: no snapshot simulated" << std::endl;
    return 1;
}
