#pragma once
#include "IVssRequester.h"

// The requester that talks to the Volume Shadow Copy Service.
class VssRequester : public IVssRequester {
public:
    int DoSnapshot(const RequesterArgs& args) override;
};
