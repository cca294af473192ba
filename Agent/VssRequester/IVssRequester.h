#pragma once
#include "RequesterArgs.h"

// One complete VSS backup sequence: the real requester or its simulator.
class IVssRequester {
public:
    virtual ~IVssRequester() = default;
    // 0 when the whole sequence succeeded, else a failure code (an HRESULT, or 1).
    virtual int DoSnapshot(const RequesterArgs& args) = 0;
};
