// Stand-in until the VSS requester is built: every backup sequence fails at once.
#include "VssRequester.h"

#include "Logger.h"

int VssRequester::DoSnapshot(const RequesterArgs&) {
    LOG(Warn) << "VSS requester is not built: no snapshot taken" << std::endl;
    return 1;
}
