// Stand-in until provider service control is built: every service counts as not installed, so a run stops
// before its flow and nothing waits on a provider.
#include "ServiceUtils.h"

#include "Logger.h"

namespace {
constexpr int kServiceDoesNotExist = 1060;  // ERROR_SERVICE_DOES_NOT_EXIST
}

int ServiceUtils::startService(std::string serviceName) {
    LOG(Warn) << "provider service control is not built: service " << serviceName << " counts as not installed"
              << std::endl;
    return kServiceDoesNotExist;
}
