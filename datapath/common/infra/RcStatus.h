#pragma once
#include "Types.h"

// Status of the infrastructure's operations; 0 is success.
enum RcStatus : u32 { RC_ERROR = 1, RC_ABORTED = 3, RC_TIME_OUT = 15 };
