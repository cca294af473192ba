#pragma once
#include "IVssRequester.h"

// Plays the provider's side of a backup sequence without VSS.
class VssRequesterSimulator : public IVssRequester {
public:
    int DoSnapshot(const RequesterArgs& args) override;
};
