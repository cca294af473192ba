#pragma once
#include "RequesterArgs.h"

// One complete VSS backup sequence over the machine's volumes.
class IVssRequester {
public:
    virtual ~IVssRequester() = default;
    // 0 when the whole sequence succeeded, else a failure code (an HRESULT, or 1).
    virtual int DoSnapshot(const RequesterArgs& args) = 0;
};
